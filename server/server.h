// The one running server: its listeners, its clients, the hidden window that receives every
// socket event, the index reference and the activity-log stream.
#pragma once

#include "plugin/host_services.h"
#include "server/client_table.h"

struct FtpClient;

// Window messages of the server window: wParam the socket, lParam the event (low word) and the
// Windows Sockets error (high word), or 0 for the plug-in's own posts.
constexpr UINT MSG_LISTEN_SOCKET = WM_USER;
constexpr UINT MSG_CONTROL_SOCKET = WM_USER + 1;
constexpr UINT MSG_PASV_SOCKET = WM_USER + 2;
constexpr UINT MSG_DATA_SOCKET = WM_USER + 3;

constexpr long LISTEN_EVENTS = FD_ACCEPT | FD_CLOSE;                           // 40
constexpr long CONNECTION_EVENTS = FD_READ | FD_WRITE | FD_CLOSE;              // 35
constexpr long CONNECT_OUT_EVENTS = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;  // 51

constexpr char SERVER_WINDOW_CLASS[] = "SORRELWICK_SWP_SERVER";

struct ListenerNode {
    ListenerNode* next;
    SOCKET socket;
    uint32_t accept_paused;  // 1 while FD_ACCEPT is not asked for (server/listener_pause.cpp)
};

struct ServerInstance {
    ListenerNode* listeners_head;
    ListenerNode* listeners_tail;
    FtpClient* clients_head;
    FtpClient* clients_tail;
    ClientTable socket_clients;  // every client socket that events name, for finding its client
    HWND window;
    SorrelwickDb* db;
    uint32_t port;
    char* bindings;
    SorrelwickOutputStream* log_stream;
    uint32_t accept_retry_timer;  // 1 while the timer that resumes paused listeners runs
    uint32_t pasv_paused_count;   // passive listeners paused since the last resume (an upper bound)
    uint64_t recv_waiting_bytes;  // bytes in the receive chains of all clients
    FtpClient* idle_head;         // clients not logged on, least recently heard from first
    FtpClient* idle_tail;
};

// Null while the server is stopped.
extern ServerInstance* server_instance;

// 1 when the plug-in is disabled or a server runs afterwards, 0 when enabled but not running.
int server_apply_settings();
void server_start();
void server_stop();
int server_listen_on(Utf8Buf* error_text, const char* host);
