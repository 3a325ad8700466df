// The start of a recorded transfer once its data connection is up, and the sending that each data
// event drives, handed to the transfer kind's own file.
#pragma once

#include "plugin/host_services.h"
#include "server/socket_send.h"

struct FtpClient;

void data_transfer_start(FtpClient* client);
// 1 while the transfer goes on; 0 when it is over (transfer_done tells success from failure).
int data_send(FtpClient* client);
// For a send of transfer data that sent nothing: 1 when the socket is only full, else 0 after
// queuing the reply that ends the transfer, `failed_format` with the error for a failed send.
int data_send_stopped(FtpClient* client, const SendResult& result, const char* failed_format);
