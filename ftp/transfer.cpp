// What LIST, MLSD and RETR share once a transfer is recorded: its start when the data connection is
// up, and the sending that every data event drives, which the transfer kind's own file carries out.
#include "ftp/transfer.h"

#include "ftp/download.h"
#include "ftp/listing.h"
#include "server/client.h"
#include "server/server.h"

void data_transfer_start(FtpClient* client)
{
    client->data_started = 1;
    if (client->transfer_kind == TRANSFER_NONE) return;
    client_printf(client, "150 Data connection accepted; transfer starting.\r\n");
    if (client->transfer_kind != TRANSFER_RETR) listing_produce(client);
    // Sending starts on the window procedure's next turn, never inside the command.
    PostMessageW(server_instance->window, MSG_DATA_SOCKET, client->data_socket, 0);
}

int data_send(FtpClient* client)
{
    switch (client->transfer_kind) {
    case TRANSFER_LIST:
    case TRANSFER_MLSD:
        return listing_send(client);
    case TRANSFER_RETR:
        return retr_send(client);
    case TRANSFER_NONE:
        break;
    }
    return 1;
}

int data_send_stopped(FtpClient* client, const SendResult& result, const char* failed_format)
{
    switch (result.outcome) {
    case SEND_WOULD_BLOCK:
    case SEND_SENT:
        return 1;
    case SEND_CLOSED:
        client_printf(client, "426 Connection closed; transfer aborted.\r\n");
        return 0;
    case SEND_FAILED:
        client_printf(client, failed_format, result.error);
        return 0;
    }
    return 0;
}
