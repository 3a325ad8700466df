// RETR: the file download and its reader thread, from the command to the release.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

void cmd_retr(FtpClient* client, const char* argument);
// The file branch of data_send.
int retr_send(FtpClient* client);
DWORD file_read_thread(void* client);
// Stops and joins the reader, then frees what the transfer holds; data_close calls it for
// TRANSFER_RETR.
void retr_release(FtpClient* client);
