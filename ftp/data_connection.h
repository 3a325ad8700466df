// Active and passive data connections and their one teardown.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

void cmd_port(FtpClient* client, const char* argument);
void cmd_eprt(FtpClient* client, const char* argument);
void cmd_pasv(FtpClient* client);
void cmd_epsv(FtpClient* client);
// Connects out, waits for the passive connection, or refuses; called after a transfer is recorded.
void data_open(FtpClient* client);
// 1 when the peer of `socket` is an acceptable data peer for a control peer `peer_address`.
int data_peer_matches(SOCKET socket, const SOCKADDR_STORAGE* peer_address);
// Makes `socket` (INVALID_SOCKET too) the client's data socket, entered in the socket table.
void data_socket_set(FtpClient* client, SOCKET socket);
// Closes the passive listener and takes it out of the socket table.
void pasv_socket_close(FtpClient* client);
// Releases the data connection, the passive listener and the transfer state; safe to repeat.
void data_close(FtpClient* client);
