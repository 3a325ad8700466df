// LIST and MLSD: the argument filter, the whole listing written into a chain of 64 KiB blocks once
// the data connection is up, its sending, and the release of the blocks.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

// Listing bytes one data event sends at most, so that other clients get their turn.
constexpr size_t DATA_EVENT_SEND_BYTES = 256 * 1024;

void cmd_list(FtpClient* client, const char* argument);
void cmd_mlsd(FtpClient* client, const char* argument);
// Writes LIST's path text for `argument` into `path`: the leading option words go, and one pair of
// double quotes round the rest.
void list_filter_argument(const char* argument, Utf8Buf* path);
// Writes every line of the recorded listing into the block chain.
void listing_produce(FtpClient* client);
// The listing branch of data_send.
int listing_send(FtpClient* client);
// Frees the block chain and the folder path; data_close calls it for TRANSFER_LIST and TRANSFER_MLSD.
void listing_release(FtpClient* client);
void data_write(FtpClient* client, const char* bytes, size_t length);
void data_printf(FtpClient* client, const char* format, ...);
void data_printf_utf8(FtpClient* client, const char* format, ...);
