// Helpers around the host's growable text buffers, shared by the services that fill them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>

#include "sdk/sorrelwick_plugin.h"

namespace host {

// Makes room for `capacity` bytes at `text` (terminator included), keeping the current bytes.
void utf8_buf_reserve(Utf8Buf* buffer, size_t capacity);

// Appends bytes (which may hold zero bytes) and keeps the text terminated.
void utf8_buf_append(Utf8Buf* buffer, const char* bytes, size_t count);
void utf8_buf_append_fill(Utf8Buf* buffer, char byte, size_t count);

// Moves the content of source into destination and leaves source empty, ready for reuse.
void utf8_buf_take(Utf8Buf* destination, Utf8Buf* source);

// Appends text formatted in the host's printf dialect: the usual conversions with flags, width and
// precision, the MSVC size prefixes "I64" and "I", and "%t" for a counted text (pointer, then a
// size_t byte count).
void text_format_append(Utf8Buf* buffer, const char* format, va_list arguments);

inline std::string_view utf8_buf_view(const Utf8Buf& buffer) { return {buffer.text, buffer.length}; }

// Frees a buffer at the end of a scope.
class ScopedUtf8Buf {
public:
    ScopedUtf8Buf();
    ~ScopedUtf8Buf();
    ScopedUtf8Buf(const ScopedUtf8Buf&) = delete;
    ScopedUtf8Buf& operator=(const ScopedUtf8Buf&) = delete;
    Utf8Buf* get() { return &buffer_; }
    Utf8Buf* operator->() { return &buffer_; }

private:
    Utf8Buf buffer_;
};

}  // namespace host
