#pragma once

#include <cstdint>

struct FtpClient;

// Writes one activity-log line (null client: a server line) and echoes the same line, time and
// client included, to the debug console. Control bytes in the message are written as '?'.
void client_log(FtpClient* client, const char* format, ...);

// A trace of what a client sent or is sent, on the debug console: control bytes other than tab
// and line ends are written as '?'.
void console_echo_printf(uint32_t color, const char* format, ...);
