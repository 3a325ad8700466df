// The server window's procedure: every socket event and every kick the plug-in posts to itself
// arrives here and is handed to the client layer or the data-connection layer.
#include "server/server_window.h"

#include "ftp/data_connection.h"
#include "ftp/transfer.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/idle_clients.h"
#include "server/listener_pause.h"
#include "server/server.h"

namespace {

constexpr uint32_t EVENT_MASK = 0xFFFF;

FtpClient* client_by_control_socket(SOCKET socket) {
    return client_table_find(&server_instance->socket_clients, socket, CLIENT_SOCKET_CONTROL);
}

FtpClient* client_by_pasv_socket(SOCKET socket) {
    FtpClient* client = client_table_find(&server_instance->socket_clients, socket, CLIENT_SOCKET_PASV);
    return client && client->data_mode == DATA_MODE_PASSIVE ? client : nullptr;
}

FtpClient* client_by_data_socket(SOCKET socket) {
    return client_table_find(&server_instance->socket_clients, socket, CLIENT_SOCKET_DATA);
}

void client_queue_banner(FtpClient* client) {
    ScopedUtf8Buf banner;
    size_t length = welcome_format(nullptr, settings.welcome_message);
    utf8_buf_grow_length(banner.get(), length);
    welcome_format(banner.get()->text, settings.welcome_message);
    // Queued directly, not through client_printf: the banner is never logged.
    client_queue_reply(client, banner.text(), length);
}

// Accepts a connection; when the process has no descriptor left, the longest-idle client that has
// not logged on (never `spare`) is closed for it and the accept tried once more. INVALID_SOCKET
// with *error set when no connection was taken.
SOCKET accept_making_room(SOCKET listener, const FtpClient* spare, int* error) {
    SOCKET socket = os_winsock_accept(listener, nullptr, nullptr);
    if (socket != INVALID_SOCKET) return socket;
    *error = os_winsock_WSAGetLastError();
    if (*error != WSAEMFILE || !idle_clients_close_one(spare)) return INVALID_SOCKET;
    socket = os_winsock_accept(listener, nullptr, nullptr);
    if (socket == INVALID_SOCKET) *error = os_winsock_WSAGetLastError();
    return socket;
}

// At most one connection per listening socket per message; the next one brings its own message.
// A paused listener is left alone until it is resumed.
void on_listen_event(HWND window) {
    for (ListenerNode* node = server_instance->listeners_head; node; node = node->next) {
        if (node->accept_paused) continue;
        int error = 0;
        SOCKET socket = accept_making_room(node->socket, nullptr, &error);
        if (socket == INVALID_SOCKET) {
            listener_accept_failed(node, error);
            continue;
        }
        network_set_tcp_nodelay(socket);
        network_set_keepalive(socket);
        os_winsock_WSAAsyncSelect(socket, window, MSG_CONTROL_SOCKET, CONNECTION_EVENTS);
        FtpClient* client = client_create(socket);
        if (!client) {
            // No memory for its record: the connection is refused, the server goes on.
            os_winsock_closesocket(socket);
            continue;
        }
        client_queue_banner(client);
    }
}

// Reads and executes what arrived, then sends what the socket takes, each up to the bound of one
// event, so that the user-interface thread serves every client in turn. A client that stopped at
// a bound, or whose held lines may run now, gets a kick: it queues behind the events already
// waiting, and no socket event would come for work the socket does not report.
void on_control_event(SOCKET socket, LPARAM lparam) {
    FtpClient* client = client_by_control_socket(socket);
    if (!client) return;
    if (lparam == 0) client->kick_pending = 0;
    // Replies that the lines queue now leave with this event's send: they need no kick, which
    // would cost a post and an event that finds nothing to read or send.
    client->in_control_event = 1;
    ClientIo received = client_recv(client);
    if (received == CLIENT_IO_CLOSED) {
        debug_printf("recv failed\n");
        client_destroy(client);
        return;
    }
    ClientIo sent = client_send(client);
    client->in_control_event = 0;
    if (sent == CLIENT_IO_CLOSED) {
        debug_printf("send failed\n");
        client_destroy(client);
        return;
    }
    if (received == CLIENT_IO_MORE || sent == CLIENT_IO_MORE) client_kick(client);
}

void on_pasv_event(SOCKET socket) {
    FtpClient* client = client_by_pasv_socket(socket);
    if (!client || client->pasv_accept_paused) return;
    int error = 0;
    data_socket_set(client, accept_making_room(client->data_address.pasv_socket, client, &error));
    if (client->data_socket == INVALID_SOCKET) {
        pasv_accept_failed(client, error);
        return;
    }
    if (!data_peer_matches(client->data_socket, &client->peer_address)) {
        client_printf(client, "500 Failed to connect to IP.\r\n");
        data_close(client);
        return;
    }
    debug_printf("pasv connected.\n");
    network_set_tcp_nodelay(client->data_socket);
    network_set_keepalive(client->data_socket);
    os_winsock_WSAAsyncSelect(client->data_socket, server_instance->window, MSG_DATA_SOCKET, CONNECTION_EVENTS);
    data_transfer_start(client);
    pasv_socket_close(client);
}

void on_data_event(SOCKET socket, LPARAM lparam) {
    FtpClient* client = client_by_data_socket(socket);
    if (!client) return;
    if (client->data_started) {
        if (data_send(client)) return;
        if (client->transfer_done) {
            os_winsock_shutdown(client->data_socket, SD_SEND);
            data_close(client);
            client_printf(client, "226 Transfer complete.\r\n");
        } else {
            // The failed transfer has already queued its own reply.
            data_close(client);
        }
        return;
    }
    uint32_t event = static_cast<uint32_t>(lparam) & EVENT_MASK;
    uint32_t error = (static_cast<uint32_t>(lparam) >> 16) & EVENT_MASK;
    if (event != FD_CONNECT) return;
    if (error != 0) {
        client_printf(client, "426 Unable to connect to port %u\r\n", error);
        data_close(client);
        return;
    }
    data_transfer_start(client);
}

}  // namespace

LRESULT server_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (server_instance) {
        bool verbose = debug_is_verbose() != 0;
        SOCKET socket = static_cast<SOCKET>(wparam);
        size_t event = static_cast<size_t>(lparam);
        switch (message) {
        case MSG_LISTEN_SOCKET:
            if (verbose) debug_printf("listen event %zu %zu\n", static_cast<size_t>(wparam), event);
            on_listen_event(window);
            break;
        case MSG_CONTROL_SOCKET:
            if (verbose) debug_printf("client event %zu %zu\n", static_cast<size_t>(wparam), event);
            on_control_event(socket, lparam);
            break;
        case MSG_PASV_SOCKET:
            if (verbose) debug_printf("pasv event %zu %zu\n", static_cast<size_t>(wparam), event);
            on_pasv_event(socket);
            break;
        case MSG_DATA_SOCKET:
            if (verbose) debug_printf("data event %zu %zu\n", static_cast<size_t>(wparam), event);
            on_data_event(socket, lparam);
            break;
        case WM_TIMER:
            if (wparam == ACCEPT_RETRY_TIMER) listeners_resume_accept();
            break;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
