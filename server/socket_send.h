// One send on a non-blocking socket, told as the outcome its callers act on.
#pragma once

#include "plugin/host_services.h"

enum SendOutcome : int {
    SEND_SENT,         // the socket took `sent` bytes, at least one
    SEND_WOULD_BLOCK,  // the socket is full; its next write event continues
    SEND_CLOSED,       // the peer has closed the connection
    SEND_FAILED,       // `error` holds the Windows Sockets code
};

struct SendResult {
    SendOutcome outcome;
    int sent;   // what the send returned: the bytes taken, 0 when closed, -1 otherwise
    int error;  // SEND_WOULD_BLOCK and SEND_FAILED: the Windows Sockets code, read right after the call
};

SendResult socket_send(SOCKET socket, const void* bytes, size_t length);
