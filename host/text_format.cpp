// The host's printf dialect: C conversions with flags, width and precision, the MSVC size prefixes
// "I64", "I32" and "I", and "%t" for a counted text (a pointer, then a size_t byte count).
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/text_buffers.h"

namespace host {
namespace {

enum class Size { DEFAULT, CHAR, SHORT, LONG, LONG_LONG, SIZE, INTMAX, PTRDIFF, LONG_DOUBLE };

struct FormatDirective {
    bool left = false;        // '-'
    bool plus = false;        // '+'
    bool space = false;       // ' '
    bool alternate = false;   // '#'
    bool zero = false;        // '0'
    int width = 0;
    int precision = -1;       // -1: none given
    Size size = Size::DEFAULT;
    char conversion = 0;
};

// Reads flags, width, precision and size prefix; leaves *cursor at the conversion character.
void directive_parse(const char** cursor, va_list* arguments, FormatDirective* directive) {
    const char* at = *cursor;
    for (;; ++at) {
        if (*at == '-') directive->left = true;
        else if (*at == '+') directive->plus = true;
        else if (*at == ' ') directive->space = true;
        else if (*at == '#') directive->alternate = true;
        else if (*at == '0') directive->zero = true;
        else break;
    }
    if (*at == '*') {
        directive->width = va_arg(*arguments, int);
        if (directive->width < 0) {
            directive->left = true;
            directive->width = directive->width == INT32_MIN ? INT32_MAX : -directive->width;
        }
        ++at;
    } else {
        for (; *at >= '0' && *at <= '9'; ++at)
            if (directive->width < 100000000) directive->width = directive->width * 10 + (*at - '0');
    }
    if (*at == '.') {
        ++at;
        directive->precision = 0;
        if (*at == '*') {
            directive->precision = va_arg(*arguments, int);
            if (directive->precision < 0) directive->precision = -1;
            ++at;
        } else {
            for (; *at >= '0' && *at <= '9'; ++at)
                if (directive->precision < 100000000) directive->precision = directive->precision * 10 + (*at - '0');
        }
    }
    if (at[0] == 'I' && at[1] == '6' && at[2] == '4') { directive->size = Size::LONG_LONG; at += 3; }
    else if (at[0] == 'I' && at[1] == '3' && at[2] == '2') { directive->size = Size::DEFAULT; at += 3; }
    else if (at[0] == 'I') { directive->size = Size::SIZE; at += 1; }
    else if (at[0] == 'h' && at[1] == 'h') { directive->size = Size::CHAR; at += 2; }
    else if (at[0] == 'h') { directive->size = Size::SHORT; at += 1; }
    else if (at[0] == 'l' && at[1] == 'l') { directive->size = Size::LONG_LONG; at += 2; }
    else if (at[0] == 'l') { directive->size = Size::LONG; at += 1; }
    else if (at[0] == 'z') { directive->size = Size::SIZE; at += 1; }
    else if (at[0] == 'j') { directive->size = Size::INTMAX; at += 1; }
    else if (at[0] == 'L') { directive->size = Size::LONG_DOUBLE; at += 1; }
    // 't' is the counted-text conversion here, never the ptrdiff_t prefix.
    directive->conversion = *at;
    *cursor = at;
}

int64_t signed_argument(va_list* arguments, Size size) {
    switch (size) {
        case Size::CHAR: return static_cast<signed char>(va_arg(*arguments, int));
        case Size::SHORT: return static_cast<short>(va_arg(*arguments, int));
        case Size::LONG: return va_arg(*arguments, long);
        case Size::LONG_LONG: return va_arg(*arguments, long long);
        case Size::SIZE: return static_cast<int64_t>(va_arg(*arguments, size_t));
        case Size::INTMAX: return va_arg(*arguments, intmax_t);
        case Size::PTRDIFF: return va_arg(*arguments, ptrdiff_t);
        default: return va_arg(*arguments, int);
    }
}

uint64_t unsigned_argument(va_list* arguments, Size size) {
    switch (size) {
        case Size::CHAR: return static_cast<unsigned char>(va_arg(*arguments, unsigned));
        case Size::SHORT: return static_cast<unsigned short>(va_arg(*arguments, unsigned));
        case Size::LONG: return va_arg(*arguments, unsigned long);
        case Size::LONG_LONG: return va_arg(*arguments, unsigned long long);
        case Size::SIZE: return va_arg(*arguments, size_t);
        case Size::INTMAX: return va_arg(*arguments, uintmax_t);
        case Size::PTRDIFF: return static_cast<uint64_t>(va_arg(*arguments, ptrdiff_t));
        default: return va_arg(*arguments, unsigned);
    }
}

// Writes prefix and body padded to the width: blanks on the left or right, or zeros between
// prefix and body.
void emit_padded(Utf8Buf* out, const FormatDirective& directive, const char* prefix, size_t prefix_length, const char* body,
                 size_t body_length, size_t zeros) {
    size_t used = prefix_length + zeros + body_length;
    size_t pad = static_cast<size_t>(directive.width) > used ? directive.width - used : 0;
    if (!directive.left) utf8_buf_append_fill(out, ' ', pad);
    utf8_buf_append(out, prefix, prefix_length);
    utf8_buf_append_fill(out, '0', zeros);
    utf8_buf_append(out, body, body_length);
    if (directive.left) utf8_buf_append_fill(out, ' ', pad);
}

void emit_integer(Utf8Buf* out, const FormatDirective& directive, uint64_t magnitude, bool negative) {
    char digits[32];
    size_t count = 0;
    const char* alphabet = directive.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = directive.conversion == 'x' || directive.conversion == 'X' ? 16 : directive.conversion == 'o' ? 8 : 10;
    for (uint64_t rest = magnitude; rest != 0; rest /= base) digits[sizeof(digits) - ++count] = alphabet[rest % base];
    // Precision 0 with the value 0 prints no digits at all.
    if (magnitude == 0 && directive.precision != 0) digits[sizeof(digits) - ++count] = '0';

    char prefix[2];
    size_t prefix_length = 0;
    bool is_signed = directive.conversion == 'd' || directive.conversion == 'i';
    if (is_signed && negative) prefix[prefix_length++] = '-';
    else if (is_signed && directive.plus) prefix[prefix_length++] = '+';
    else if (is_signed && directive.space) prefix[prefix_length++] = ' ';
    if (directive.alternate && base == 16 && magnitude != 0) {
        prefix[prefix_length++] = '0';
        prefix[prefix_length++] = directive.conversion;
    }

    size_t zeros = 0;
    if (directive.precision >= 0 && static_cast<size_t>(directive.precision) > count) zeros = directive.precision - count;
    if (directive.alternate && base == 8 && zeros == 0 && (count == 0 || digits[sizeof(digits) - count] != '0'))
        zeros = 1;
    if (directive.zero && !directive.left && directive.precision < 0) {
        size_t used = prefix_length + zeros + count;
        if (static_cast<size_t>(directive.width) > used) zeros += directive.width - used;
    }
    emit_padded(out, directive, prefix, prefix_length, digits + sizeof(digits) - count, count, zeros);
}

void emit_text(Utf8Buf* out, const FormatDirective& directive, const char* text, size_t length) {
    if (directive.precision >= 0 && static_cast<size_t>(directive.precision) < length) length = directive.precision;
    emit_padded(out, directive, "", 0, text, length, 0);
}

// Floating-point conversions are left to the C library, with the directive rebuilt as text.
void emit_floating(Utf8Buf* out, const FormatDirective& directive, va_list* arguments) {
    char format[32];
    char* at = format;
    *at++ = '%';
    if (directive.left) *at++ = '-';
    if (directive.plus) *at++ = '+';
    if (directive.space) *at++ = ' ';
    if (directive.alternate) *at++ = '#';
    if (directive.zero) *at++ = '0';
    at += std::snprintf(at, 24, "%d.%dL%c", directive.width, directive.precision < 0 ? 6 : directive.precision, directive.conversion);
    long double value = directive.size == Size::LONG_DOUBLE ? va_arg(*arguments, long double) : va_arg(*arguments, double);
    int needed = std::snprintf(nullptr, 0, format, value);
    if (needed <= 0) return;
    size_t start = out->length;
    utf8_buf_append_fill(out, '\0', static_cast<size_t>(needed));
    std::snprintf(out->text + start, static_cast<size_t>(needed) + 1, format, value);
}

void emit_conversion(Utf8Buf* out, const FormatDirective& directive, va_list* arguments) {
    switch (directive.conversion) {
        case 'd':
        case 'i': {
            int64_t value = signed_argument(arguments, directive.size);
            uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            emit_integer(out, directive, magnitude, value < 0);
            return;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            emit_integer(out, directive, unsigned_argument(arguments, directive.size), false);
            return;
        case 'c': {
            char byte = static_cast<char>(va_arg(*arguments, int));
            emit_padded(out, directive, "", 0, &byte, 1, 0);
            return;
        }
        case 's': {
            const char* text = va_arg(*arguments, const char*);
            if (text == nullptr) text = "(null)";
            size_t length = 0;
            if (directive.precision < 0) {
                length = std::strlen(text);
            } else {
                // Text cut by a precision need not be terminated.
                const void* end = std::memchr(text, '\0', static_cast<size_t>(directive.precision));
                length = end != nullptr ? static_cast<const char*>(end) - text : directive.precision;
            }
            emit_text(out, directive, text, length);
            return;
        }
        case 't': {
            const char* text = va_arg(*arguments, const char*);
            size_t length = va_arg(*arguments, size_t);
            if (text == nullptr) length = 0;
            emit_text(out, directive, text == nullptr ? "" : text, length);
            return;
        }
        case 'p': {
            // As on Windows: the address as 16 upper-case hexadecimal digits.
            FormatDirective pointer_directive = directive;
            pointer_directive.conversion = 'X';
            pointer_directive.precision = 16;
            pointer_directive.alternate = false;
            emit_integer(out, pointer_directive, reinterpret_cast<uintptr_t>(va_arg(*arguments, void*)), false);
            return;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            emit_floating(out, directive, arguments);
            return;
        case '%':
            utf8_buf_append(out, "%", 1);
            return;
        case 'n':
            (void)va_arg(*arguments, void*);  // writing through it is never wanted; the pointer is skipped
            return;
        default:
            // An unknown conversion is copied as written.
            utf8_buf_append(out, "%", 1);
            if (directive.conversion != '\0') utf8_buf_append(out, &directive.conversion, 1);
            return;
    }
}

}  // namespace

void text_format_append(Utf8Buf* buffer, const char* format, va_list arguments) {
    va_list walk;
    va_copy(walk, arguments);
    const char* cursor = format;
    while (*cursor != '\0') {
        const char* percent = std::strchr(cursor, '%');
        if (percent == nullptr) {
            utf8_buf_append(buffer, cursor, std::strlen(cursor));
            break;
        }
        utf8_buf_append(buffer, cursor, static_cast<size_t>(percent - cursor));
        cursor = percent + 1;
        if (*cursor == '%') {
            utf8_buf_append(buffer, "%", 1);
            ++cursor;
            continue;
        }
        FormatDirective directive;
        directive_parse(&cursor, &walk, &directive);
        emit_conversion(buffer, directive, &walk);
        if (*cursor != '\0') ++cursor;
    }
    va_end(walk);
}

}  // namespace host
