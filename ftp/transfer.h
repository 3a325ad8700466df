// The transfer machinery shared by LIST, MLSD and RETR, and the two listings.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

// Listing bytes one data event sends at most, so that other clients get their turn.
constexpr size_t DATA_EVENT_SEND_BYTES = 256 * 1024;

void cmd_list(FtpClient* client, const char* argument);
void cmd_mlsd(FtpClient* client, const char* argument);
// Writes LIST's path text for `argument` into `path` (option words and quotes removed).
void list_filter_argument(const char* argument, Utf8Buf* path);
void data_transfer_start(FtpClient* client);
// 1 while the transfer goes on; 0 when it is over (transfer_done tells success from failure).
int data_send(FtpClient* client);
void data_write(FtpClient* client, const char* bytes, size_t length);
void data_printf(FtpClient* client, const char* format, ...);
void data_printf_utf8(FtpClient* client, const char* format, ...);
