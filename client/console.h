// The standard handles as the client uses them: whether each is a terminal, unbuffered writes to
// stderr, and the one form of an error message.
#pragma once

#include <string>
#include <string_view>

#include "sdk/platform_api.h"

namespace client {

// Whether STD_INPUT_HANDLE, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE is a console (a terminal).
bool console_is_terminal(DWORD which);

// Makes consoles show UTF-8 (names are UTF-8 throughout).
void console_prepare();

// Writes all of `text` to the handle; false when it could not (*error: the Win32 error).
bool console_write(DWORD which, std::string_view text, DWORD* error = nullptr);

// "swp-search: MESSAGE" on stderr.
void console_report(const std::string& message);

}  // namespace client
