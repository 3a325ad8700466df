#include "host/index/text_fold.h"

#include <utf8proc.h>

#include <cstdlib>

namespace host {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ascii_is_punctuation(unsigned char c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

bool ascii_is_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

void append_ascii_folded(std::string_view text, unsigned folds, std::string* out) {
    if (!(folds & FOLD_CASE)) {
        out->append(text);
        return;
    }
    for (char c : text) out->push_back(ascii_lower(c));
}

bool category_is_punctuation(utf8proc_category_t category) {
    return category >= UTF8PROC_CATEGORY_PC && category <= UTF8PROC_CATEGORY_PO;
}

}  // namespace

bool text_is_ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

bool text_is_word_byte(unsigned char byte) {
    return byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
           (byte >= 'A' && byte <= 'Z') || byte == '_';
}

void text_fold_append(std::string_view text, unsigned folds, std::string* out) {
    if (folds == 0 || text_is_ascii(text)) {
        append_ascii_folded(text, folds, out);
        return;
    }
    int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
    if (folds & FOLD_CASE) options |= UTF8PROC_CASEFOLD;
    if (folds & FOLD_MARKS) options |= UTF8PROC_STRIPMARK;
    utf8proc_uint8_t* mapped = nullptr;
    utf8proc_ssize_t length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                           static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                                           static_cast<utf8proc_option_t>(options));
    if (length < 0) {
        append_ascii_folded(text, folds, out);  // not UTF-8: bytes stay as they are
        return;
    }
    out->append(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
    std::free(mapped);
}

void text_strip_append(std::string_view text, bool punctuation, bool whitespace, std::string* out) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t size = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t at = 0;
    while (at < size) {
        unsigned char c = bytes[at];
        if (c < 0x80) {
            bool drop = (punctuation && ascii_is_punctuation(c)) || (whitespace && ascii_is_space(c));
            if (!drop) out->push_back(static_cast<char>(c));
            ++at;
            continue;
        }
        utf8proc_int32_t code_point = 0;
        utf8proc_ssize_t used = utf8proc_iterate(bytes + at, size - at, &code_point);
        if (used <= 0) {  // a stray byte is kept as it is
            out->push_back(static_cast<char>(c));
            ++at;
            continue;
        }
        utf8proc_category_t category = utf8proc_category(code_point);
        bool drop = (punctuation && category_is_punctuation(category)) ||
                    (whitespace && category == UTF8PROC_CATEGORY_ZS);
        if (!drop) out->append(text.substr(static_cast<size_t>(at), static_cast<size_t>(used)));
        at += used;
    }
}

}  // namespace host
