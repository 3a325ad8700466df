#include "host/help_layout.h"

namespace host {

std::string help_wrapped(const std::string& text, size_t indent, size_t column) {
    std::string wrapped;
    size_t start = 0;
    size_t line_start = column;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(start, end - start);
        if (column > line_start && column + 1 + word.size() > HELP_WIDTH) {
            wrapped += "\n" + std::string(indent, ' ');
            column = line_start = indent;
        } else if (column > line_start) {
            wrapped += ' ';
            ++column;
        }
        wrapped += word;
        column += word.size();
        start = end + 1;
    }
    return wrapped;
}

std::string help_paragraphs(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\n\n", start);
        if (end == std::string::npos) end = text.size();
        if (start != 0) out += "\n";
        out += "  " + help_wrapped(text.substr(start, end - start), 2, 2) + "\n";
        start = end + 2;
    }
    return out;
}

std::string roff_escaped(const std::string& text) {
    std::string out;
    for (char byte : text) {
        if (byte == '\\') out += "\\e";
        else if (byte == '-') out += "\\-";
        else out += byte;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string roff_paragraphs(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\n\n", start);
        if (end == std::string::npos) end = text.size();
        if (start != 0) out += ".PP\n";
        out += roff_escaped(text.substr(start, end - start)) + "\n";
        start = end + 2;
    }
    return out;
}

std::string roff_title(const std::string& text) {
    std::string out = text;
    for (char& byte : out)
        if (byte >= 'a' && byte <= 'z') byte = static_cast<char>(byte - 'a' + 'A');
    return out;
}

}  // namespace host
