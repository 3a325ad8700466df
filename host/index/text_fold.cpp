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

namespace {

utf8proc_option_t fold_options(unsigned folds) {
    int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
    if (folds & FOLD_CASE) options |= UTF8PROC_CASEFOLD;
    if (folds & FOLD_MARKS) options |= UTF8PROC_STRIPMARK;
    return static_cast<utf8proc_option_t>(options);
}

// Folds a piece that holds non-ASCII characters, without a heap allocation for the usual short
// pieces.
void fold_piece(std::string_view piece, unsigned folds, std::string* out) {
    constexpr utf8proc_ssize_t ROOM = 512;
    utf8proc_int32_t buffer[ROOM];
    utf8proc_option_t options = fold_options(folds);
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(piece.data());
    auto size = static_cast<utf8proc_ssize_t>(piece.size());
    utf8proc_ssize_t count = utf8proc_decompose(bytes, size, buffer, ROOM, options);
    if (count < 0) {  // not UTF-8: the bytes stay as they are
        append_ascii_folded(piece, folds, out);
        return;
    }
    if (count >= ROOM) {  // re-encoding needs one byte more than the code points take
        utf8proc_uint8_t* mapped = nullptr;
        utf8proc_ssize_t length = utf8proc_map(bytes, size, &mapped, options);
        if (length >= 0) out->append(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
        std::free(mapped);
        return;
    }
    // Composes in place, then writes the UTF-8 bytes over the code points.
    utf8proc_ssize_t length = utf8proc_reencode(buffer, count, options);
    if (length < 0) {
        append_ascii_folded(piece, folds, out);
        return;
    }
    out->append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

}  // namespace

// ASCII characters fold on their own; each run of non-ASCII characters is folded together with
// the ASCII character before it, which combining marks may belong to.
void text_fold_append(std::string_view text, unsigned folds, std::string* out) {
    if (folds == 0) {
        out->append(text);
        return;
    }
    size_t at = 0, size = text.size();
    auto high = [&](size_t i) { return static_cast<unsigned char>(text[i]) >= 0x80; };
    while (at < size) {
        if (!high(at) && (at + 1 == size || !high(at + 1))) {
            out->push_back((folds & FOLD_CASE) ? ascii_lower(text[at]) : text[at]);
            ++at;
            continue;
        }
        size_t end = high(at) ? at : at + 1;
        while (end < size && high(end)) ++end;
        fold_piece(text.substr(at, end - at), folds, out);
        at = end;
    }
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
