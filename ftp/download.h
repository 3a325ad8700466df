// RETR: the file download and its reader thread.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

void cmd_retr(FtpClient* client, const char* argument);
// The file branch of data_send.
int retr_send(FtpClient* client);
DWORD file_read_thread(void* client);
