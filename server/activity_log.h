#pragma once

struct FtpClient;

// Writes one activity-log line (null client: a server line) and echoes it to the debug console.
void client_log(FtpClient* client, const char* format, ...);
