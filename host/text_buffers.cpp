// The growable text buffers (UTF-8 and ANSI) and their writers.
#include "host/text_buffers.h"

#include <cstring>

#include "host/services.h"

namespace host {
namespace {

// Utf8Buf and AnsiBuf share one layout; the helpers serve both.
template <typename Buffer>
void buffer_init(Buffer* buffer) {
    buffer->text = buffer->inline_bytes;
    buffer->length = 0;
    buffer->capacity = sizeof(buffer->inline_bytes);
    buffer->inline_bytes[0] = '\0';
}

template <typename Buffer>
void buffer_kill(Buffer* buffer) {
    if (buffer->text != buffer->inline_bytes) mem_free(buffer->text);
    buffer_init(buffer);
}

template <typename Buffer>
void buffer_reserve(Buffer* buffer, size_t capacity) {
    if (capacity <= buffer->capacity) return;
    size_t grown = buffer->capacity * 2;
    if (grown < capacity) grown = capacity;
    char* text = static_cast<char*>(mem_alloc(grown));
    std::memcpy(text, buffer->text, buffer->length + 1);
    if (buffer->text != buffer->inline_bytes) mem_free(buffer->text);
    buffer->text = text;
    buffer->capacity = grown;
}

template <typename Buffer>
void buffer_set_length(Buffer* buffer, size_t length) {
    buffer_reserve(buffer, safe_uintptr_add(length, 1));
    buffer->length = length;
    buffer->text[length] = '\0';
}

template <typename Buffer>
void buffer_copy(Buffer* buffer, const char* bytes, size_t count) {
    // The source may lie inside the buffer itself, so it is copied with memmove before any growth
    // can move it: growth keeps the old bytes, and count never exceeds them in that case.
    if (bytes >= buffer->text && bytes < buffer->text + buffer->capacity) {
        std::memmove(buffer->text, bytes, count);
        buffer->length = count;
        buffer->text[count] = '\0';
        return;
    }
    buffer->length = 0;
    buffer_set_length(buffer, count);
    // An empty text may come without bytes (an empty view has none), and memcpy takes no null.
    if (count != 0) std::memcpy(buffer->text, bytes, count);
}

// The Windows-1252 bytes 0x80 to 0x9F and the characters they stand for (0 where the code page
// leaves a byte undefined; those pass their C1 control character through, as Windows does).
constexpr char32_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char cp1252_from_code_point(char32_t code_point) {
    if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return static_cast<char>(code_point);
    for (int index = 0; index < 32; ++index)
        if (CP1252_HIGH[index] == code_point) return static_cast<char>(0x80 + index);
    return '?';
}

// Decodes one UTF-8 sequence at text; a malformed one counts as one byte giving U+FFFD.
char32_t utf8_decode(const unsigned char* text, size_t* consumed) {
    unsigned char lead = text[0];
    *consumed = 1;
    if (lead < 0x80) return lead;
    int extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : -1;
    if (lead >= 0xF5 || extra < 0) return 0xFFFD;
    char32_t code_point = lead & (0x3F >> extra);
    for (int index = 1; index <= extra; ++index) {
        if ((text[index] & 0xC0) != 0x80) return 0xFFFD;
        code_point = (code_point << 6) | (text[index] & 0x3F);
    }
    constexpr char32_t SMALLEST[4] = {0, 0x80, 0x800, 0x10000};
    if (code_point < SMALLEST[extra] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
        return 0xFFFD;
    *consumed = static_cast<size_t>(extra) + 1;
    return code_point;
}

}  // namespace

ScopedUtf8Buf::ScopedUtf8Buf() { utf8_buf_init(&buffer_); }
ScopedUtf8Buf::~ScopedUtf8Buf() { utf8_buf_kill(&buffer_); }

void utf8_buf_reserve(Utf8Buf* buffer, size_t capacity) { buffer_reserve(buffer, capacity); }

void utf8_buf_append(Utf8Buf* buffer, const char* bytes, size_t count) {
    size_t start = buffer->length;
    buffer_set_length(buffer, safe_uintptr_add(start, count));
    if (count != 0) std::memcpy(buffer->text + start, bytes, count);
}

void utf8_buf_append_fill(Utf8Buf* buffer, char byte, size_t count) {
    size_t start = buffer->length;
    buffer_set_length(buffer, safe_uintptr_add(start, count));
    std::memset(buffer->text + start, byte, count);
}

void utf8_buf_take(Utf8Buf* destination, Utf8Buf* source) {
    if (source->text == source->inline_bytes) {
        buffer_copy(destination, source->text, source->length);
        buffer_init(source);
        return;
    }
    buffer_kill(destination);
    destination->text = source->text;
    destination->length = source->length;
    destination->capacity = source->capacity;
    buffer_init(source);
}

void utf8_buf_init(Utf8Buf* buffer) { buffer_init(buffer); }
void utf8_buf_kill(Utf8Buf* buffer) { buffer_kill(buffer); }

void utf8_buf_vprintf(Utf8Buf* buffer, const char* format, va_list arguments) {
    // Formatted into a second buffer first: an argument may be the buffer's own text.
    Utf8Buf formatted;
    buffer_init(&formatted);
    text_format_append(&formatted, format, arguments);
    utf8_buf_take(buffer, &formatted);
}

void utf8_buf_printf(Utf8Buf* buffer, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(buffer, format, arguments);
    va_end(arguments);
}

void utf8_buf_copy_utf8_string(Utf8Buf* buffer, const char* text) {
    buffer_copy(buffer, text, std::strlen(text));
}

void utf8_buf_copy_utf8_string_n(Utf8Buf* buffer, const char* text, size_t length) {
    buffer_copy(buffer, text, length);
}

void utf8_buf_grow_length(Utf8Buf* buffer, size_t length) { buffer_set_length(buffer, length); }

void ansi_buf_init(AnsiBuf* buffer) { buffer_init(buffer); }
void ansi_buf_kill(AnsiBuf* buffer) { buffer_kill(buffer); }

void ansi_buf_copy_utf8_string(AnsiBuf* buffer, const char* text) {
    // Every character becomes one byte, so the UTF-8 length bounds the result.
    size_t source_length = std::strlen(text);
    buffer->length = 0;
    buffer_reserve(buffer, source_length + 1);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t length = 0;
    for (size_t position = 0; position < source_length;) {
        size_t consumed = 0;
        buffer->text[length++] = cp1252_from_code_point(utf8_decode(bytes + position, &consumed));
        position += consumed;
    }
    buffer->length = length;
    buffer->text[length] = '\0';
}

}  // namespace host
