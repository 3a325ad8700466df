// The clients that have not logged on, in the order they were last heard from. When an accept
// fails for want of descriptors, the one idle longest is closed and the new connection taken, so
// that connections that never log on cannot keep everyone else out. A client whose socket has not
// been read since it was accepted is passed over: the line that would log it on may be waiting.
#include "server/idle_clients.h"

#include "server/client.h"
#include "server/server.h"

namespace {

void idle_link_tail(FtpClient* client) {
    ServerInstance* server = server_instance;
    client->idle_prev = server->idle_tail;
    client->idle_next = nullptr;
    if (server->idle_tail) {
        server->idle_tail->idle_next = client;
    } else {
        server->idle_head = client;
    }
    server->idle_tail = client;
    client->idle_listed = 1;
}

bool idle_is_candidate(const FtpClient* client, const FtpClient* spare) {
    return client != spare && client->login_state != LOGIN_LOGGED_ON && client->recv_drained;
}

}  // namespace

void idle_clients_add(FtpClient* client) { idle_link_tail(client); }

void idle_clients_note_activity(FtpClient* client) {
    idle_clients_remove(client);
    if (client->login_state != LOGIN_LOGGED_ON) idle_link_tail(client);
}

void idle_clients_remove(FtpClient* client) {
    if (!client->idle_listed) return;
    ServerInstance* server = server_instance;
    if (client->idle_prev) {
        client->idle_prev->idle_next = client->idle_next;
    } else {
        server->idle_head = client->idle_next;
    }
    if (client->idle_next) {
        client->idle_next->idle_prev = client->idle_prev;
    } else {
        server->idle_tail = client->idle_prev;
    }
    client->idle_next = nullptr;
    client->idle_prev = nullptr;
    client->idle_listed = 0;
}

bool idle_clients_close_one(const FtpClient* spare) {
    FtpClient* client = server_instance->idle_head;
    while (client && !idle_is_candidate(client, spare)) client = client->idle_next;
    if (!client) return false;
    // Offered once; a socket that takes nothing now loses the reply with the connection.
    client_printf(client, "421 Closed for a new connection: idle before login.\r\n");
    client_send(client);
    client_destroy(client);
    return true;
}
