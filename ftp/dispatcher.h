// The entry for every command line, the login state machine and the small commands.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

// line: mutable, terminated, without its LF; cut in place into the command word and argument.
void client_execute(FtpClient* client, char* line);
// Writes the display form of an index path ("/" first, later backslashes as "/") into display.
void path_display(Utf8Buf* display, const char* index_path);
