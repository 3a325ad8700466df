// The host's printf dialect: C conversions with flags, width and precision, the MSVC size prefixes
// "I64", "I32" and "I", and "%t" for a counted text (a pointer, then a size_t byte count).
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/text_buffers.h"

namespace host {
namespace {

enum class Size { DEFAULT, CHAR, SHORT, LONG, LONG_LONG, SIZE, INTMAX, PTRDIFF, LONG_DOUBLE };

struct Spec {
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
void spec_parse(const char** cursor, va_list* arguments, Spec* spec) {
    const char* at = *cursor;
    for (;; ++at) {
        if (*at == '-') spec->left = true;
        else if (*at == '+') spec->plus = true;
        else if (*at == ' ') spec->space = true;
        else if (*at == '#') spec->alternate = true;
        else if (*at == '0') spec->zero = true;
        else break;
    }
    if (*at == '*') {
        spec->width = va_arg(*arguments, int);
        if (spec->width < 0) {
            spec->left = true;
            spec->width = spec->width == INT32_MIN ? INT32_MAX : -spec->width;
        }
        ++at;
    } else {
        for (; *at >= '0' && *at <= '9'; ++at)
            if (spec->width < 100000000) spec->width = spec->width * 10 + (*at - '0');
    }
    if (*at == '.') {
        ++at;
        spec->precision = 0;
        if (*at == '*') {
            spec->precision = va_arg(*arguments, int);
            if (spec->precision < 0) spec->precision = -1;
            ++at;
        } else {
            for (; *at >= '0' && *at <= '9'; ++at)
                if (spec->precision < 100000000) spec->precision = spec->precision * 10 + (*at - '0');
        }
    }
    if (at[0] == 'I' && at[1] == '6' && at[2] == '4') { spec->size = Size::LONG_LONG; at += 3; }
    else if (at[0] == 'I' && at[1] == '3' && at[2] == '2') { spec->size = Size::DEFAULT; at += 3; }
    else if (at[0] == 'I') { spec->size = Size::SIZE; at += 1; }
    else if (at[0] == 'h' && at[1] == 'h') { spec->size = Size::CHAR; at += 2; }
    else if (at[0] == 'h') { spec->size = Size::SHORT; at += 1; }
    else if (at[0] == 'l' && at[1] == 'l') { spec->size = Size::LONG_LONG; at += 2; }
    else if (at[0] == 'l') { spec->size = Size::LONG; at += 1; }
    else if (at[0] == 'z') { spec->size = Size::SIZE; at += 1; }
    else if (at[0] == 'j') { spec->size = Size::INTMAX; at += 1; }
    else if (at[0] == 'L') { spec->size = Size::LONG_DOUBLE; at += 1; }
    // 't' is the counted-text conversion here, never the ptrdiff_t prefix.
    spec->conversion = *at;
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
void emit_padded(Utf8Buf* out, const Spec& spec, const char* prefix, size_t prefix_length, const char* body,
                 size_t body_length, size_t zeros) {
    size_t used = prefix_length + zeros + body_length;
    size_t pad = static_cast<size_t>(spec.width) > used ? spec.width - used : 0;
    if (!spec.left) utf8_buf_append_fill(out, ' ', pad);
    utf8_buf_append(out, prefix, prefix_length);
    utf8_buf_append_fill(out, '0', zeros);
    utf8_buf_append(out, body, body_length);
    if (spec.left) utf8_buf_append_fill(out, ' ', pad);
}

void emit_integer(Utf8Buf* out, const Spec& spec, uint64_t magnitude, bool negative) {
    char digits[32];
    size_t count = 0;
    const char* alphabet = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = spec.conversion == 'x' || spec.conversion == 'X' ? 16 : spec.conversion == 'o' ? 8 : 10;
    for (uint64_t rest = magnitude; rest != 0; rest /= base) digits[sizeof(digits) - ++count] = alphabet[rest % base];
    // Precision 0 with the value 0 prints no digits at all.
    if (magnitude == 0 && spec.precision != 0) digits[sizeof(digits) - ++count] = '0';

    char prefix[2];
    size_t prefix_length = 0;
    bool is_signed = spec.conversion == 'd' || spec.conversion == 'i';
    if (is_signed && negative) prefix[prefix_length++] = '-';
    else if (is_signed && spec.plus) prefix[prefix_length++] = '+';
    else if (is_signed && spec.space) prefix[prefix_length++] = ' ';
    if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefix_length++] = '0';
        prefix[prefix_length++] = spec.conversion;
    }

    size_t zeros = 0;
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) > count) zeros = spec.precision - count;
    if (spec.alternate && base == 8 && zeros == 0 && (count == 0 || digits[sizeof(digits) - count] != '0'))
        zeros = 1;
    if (spec.zero && !spec.left && spec.precision < 0) {
        size_t used = prefix_length + zeros + count;
        if (static_cast<size_t>(spec.width) > used) zeros += spec.width - used;
    }
    emit_padded(out, spec, prefix, prefix_length, digits + sizeof(digits) - count, count, zeros);
}

void emit_text(Utf8Buf* out, const Spec& spec, const char* text, size_t length) {
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < length) length = spec.precision;
    emit_padded(out, spec, "", 0, text, length, 0);
}

// Floating-point conversions are left to the C library, with the spec rebuilt as text.
void emit_floating(Utf8Buf* out, const Spec& spec, va_list* arguments) {
    char format[32];
    char* at = format;
    *at++ = '%';
    if (spec.left) *at++ = '-';
    if (spec.plus) *at++ = '+';
    if (spec.space) *at++ = ' ';
    if (spec.alternate) *at++ = '#';
    if (spec.zero) *at++ = '0';
    at += std::snprintf(at, 24, "%d.%dL%c", spec.width, spec.precision < 0 ? 6 : spec.precision, spec.conversion);
    long double value = spec.size == Size::LONG_DOUBLE ? va_arg(*arguments, long double) : va_arg(*arguments, double);
    int needed = std::snprintf(nullptr, 0, format, value);
    if (needed <= 0) return;
    size_t start = out->length;
    utf8_buf_append_fill(out, '\0', static_cast<size_t>(needed));
    std::snprintf(out->text + start, static_cast<size_t>(needed) + 1, format, value);
}

void emit_conversion(Utf8Buf* out, const Spec& spec, va_list* arguments) {
    switch (spec.conversion) {
        case 'd':
        case 'i': {
            int64_t value = signed_argument(arguments, spec.size);
            uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            emit_integer(out, spec, magnitude, value < 0);
            return;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            emit_integer(out, spec, unsigned_argument(arguments, spec.size), false);
            return;
        case 'c': {
            char byte = static_cast<char>(va_arg(*arguments, int));
            emit_padded(out, spec, "", 0, &byte, 1, 0);
            return;
        }
        case 's': {
            const char* text = va_arg(*arguments, const char*);
            if (text == nullptr) text = "(null)";
            size_t length = 0;
            if (spec.precision < 0) {
                length = std::strlen(text);
            } else {
                // Text cut by a precision need not be terminated.
                const void* end = std::memchr(text, '\0', static_cast<size_t>(spec.precision));
                length = end != nullptr ? static_cast<const char*>(end) - text : spec.precision;
            }
            emit_text(out, spec, text, length);
            return;
        }
        case 't': {
            const char* text = va_arg(*arguments, const char*);
            size_t length = va_arg(*arguments, size_t);
            if (text == nullptr) length = 0;
            emit_text(out, spec, text == nullptr ? "" : text, length);
            return;
        }
        case 'p': {
            // As on Windows: the address as 16 upper-case hexadecimal digits.
            Spec pointer_spec = spec;
            pointer_spec.conversion = 'X';
            pointer_spec.precision = 16;
            pointer_spec.alternate = false;
            emit_integer(out, pointer_spec, reinterpret_cast<uintptr_t>(va_arg(*arguments, void*)), false);
            return;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            emit_floating(out, spec, arguments);
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
            if (spec.conversion != '\0') utf8_buf_append(out, &spec.conversion, 1);
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
        Spec spec;
        spec_parse(&cursor, &walk, &spec);
        emit_conversion(buffer, spec, &walk);
        if (*cursor != '\0') ++cursor;
    }
    va_end(walk);
}

}  // namespace host
