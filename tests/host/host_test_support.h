// Small helpers shared by the host's tests.
#pragma once

#include <cstdarg>
#include <string>

#include "host/services.h"

// The text and length of a host buffer, as a string that may hold zero bytes.
inline std::string buffer_text(const Utf8Buf& buffer) { return std::string(buffer.text, buffer.length); }

// utf8_buf_printf into a fresh buffer.
inline std::string host_format(const char* format, ...) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    va_list arguments;
    va_start(arguments, format);
    host::utf8_buf_vprintf(&buffer, format, arguments);
    va_end(arguments);
    std::string text = buffer_text(buffer);
    host::utf8_buf_kill(&buffer);
    return text;
}
