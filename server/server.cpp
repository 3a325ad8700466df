// Starting and stopping the server: Winsock, the index reference, the hidden window and the
// listening sockets, and the rule that decides when new settings restart a running server.
#include "server/server.h"

#include <cassert>

#include "plugin/settings.h"
#include "server/activity_log.h"
#include "server/client.h"
#include "server/listener_pause.h"
#include "server/server_window.h"

ServerInstance* server_instance = nullptr;

namespace {

constexpr WORD WINSOCK_VERSION_1_1 = 257;

constexpr int LOC_DIALOG_CAPTION = 0;
constexpr int LOC_DIALOG_INSTRUCTION = 1100;
constexpr int LOC_LISTEN_FAILED = 1114;
constexpr int LOC_BIND_FAILED = 1115;
constexpr int LOC_SOCKET_FAILED = 1119;
constexpr int LOC_WSASTARTUP_FAILED = 1120;
constexpr int LOC_WINSOCK_VERSION = 1121;

constexpr uint32_t TASK_DIALOG_FLAGS = 16;

// Either byte being 1 is enough: the server only needs the calls of version 1.1.
bool winsock_version_usable(WORD version) {
    return (version & 0xff) == 1 || (version >> 8) == 1;
}

void server_create_window(ServerInstance* server) {
    os_register_class(0, SERVER_WINDOW_CLASS, server_wndproc, 0, 0, 0, 0);
    server->window = os_create_window(0, SERVER_WINDOW_CLASS, SERVER_WINDOW_CLASS, 0, 0, 0, 0, 0, nullptr,
                                      nullptr, GetModuleHandleW(nullptr), nullptr);
}

void server_append_listener(SOCKET socket) {
    ListenerNode* node = static_cast<ListenerNode*>(mem_alloc(sizeof(ListenerNode)));
    node->next = nullptr;
    node->socket = socket;
    node->accept_paused = 0;
    if (server_instance->listeners_tail) {
        server_instance->listeners_tail->next = node;
    } else {
        server_instance->listeners_head = node;
    }
    server_instance->listeners_tail = node;
}

// Opens one listening socket for one looked-up address. On failure the error text gets the
// message of the failed step with its Windows Sockets error, and the socket is closed.
int server_listen_on_address(Utf8Buf* error_text, const ADDRINFOA* entry) {
    SOCKET socket = os_winsock_socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (socket == INVALID_SOCKET) {
        utf8_buf_printf(error_text, localization_get_string(LOC_SOCKET_FAILED), os_winsock_WSAGetLastError());
        return 0;
    }
    if (os_winsock_bind(socket, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == SOCKET_ERROR) {
        // Read once: the trace itself may disturb the thread's last error.
        int error = os_winsock_WSAGetLastError();
        debug_error_printf("bind failed %d\n", error);
        utf8_buf_printf(error_text, localization_get_string(LOC_BIND_FAILED), error);
        os_winsock_closesocket(socket);
        return 0;
    }
    if (os_winsock_listen(socket, SOMAXCONN) == SOCKET_ERROR) {
        utf8_buf_printf(error_text, localization_get_string(LOC_LISTEN_FAILED), os_winsock_WSAGetLastError());
        os_winsock_closesocket(socket);
        return 0;
    }
    server_append_listener(socket);
    os_winsock_WSAAsyncSelect(socket, server_instance->window, MSG_LISTEN_SOCKET, LISTEN_EVENTS);
    return 1;
}

// Walks the bindings list, one listener set per item; empty items are skipped and the walk ends
// at the first item that fails.
void server_listen_on_bindings(Utf8Buf* error_text, const char* bindings) {
    ScopedUtf8Buf item;
    const char* rest = bindings;
    while ((rest = utf8_string_parse_csv_item(rest, item.get())) != nullptr) {
        if (item.length() == 0) continue;
        if (!server_listen_on(error_text, item.text())) break;
    }
}

void server_open_listeners(Utf8Buf* error_text, const WSADATA& winsock_data) {
    if (!winsock_version_usable(winsock_data.wVersion)) {
        utf8_buf_printf(error_text, localization_get_string(LOC_WINSOCK_VERSION), winsock_data.wVersion & 0xff,
                        winsock_data.wVersion >> 8);
        return;
    }
    const char* bindings = settings.bindings ? settings.bindings : "";
    if (bindings[0] == '\0' || utf8_string_compare(bindings, "*") == 0) {
        server_listen_on(error_text, nullptr);
        return;
    }
    server_listen_on_bindings(error_text, bindings);
}

void server_show_error(const ScopedUtf8Buf& error_text) {
    if (error_text.length() == 0) return;
    ui_task_dialog_show(nullptr, TASK_DIALOG_FLAGS, localization_get_string(LOC_DIALOG_CAPTION), 0,
                        localization_get_string(LOC_DIALOG_INSTRUCTION), error_text.text());
}

}  // namespace

int server_apply_settings() {
    if (!settings.enabled) {
        server_stop();
        return 1;
    }
    if (server_instance) {
        // Case-sensitive on purpose: any change of the text counts as new bindings.
        if (server_instance->port != static_cast<uint32_t>(settings.port) ||
            utf8_string_compare(settings.bindings, server_instance->bindings) != 0) {
            server_stop();
        }
    }
    server_start();
    return server_instance ? 1 : 0;
}

void server_start() {
    ScopedUtf8Buf error_text;
    if (server_instance) return;

    WSADATA winsock_data{};
    int error = os_winsock_WSAStartup(WINSOCK_VERSION_1_1, &winsock_data);
    if (error != 0) {
        utf8_buf_printf(error_text.get(), localization_get_string(LOC_WSASTARTUP_FAILED), error);
        server_show_error(error_text);
        return;
    }

    server_instance = static_cast<ServerInstance*>(mem_calloc(sizeof(ServerInstance)));
    server_instance->db = db_add_local_ref();
    server_instance->bindings = utf8_string_alloc_utf8_string(settings.bindings ? settings.bindings : "");
    server_instance->port = static_cast<uint32_t>(settings.port);
    server_create_window(server_instance);

    server_open_listeners(error_text.get(), winsock_data);

    if (server_instance->listeners_head) {
        if (error_text.length() != 0) {
            debug_error_printf("SWP server started, but with errors: %s\n", error_text.text());
        }
        client_log(nullptr, "SWP server online.\r\n");
        return;
    }
    server_stop();
    server_show_error(error_text);
}

int server_listen_on(Utf8Buf* error_text, const char* host) {
    ADDRINFOA hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;

    ADDRINFOA* list = nullptr;
    int lookup;
    {
        ScopedUtf8Buf port_text;
        utf8_buf_printf(port_text.get(), "%d", static_cast<int>(server_instance->port));
        lookup = os_winsock_getaddrinfo(host, port_text.text(), &hints, &list);
    }
    if (lookup != 0) return 0;

    // 1 only when every usable address up to the end of the list got its listener.
    int result = 0;
    for (const ADDRINFOA* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        debug_printf("bind to family %d, protocol %d, socktype %d\n", entry->ai_family, entry->ai_protocol,
                     entry->ai_socktype);
        result = 0;
        if (!server_listen_on_address(error_text, entry)) break;
        result = 1;
    }
    os_winsock_freeaddrinfo(list);
    return result;
}

void server_stop() {
    ServerInstance* server = server_instance;
    if (!server) return;

    listeners_stop_retry_timer();
    for (ListenerNode* node = server->listeners_head; node;) {
        ListenerNode* next = node->next;
        os_winsock_closesocket(node->socket);
        mem_free(node);
        node = next;
    }
    server->listeners_head = nullptr;
    server->listeners_tail = nullptr;

    // client_destroy unlinks and frees the client, so its link is read first.
    for (FtpClient* client = server->clients_head; client;) {
        FtpClient* next = client->next;
        client_destroy(client);
        client = next;
    }

    // Every client took its sockets out of the table; an entry left over would only leak.
    assert(server->socket_clients.count == 0);
    mem_free(server->socket_clients.slots);

    // Logged while the stream is still open, after every client's disconnect line.
    client_log(nullptr, "SWP server offline.\r\n");
    db_release(server->db);
    mem_free(server->bindings);
    os_winsock_WSACleanup();
    DestroyWindow(server->window);
    if (server->log_stream) output_stream_close(server->log_stream);
    mem_free(server);
    server_instance = nullptr;
}
