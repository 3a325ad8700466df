// One send on a non-blocking socket, told as the outcome its callers act on.
#include "server/socket_send.h"

#include <cassert>

SendResult socket_send(SOCKET socket, const void* bytes, size_t length) {
    int sent = network_send(socket, bytes, length);
    if (sent == -1) {
        int error = os_winsock_WSAGetLastError();
        return {error == WSAEWOULDBLOCK ? SEND_WOULD_BLOCK : SEND_FAILED, sent, error};
    }
    if (sent == 0) return {SEND_CLOSED, sent, 0};
    assert(static_cast<size_t>(sent) <= length);
    return {SEND_SENT, sent, 0};
}
