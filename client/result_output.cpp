#include "client/result_output.h"

#include <cstdio>

#include "client/file_time.h"
#include "client/ftp_url.h"

namespace client {
namespace {

// The length of the UTF-8 sequence at text[at], or 0 when none starts there.
size_t utf8_sequence_length(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) code = (code << 6) | (byte(at + i) & 0x3F);
    constexpr uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < SMALLEST[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void json_number_or_null(uint64_t value, bool known, std::string* out) {
    out->append(known ? std::to_string(value) : "null");
}

void json_time(uint64_t file_time, std::string* out) {
    std::string text;
    if (!file_time_iso_utc(file_time, &text)) {
        out->append("null");
        return;
    }
    out->push_back('"');
    out->append(text);
    out->push_back('"');
}

void shown_path_append(const OutputStyle& style, const std::string& ftp_path, std::string* out) {
    if (!style.as_url) {
        out->append(ftp_path);
        return;
    }
    out->append(style.url_base);
    out->append(url_path_encode(ftp_path));
}

void format_json(const OutputStyle& style, const ResultRecord& record, const std::string& ftp_path, std::string* out) {
    out->append("{\"path\":");
    json_string_append(ftp_path, out);
    if (style.as_url) {
        std::string url;
        shown_path_append(style, ftp_path, &url);
        out->append(",\"url\":");
        json_string_append(url, out);
    }
    out->append(record.is_folder ? ",\"type\":\"folder\",\"size\":" : ",\"type\":\"file\",\"size\":");
    json_number_or_null(record.size, record.size != UNKNOWN_VALUE, out);
    out->append(",\"modified\":");
    json_time(record.date_modified, out);
    out->append(",\"created\":");
    json_time(record.date_created, out);
    out->append(",\"recently_changed\":");
    json_time(record.date_recently_changed, out);
    out->append(",\"attributes\":");
    json_number_or_null(record.attributes, record.has_attributes, out);
    out->push_back('}');
}

// "d        4096 2024-01-31 16:45 /share/docs": type, size, local time to the minute, path.
void format_long(const OutputStyle& style, const ResultRecord& record, const std::string& ftp_path, std::string* out) {
    char size[32];
    if (record.size == UNKNOWN_VALUE) std::snprintf(size, sizeof size, "%13s", "-");
    else std::snprintf(size, sizeof size, "%13llu", static_cast<unsigned long long>(record.size));
    std::string when;
    if (!file_time_local_minute(record.date_modified, &when)) when = "-               ";
    out->push_back(record.is_folder ? 'd' : '-');
    out->append(size);
    out->push_back(' ');
    out->append(when);
    out->push_back(' ');
    shown_path_append(style, ftp_path, out);
}

}  // namespace

void json_string_append(std::string_view text, std::string* out) {
    constexpr char HEX[] = "0123456789abcdef";
    out->push_back('"');
    for (size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        size_t length = utf8_sequence_length(text, at);
        if (length == 0) {
            out->append("\\ufffd");
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            out->append("\\u00");
            out->push_back(HEX[c >> 4]);
            out->push_back(HEX[c & 15]);
        } else {
            out->append(text.substr(at, length));
        }
        at += length;
    }
    out->push_back('"');
}

void result_format(const OutputStyle& style, const ResultRecord& record, const std::string& ftp_path,
                   std::string* out) {
    switch (style.form) {
        case OutputForm::PATHS: shown_path_append(style, ftp_path, out); break;
        case OutputForm::LONG: format_long(style, record, ftp_path, out); break;
        case OutputForm::JSON: format_json(style, record, ftp_path, out); break;
    }
    out->push_back(style.nul_ends ? '\0' : '\n');
}

}  // namespace client
