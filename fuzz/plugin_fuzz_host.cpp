#include "fuzz/plugin_fuzz_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <type_traits>

#include "host/index/index.h"
#include "host/services.h"
#include "plugin/settings.h"
#include "search/query_results.h"
#include "server/server.h"
#include "server/server_window.h"

namespace fuzz_host {
namespace {

namespace fs = std::filesystem;

constexpr SOCKET LISTEN_SOCKET = 0x5A00;
constexpr SOCKET FIRST_DATA_SOCKET = 0x6000;
constexpr uint16_t CONTROL_LOCAL_PORT = 21;
constexpr uint16_t CONTROL_PEER_PORT = 50000;
constexpr uint16_t DATA_PORT_BASE = 40000;

// A socket the fake network knows: its family, the window its events go to, and for a listener
// whether a connection waits to be accepted.
struct FakeSocket {
    int family = AF_INET;
    HWND window = nullptr;
    UINT message = 0;
    bool accepted = false;  // made by accept: its peer is the data peer
    bool pending_accept = false;
};

struct FakeNetwork {
    std::map<SOCKET, FakeSocket> sockets;
    SOCKET next_socket = FIRST_DATA_SOCKET;
    int last_error = 0;
    bool verbose = false;
    size_t control_room = 0;  // what the control socket still takes in this event
};

FakeNetwork network;
NetworkScript script;
ServerInstance server;
fs::path tree_root;

char query_token;
char user_name[] = "anna";
char user_password[] = "secret";
char empty_text[] = "";

int fail_with(int error) {
    network.last_error = error;
    return -1;
}

FakeSocket* socket_find(SOCKET socket) {
    auto found = network.sockets.find(socket);
    return found == network.sockets.end() ? nullptr : &found->second;
}

void socket_post(SOCKET socket, const FakeSocket& fake, long event, int error) {
    if (fake.window == nullptr) return;
    PostMessageW(fake.window, fake.message, socket, static_cast<LPARAM>(event | (static_cast<long>(error) << 16)));
}

// Writes a loopback address of `family` (host part `host`) and `port` for a name query.
int address_fill(SOCKADDR* address, int* length, int family, uint8_t host, uint16_t port) {
    int needed = family == AF_INET ? static_cast<int>(sizeof(SOCKADDR_IN)) : static_cast<int>(sizeof(SOCKADDR_IN6));
    if (*length < needed) return fail_with(WSAEFAULT);
    std::memset(address, 0, static_cast<size_t>(needed));
    uint16_t network_port = static_cast<uint16_t>((port >> 8) | (port << 8));
    if (family == AF_INET) {
        SOCKADDR_IN* in = reinterpret_cast<SOCKADDR_IN*>(address);
        in->sin_family = AF_INET;
        in->sin_port = network_port;
        const uint8_t loopback[4] = {127, 0, 0, host};
        std::memcpy(&in->sin_addr, loopback, 4);
    } else {
        SOCKADDR_IN6* in6 = reinterpret_cast<SOCKADDR_IN6*>(address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = network_port;
        in6->sin6_addr.s6_addr[15] = host;
    }
    *length = needed;
    network.last_error = 0;
    return 0;
}

int control_family() { return script.peer_ipv6 ? AF_INET6 : AF_INET; }

// The sockets.
SOCKET fake_socket(int family, int, int) {
    SOCKET socket = network.next_socket++;
    network.sockets[socket].family = family;
    network.last_error = 0;
    return socket;
}

int fake_bind(SOCKET socket, const SOCKADDR*, int) {
    if (!socket_find(socket)) return fail_with(WSAENOTSOCK);
    network.last_error = 0;
    return 0;
}

// A data client connects as soon as the listener listens; the event says so.
int fake_listen(SOCKET socket, int) {
    FakeSocket* fake = socket_find(socket);
    if (!fake) return fail_with(WSAENOTSOCK);
    fake->pending_accept = true;
    socket_post(socket, *fake, FD_ACCEPT, 0);
    network.last_error = 0;
    return 0;
}

SOCKET fake_accept(SOCKET listener, SOCKADDR*, int*) {
    FakeSocket* fake = socket_find(listener);
    if (!fake) {
        network.last_error = WSAENOTSOCK;
        return INVALID_SOCKET;
    }
    if (!fake->pending_accept) {
        network.last_error = WSAEWOULDBLOCK;
        return INVALID_SOCKET;
    }
    fake->pending_accept = false;
    network.last_error = 0;
    if (listener == LISTEN_SOCKET) {
        if (socket_find(CONTROL_SOCKET)) fuzz_fail("a second control connection while one is open");
        network.sockets[CONTROL_SOCKET].family = control_family();
        return CONTROL_SOCKET;
    }
    int family = fake->family;
    SOCKET socket = network.next_socket++;
    network.sockets[socket].family = family;
    network.sockets[socket].accepted = true;
    return socket;
}

// Every connect is pending at first and ends with an event, as a non-blocking connect does.
int fake_connect(SOCKET socket, const SOCKADDR*, int) {
    FakeSocket* fake = socket_find(socket);
    if (!fake) return fail_with(WSAENOTSOCK);
    socket_post(socket, *fake, FD_CONNECT, script.connect_error);
    return fail_with(WSAEWOULDBLOCK);
}

int fake_async_select(SOCKET socket, HWND window, UINT message, long) {
    FakeSocket* fake = socket_find(socket);
    if (!fake) return fail_with(WSAENOTSOCK);
    fake->window = window;
    fake->message = message;
    network.last_error = 0;
    return 0;
}

int fake_shutdown(SOCKET socket, int) {
    if (!socket_find(socket)) return fail_with(WSAENOTSOCK);
    network.last_error = 0;
    return 0;
}

int fake_closesocket(SOCKET socket) {
    if (network.sockets.erase(socket) == 0) fuzz_fail("closesocket on a socket that is not open");
    network.last_error = 0;
    return 0;
}

int fake_getpeername(SOCKET socket, SOCKADDR* address, int* length) {
    FakeSocket* fake = socket_find(socket);
    if (!fake) return fail_with(WSAENOTSOCK);
    if (socket == CONTROL_SOCKET) return address_fill(address, length, fake->family, 1, CONTROL_PEER_PORT);
    if (!fake->accepted) return fail_with(WSAENOTCONN);
    uint8_t host = script.data_peer_elsewhere ? 2 : 1;
    return address_fill(address, length, fake->family, host, static_cast<uint16_t>(CONTROL_PEER_PORT + 1));
}

int fake_getsockname(SOCKET socket, SOCKADDR* address, int* length) {
    FakeSocket* fake = socket_find(socket);
    if (!fake) return fail_with(WSAENOTSOCK);
    if (socket == CONTROL_SOCKET) return address_fill(address, length, fake->family, 1, CONTROL_LOCAL_PORT);
    return address_fill(address, length, fake->family, 1, static_cast<uint16_t>(DATA_PORT_BASE + (socket & 0xFFF)));
}

int fake_last_error() { return network.last_error; }

int fake_recv(SOCKET socket, void* bytes, size_t count) {
    if (socket != CONTROL_SOCKET) return fail_with(socket_find(socket) ? WSAEWOULDBLOCK : WSAENOTSOCK);
    if (!socket_find(socket)) return fail_with(WSAENOTSOCK);
    if (script.incoming.empty()) {
        if (script.peer_closed) {
            network.last_error = 0;
            return 0;
        }
        return fail_with(WSAEWOULDBLOCK);
    }
    std::string& segment = script.incoming.front();
    size_t n = std::min(count, segment.size());
    std::memcpy(bytes, segment.data(), n);
    segment.erase(0, n);
    if (segment.empty()) script.incoming.pop_front();
    network.last_error = 0;
    return static_cast<int>(n);
}

// The control socket takes what the script allows; a data socket takes everything.
int fake_send(SOCKET socket, const void* bytes, size_t count) {
    if (!socket_find(socket)) return fail_with(WSAENOTSOCK);
    network.last_error = 0;
    if (socket != CONTROL_SOCKET) return static_cast<int>(std::min<size_t>(count, INT32_MAX));
    size_t n = std::min(count, network.control_room);
    if (n == 0) return fail_with(WSAEWOULDBLOCK);
    network.control_room -= n;
    script.sent.append(static_cast<const char*>(bytes), n);
    return static_cast<int>(n);
}

int fake_socket_option(SOCKET socket) { return socket_find(socket) ? 1 : 0; }

void fake_format_peername(Utf8Buf* buffer, SOCKET) {
    host::utf8_buf_copy_utf8_string(buffer, script.peer_ipv6 ? "::1:50000" : "127.0.0.1:50000");
}

// The query: searches and sorts are taken, and the results the harness raises are these.
struct FakeResult {
    const char* name;
    const char* path;
    bool folder;
};

constexpr FakeResult RESULTS[] = {
    {"report 2024.pdf", "share\\docs", false},
    {"live", "share\\music", true},
    {"100% real.txt", "share", false},
};

SorrelwickDbQuery* fake_query_create(SorrelwickDb*, DbQueryCallback, void*) {
    return reinterpret_cast<SorrelwickDbQuery*>(&query_token);
}

void fake_query_destroy(SorrelwickDbQuery* query) {
    if (query != reinterpret_cast<SorrelwickDbQuery*>(&query_token)) fuzz_fail("destroying a query that is not one");
}

int fake_query_search2(SorrelwickDbQuery*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                       uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*,
                       const char*, uintptr_t, uint32_t, uint32_t, uint32_t, const SorrelwickProperty*, uint32_t,
                       uintptr_t, uint32_t, uintptr_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                       uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    return 1;
}

int fake_query_sort(SorrelwickDbQuery*, const SorrelwickProperty*, uint32_t, uint32_t, uint32_t, uintptr_t, uint32_t,
                    uint32_t, uint32_t, uint32_t, uint32_t) {
    return 1;
}

const FakeResult& result_at(size_t index) {
    if (index >= std::size(RESULTS)) fuzz_fail("a result past the result count was read");
    return RESULTS[index];
}

size_t fake_result_count(SorrelwickDbQuery*) { return std::size(RESULTS); }

void fake_result_name(SorrelwickDbQuery*, size_t index, Utf8Buf* name) {
    host::utf8_buf_copy_utf8_string(name, result_at(index).name);
}

void fake_result_path(SorrelwickDbQuery*, size_t index, Utf8Buf* path) {
    host::utf8_buf_copy_utf8_string(path, result_at(index).path);
}

int fake_result_is_folder(SorrelwickDbQuery*, size_t index) { return result_at(index).folder ? 1 : 0; }

void fake_result_fd(SorrelwickDbQuery*, size_t index, IndexedFd* fd) {
    *fd = IndexedFd{index * 1000, 133000000000000000ull, INDEXED_UNKNOWN, 0, result_at(index).folder ? 0x10u : 0x20u};
}

void fake_result_file_list_filename(SorrelwickDbQuery*, size_t index, Utf8Buf* name) {
    result_at(index);
    host::utf8_buf_copy_utf8_string(name, "");
}

uint64_t fake_result_recently_changed(SorrelwickDbQuery*, size_t index) {
    result_at(index);
    return 0;
}

// The debug console: every line is formatted, as the host would, and dropped.
void format_and_drop(const char* format, va_list arguments) {
    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::utf8_buf_vprintf(&text, format, arguments);
    host::utf8_buf_kill(&text);
}

void fake_debug_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    format_and_drop(format, arguments);
    va_end(arguments);
}

void fake_debug_color_printf(uint32_t, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    format_and_drop(format, arguments);
    va_end(arguments);
}

int fake_debug_is_verbose() { return network.verbose ? 1 : 0; }

struct FakeService {
    const char* name;
    void* address;
};

const FakeService FAKE_SERVICES[] = {
    {"os_winsock_socket", reinterpret_cast<void*>(&fake_socket)},
    {"os_winsock_bind", reinterpret_cast<void*>(&fake_bind)},
    {"os_winsock_listen", reinterpret_cast<void*>(&fake_listen)},
    {"os_winsock_accept", reinterpret_cast<void*>(&fake_accept)},
    {"os_winsock_connect", reinterpret_cast<void*>(&fake_connect)},
    {"os_winsock_WSAAsyncSelect", reinterpret_cast<void*>(&fake_async_select)},
    {"os_winsock_shutdown", reinterpret_cast<void*>(&fake_shutdown)},
    {"os_winsock_closesocket", reinterpret_cast<void*>(&fake_closesocket)},
    {"os_winsock_getpeername", reinterpret_cast<void*>(&fake_getpeername)},
    {"os_winsock_getsockname", reinterpret_cast<void*>(&fake_getsockname)},
    {"os_winsock_WSAGetLastError", reinterpret_cast<void*>(&fake_last_error)},
    {"network_recv", reinterpret_cast<void*>(&fake_recv)},
    {"network_send", reinterpret_cast<void*>(&fake_send)},
    {"network_set_tcp_nodelay", reinterpret_cast<void*>(&fake_socket_option)},
    {"network_set_keepalive", reinterpret_cast<void*>(&fake_socket_option)},
    {"utf8_buf_format_peername", reinterpret_cast<void*>(&fake_format_peername)},
    {"db_query_create", reinterpret_cast<void*>(&fake_query_create)},
    {"db_query_destroy", reinterpret_cast<void*>(&fake_query_destroy)},
    {"db_query_search2", reinterpret_cast<void*>(&fake_query_search2)},
    {"db_query_sort", reinterpret_cast<void*>(&fake_query_sort)},
    {"db_query_get_result_count", reinterpret_cast<void*>(&fake_result_count)},
    {"db_query_get_result_name", reinterpret_cast<void*>(&fake_result_name)},
    {"db_query_get_result_path", reinterpret_cast<void*>(&fake_result_path)},
    {"db_query_is_folder_result", reinterpret_cast<void*>(&fake_result_is_folder)},
    {"db_query_get_result_indexed_fd", reinterpret_cast<void*>(&fake_result_fd)},
    {"db_query_get_result_file_list_filename", reinterpret_cast<void*>(&fake_result_file_list_filename)},
    {"db_query_get_result_date_recently_changed", reinterpret_cast<void*>(&fake_result_recently_changed)},
    {"debug_printf", reinterpret_cast<void*>(&fake_debug_printf)},
    {"debug_error_printf", reinterpret_cast<void*>(&fake_debug_printf)},
    {"debug_color_printf", reinterpret_cast<void*>(&fake_debug_color_printf)},
    {"debug_is_verbose", reinterpret_cast<void*>(&fake_debug_is_verbose)},
};

// The fakes have the very types the plug-in calls through.
static_assert(std::is_same_v<decltype(&fake_query_search2), svc_db_query_search2*>);
static_assert(std::is_same_v<decltype(&fake_query_sort), svc_db_query_sort*>);
static_assert(std::is_same_v<decltype(&fake_accept), svc_os_winsock_accept*>);

void* fuzz_lookup(const char* name) {
    for (const FakeService& service : FAKE_SERVICES) {
        if (std::strcmp(service.name, name) == 0) return service.address;
    }
    return host::lookup_service(name);
}

void tree_file(const std::string& relative, size_t size) {
    fs::create_directories((tree_root / relative).parent_path());
    std::ofstream out(tree_root / relative, std::ios::binary);
    std::string content(size, 'x');
    out << content;
}

void tree_remove() {
    host::index_shutdown();
    std::error_code ignored;
    fs::remove_all(tree_root, ignored);
}

// Two roots with plain names, names with blanks, a percent sign, a mark and a leading dot, an
// empty folder, and files of 0 bytes, a few bytes and more than two reader pieces.
void tree_index() {
    std::random_device seed;
    tree_root = fs::temp_directory_path() / ("swp-fuzz-tree-" + std::to_string(seed()) + std::to_string(seed()));
    tree_file("share/a.txt", 6);
    tree_file("share/100% real.txt", 3);
    tree_file("share/caf\xc3\xa9.txt", 4);
    tree_file("share/.hidden", 1);
    tree_file("share/docs/report 2024.pdf", 140000);
    tree_file("share/docs/empty.txt", 0);
    tree_file("share/music/live/track 01.flac", 70);
    fs::create_directories(tree_root / "share/empty folder");
    tree_file("data/x/y/z.bin", 9);
    std::atexit(tree_remove);
    std::string error;
    bool built = host::index_build({{(tree_root / "share").string(), "share"}, {(tree_root / "data").string(), "data"}},
                                   host::IndexOptions{}, &error);
    if (!built) fuzz_fail(error.c_str());
}

// A socket takes only so much before it blocks; each control event comes with fresh room, as a
// real one comes when the peer has read.
void dispatch(const MSG& message) {
    if (message.message == MSG_CONTROL_SOCKET) network.control_room = script.send_room;
    DispatchMessageW(&message);
}

bool reader_in_flight() {
    for (FtpClient* client = server.clients_head; client; client = client->next) {
        if (client->transfer_kind == TRANSFER_RETR && client->data_started) return true;
    }
    return false;
}

}  // namespace

NetworkScript& fuzz_script() { return script; }

void fuzz_fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

void fuzz_host_setup() {
    static bool done = false;
    if (done) return;
    done = true;
    if (host_services_bind(&fuzz_lookup) != 1) fuzz_fail("a host service is missing");
    tree_index();
    os_register_class(0, SERVER_WINDOW_CLASS, server_wndproc, 0, 0, 0, 0);
    server.window = os_create_window(0, SERVER_WINDOW_CLASS, SERVER_WINDOW_CLASS, 0, 0, 0, 0, 0, nullptr, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
    server.db = db_add_local_ref();
    // Log lines are formatted and written in full, to a file that keeps nothing.
    server.log_stream = output_stream_append_file("/dev/null");
    server_instance = &server;
}

void fuzz_host_begin(unsigned flags) {
    script = NetworkScript{};
    script.peer_ipv6 = flags & FUZZ_PEER_IPV6;
    script.data_peer_elsewhere = flags & FUZZ_DATA_PEER_ELSEWHERE;
    script.connect_error = (flags & FUZZ_CONNECT_REFUSED) ? WSAECONNREFUSED : 0;
    network.verbose = flags & FUZZ_VERBOSE;
    bool login = flags & FUZZ_LOGIN_REQUIRED;
    settings.username = login ? user_name : empty_text;
    settings.password = login ? user_password : empty_text;
    settings.welcome_message = empty_text;
    settings.log_file_name = empty_text;
    settings.bindings = empty_text;
    settings.logging_enabled = 1;
    settings.allow_ftp_port = (flags & FUZZ_PORT_ALLOWED) ? 1 : 0;
    settings.check_ftp_data_connection_ip = (flags & FUZZ_CHECK_DATA_PEER) ? 1 : 0;
    settings.allow_file_download = (flags & FUZZ_DOWNLOAD_ALLOWED) ? 1 : 0;
    FakeSocket& listener = network.sockets[LISTEN_SOCKET];
    listener.window = server.window;
    listener.message = MSG_LISTEN_SOCKET;
}

FtpClient* fuzz_host_connect() {
    FakeSocket& listener = network.sockets[LISTEN_SOCKET];
    listener.pending_accept = true;
    // The listener is not on the server's list, so on_listen_event finds it through a node.
    ListenerNode node = {nullptr, LISTEN_SOCKET, 0};
    server.listeners_head = server.listeners_tail = &node;
    socket_post(LISTEN_SOCKET, listener, FD_ACCEPT, 0);
    fuzz_host_pump();
    server.listeners_head = server.listeners_tail = nullptr;
    if (!server.clients_tail || server.clients_tail->control_socket != CONTROL_SOCKET) fuzz_fail("no client was made");
    return server.clients_tail;
}

void fuzz_host_control_event() {
    PostMessageW(server.window, MSG_CONTROL_SOCKET, CONTROL_SOCKET, FD_READ);
    fuzz_host_pump();
}

void fuzz_host_results_arrive() {
    for (FtpClient* client = server.clients_head; client; client = client->next) {
        if (client->results_pending) query_event_callback(client, DB_QUERY_EVENT_SEARCH_DONE);
    }
    fuzz_host_pump();
}

void fuzz_host_pump() {
    MSG message;
    for (;;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) dispatch(message);
        if (!reader_in_flight()) return;
        // A download goes on only when its reader posts; a reader that never does is a hang,
        // which the fuzzer's time limit reports.
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) fuzz_fail("the message loop ended");
        dispatch(message);
    }
}

void fuzz_host_end() {
    while (server.clients_head) client_destroy(server.clients_head);
    fuzz_host_pump();
    for (const auto& [socket, fake] : network.sockets) {
        if (socket != LISTEN_SOCKET) fuzz_fail("a socket was left open");
    }
}

}  // namespace fuzz_host
