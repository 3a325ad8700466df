// Pausing a listener that has run out of descriptors, and asking for its connections again.
//
// A connection that cannot be accepted for want of descriptors or buffers stays queued, and every
// accept call, even a failed one, has FD_ACCEPT posted again at once: a listener that went on
// asking would spin the user-interface thread on failing accepts. So the listener drops FD_ACCEPT
// from its registration until a client ends or the retry timer fires; the new registration then
// reports the waiting connections again.
#include "server/listener_pause.h"

#include "server/client.h"
#include "server/server.h"

namespace {

constexpr long PAUSED_LISTEN_EVENTS = LISTEN_EVENTS & ~FD_ACCEPT;

void listener_register(ListenerNode* node, long events) {
    os_winsock_WSAAsyncSelect(node->socket, server_instance->window, MSG_LISTEN_SOCKET, events);
}

bool accept_error_is_shortage(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

void retry_timer_start() {
    if (server_instance->accept_retry_timer) return;
    SetTimer(server_instance->window, ACCEPT_RETRY_TIMER, ACCEPT_RETRY_MS, nullptr);
    server_instance->accept_retry_timer = 1;
}

// A client's passive listener is asked again only while it is still the one its client waits on.
void pasv_listeners_resume() {
    if (server_instance->pasv_paused_count == 0) return;
    server_instance->pasv_paused_count = 0;
    for (FtpClient* client = server_instance->clients_head; client; client = client->next) {
        if (!client->pasv_accept_paused) continue;
        client->pasv_accept_paused = 0;
        if (client->data_mode != DATA_MODE_PASSIVE || client->data_address.pasv_socket == INVALID_SOCKET) continue;
        os_winsock_WSAAsyncSelect(client->data_address.pasv_socket, server_instance->window, MSG_PASV_SOCKET,
                                  LISTEN_EVENTS);
    }
}

}  // namespace

void listener_accept_failed(ListenerNode* node, int error) {
    if (!accept_error_is_shortage(error)) return;
    listener_register(node, PAUSED_LISTEN_EVENTS);
    node->accept_paused = 1;
    retry_timer_start();
}

void pasv_accept_failed(FtpClient* client, int error) {
    if (!accept_error_is_shortage(error) || client->pasv_accept_paused) return;
    os_winsock_WSAAsyncSelect(client->data_address.pasv_socket, server_instance->window, MSG_PASV_SOCKET,
                              PAUSED_LISTEN_EVENTS);
    client->pasv_accept_paused = 1;
    server_instance->pasv_paused_count++;
    retry_timer_start();
}

void listeners_resume_accept() {
    if (!server_instance) return;
    listeners_stop_retry_timer();
    for (ListenerNode* node = server_instance->listeners_head; node; node = node->next) {
        if (!node->accept_paused) continue;
        node->accept_paused = 0;
        listener_register(node, LISTEN_EVENTS);
    }
    pasv_listeners_resume();
}

void listeners_stop_retry_timer() {
    if (!server_instance || !server_instance->accept_retry_timer) return;
    KillTimer(server_instance->window, ACCEPT_RETRY_TIMER);
    server_instance->accept_retry_timer = 0;
}
