// The table that finds a client by one of its sockets, beside the client list: a socket event names
// only its socket, and walking the list for it would cost each event the number of clients.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/host_services.h"

struct FtpClient;

// Which of its client's sockets a socket is; one socket value may stand in two roles.
enum ClientSocketRole : uint32_t {
    CLIENT_SOCKET_CONTROL = 0,
    CLIENT_SOCKET_PASV = 1,
    CLIENT_SOCKET_DATA = 2,
};

struct ClientTableSlot {
    SOCKET socket;
    FtpClient* client;  // null: the slot is empty
    ClientSocketRole role;
};

// Open addressing with linear probing; the slots are allocated with the first entry and freed with
// the last, so an idle server holds none.
struct ClientTable {
    ClientTableSlot* slots;
    size_t capacity;  // a power of two, or 0
    size_t count;
};

// Enters a socket of a client; INVALID_SOCKET is never entered.
void client_table_add(ClientTable* table, SOCKET socket, ClientSocketRole role, FtpClient* client);
// Takes out that client's entry for the socket, if there is one.
void client_table_remove(ClientTable* table, SOCKET socket, ClientSocketRole role, const FtpClient* client);
// The client entered first for the socket in that role, or null.
FtpClient* client_table_find(const ClientTable* table, SOCKET socket, ClientSocketRole role);
