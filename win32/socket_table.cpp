// The table of live sockets. A SOCKET is a slot index in its low 32 bits and the slot's
// generation above, so a closed socket's value is not handed out again and a message still
// naming it matches nothing.
#include <unistd.h>

#include "win32/generation_table.h"
#include "win32/socket_internal.h"
#include "win32/socket_table.h"

namespace {

using SocketTable = GenerationTable<SocketRef>;

SocketTable& socket_table() {
    static SocketTable* table = new SocketTable;
    return *table;
}

}  // namespace

SocketRecord::~SocketRecord() {
    if (fd >= 0) ::close(fd);
}

uintptr_t socket_table_add(SocketRef record) {
    uintptr_t socket = socket_table().add(std::move(record));
    if (socket == 0) {
        SetLastError(WSOCK_EMFILE);
        return WSOCK_INVALID;
    }
    return socket;
}

SocketRef socket_table_get(uintptr_t socket) {
    SocketRef record = socket_table().get(socket);
    if (!record) SetLastError(WSOCK_ENOTSOCK);
    return record;
}

SocketRef socket_table_remove(uintptr_t socket) {
    SocketRef record = socket_table().remove(socket);
    if (!record) SetLastError(WSOCK_ENOTSOCK);
    return record;
}
