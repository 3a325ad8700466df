#include "host/index/text_fold.h"

#include <utf8proc.h>

#include <array>
#include <cstdlib>

namespace host {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The classes of the ASCII characters, the same as their Unicode categories give: every printable
// character that is not a letter or digit is punctuation or a symbol.
constexpr std::array<uint8_t, 128> ASCII_CLASSES = [] {
    std::array<uint8_t, 128> classes{};
    for (int c = 0x21; c <= 0x7E; ++c) classes[c] = TEXT_PUNCTUATION;
    for (int c = '0'; c <= '9'; ++c) classes[c] = TEXT_WORD;
    for (int c = 'A'; c <= 'Z'; ++c) classes[c] = classes[c + 32] = TEXT_WORD;
    classes['_'] = TEXT_WORD | TEXT_PUNCTUATION;
    for (int c : {' ', '\t', '\n', '\v', '\f', '\r'}) classes[c] = TEXT_SPACE;
    return classes;
}();

// The classes of the other characters by general category, in utf8proc's category order.
constexpr uint8_t CATEGORY_CLASSES[] = {
    0,                                                                 // Cn unassigned
    TEXT_WORD, TEXT_WORD, TEXT_WORD, TEXT_WORD, TEXT_WORD,             // Lu Ll Lt Lm Lo
    TEXT_ATTACHED, TEXT_ATTACHED, TEXT_ATTACHED,                       // Mn Mc Me
    TEXT_WORD, TEXT_WORD, TEXT_WORD,                                   // Nd Nl No
    TEXT_WORD | TEXT_PUNCTUATION,                                      // Pc
    TEXT_PUNCTUATION, TEXT_PUNCTUATION, TEXT_PUNCTUATION, TEXT_PUNCTUATION,  // Pd Ps Pe Pi
    TEXT_PUNCTUATION, TEXT_PUNCTUATION,                                // Pf Po
    TEXT_PUNCTUATION, TEXT_PUNCTUATION, TEXT_PUNCTUATION, TEXT_PUNCTUATION,  // Sm Sc Sk So
    TEXT_SPACE, TEXT_SPACE, TEXT_SPACE,                                // Zs Zl Zp
    0, TEXT_ATTACHED, 0, 0,                                            // Cc Cf Cs Co
};
static_assert(sizeof CATEGORY_CLASSES == UTF8PROC_CATEGORY_CO + 1);

constexpr int32_t NEXT_LINE = 0x85;           // a control character that Unicode counts as white space
constexpr int32_t ZERO_WIDTH_SPACE = 0x200B;  // a format character that separates words

// One character of a text: its code point, or -1 for a byte that starts no valid UTF-8 sequence
// (which is then a character of its own).
struct TextChar {
    int32_t code_point;
    size_t length;
};

TextChar char_at(std::string_view text, size_t at) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return {c, 1};
    utf8proc_int32_t code_point = 0;
    utf8proc_ssize_t used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + at,
                                             static_cast<utf8proc_ssize_t>(text.size() - at), &code_point);
    if (used <= 0) return {-1, 1};
    return {code_point, static_cast<size_t>(used)};
}

// Where the character that ends just before text[at] starts.
size_t char_start_before(std::string_view text, size_t at) {
    size_t start = at - 1;
    while (start > 0 && at - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return char_at(text, start).length == at - start ? start : at - 1;
}

unsigned char_class(TextChar c) { return c.code_point < 0 ? TEXT_WORD : text_class(c.code_point); }

// The class of the character before text[at], looking through attached marks to their base (a
// text that starts with marks counts them as a word).
unsigned class_before(std::string_view text, size_t at) {
    while (at > 0) {
        at = char_start_before(text, at);
        unsigned found = char_class(char_at(text, at));
        if (!(found & TEXT_ATTACHED)) return found;
    }
    return TEXT_WORD;
}

void append_ascii_folded(std::string_view text, unsigned folds, std::string* out) {
    if (!(folds & FOLD_CASE)) {
        out->append(text);
        return;
    }
    for (char c : text) out->push_back(ascii_lower(c));
}

}  // namespace

unsigned text_class(int32_t code_point) {
    if (code_point >= 0 && code_point < 0x80) return ASCII_CLASSES[code_point];
    if (code_point == NEXT_LINE || code_point == ZERO_WIDTH_SPACE) return TEXT_SPACE;
    return CATEGORY_CLASSES[utf8proc_category(code_point)];
}

bool text_is_word_boundary(std::string_view text, size_t at) {
    if (at == 0 || at >= text.size()) return true;
    auto after = static_cast<unsigned char>(text[at]), before = static_cast<unsigned char>(text[at - 1]);
    if (after < 0x80 && before < 0x80) return !(ASCII_CLASSES[after] & ASCII_CLASSES[before] & TEXT_WORD);
    unsigned after_class = char_class(char_at(text, at));
    if (after_class & TEXT_ATTACHED) return false;
    return !(after_class & TEXT_WORD) || !(class_before(text, at) & TEXT_WORD);
}

bool text_is_ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
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
    unsigned removed = (punctuation ? TEXT_PUNCTUATION : 0) | (whitespace ? TEXT_SPACE : 0);
    bool removing = false;  // whether the last character that is not attached was removed
    for (size_t at = 0; at < text.size();) {
        auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {  // the common case, kept to a table lookup
            removing = (ASCII_CLASSES[byte] & removed) != 0;
            if (!removing) out->push_back(static_cast<char>(byte));
            ++at;
            continue;
        }
        TextChar c = char_at(text, at);
        unsigned found = char_class(c);
        if (!(found & TEXT_ATTACHED)) removing = (found & removed) != 0;
        if (!removing) out->append(text.substr(at, c.length));
        at += c.length;
    }
}

}  // namespace host
