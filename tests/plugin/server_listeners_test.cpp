// Starting, restarting and stopping the server in-process: listeners per binding, the error texts
// and dialog, and the rule that decides when new settings restart a running server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/services.h"
#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"
#include "server/server_window.h"
#include "tests/support/plugin_harness.h"

using namespace test_support;

namespace {

constexpr char UNRESOLVABLE[] = "no-such-host.invalid";

struct Endpoint {
    int family;
    uint16_t port;
    bool operator==(const Endpoint&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Endpoint& endpoint) {
    return out << "family " << endpoint.family << " port " << endpoint.port;
}

Endpoint local_endpoint(SOCKET socket) {
    SOCKADDR_STORAGE address{};
    int length = sizeof(address);
    host::os_winsock_getsockname(socket, reinterpret_cast<SOCKADDR*>(&address), &length);
    uint16_t network_port = reinterpret_cast<SOCKADDR_IN*>(&address)->sin_port;  // same offset in both
    return {address.ss_family, host::os_winsock_ntohs(network_port)};
}

std::vector<Endpoint> listener_endpoints() {
    std::vector<Endpoint> endpoints;
    if (!server_instance) return endpoints;
    for (ListenerNode* node = server_instance->listeners_head; node; node = node->next) {
        endpoints.push_back(local_endpoint(node->socket));
    }
    return endpoints;
}

std::vector<SOCKET> listener_sockets() {
    std::vector<SOCKET> sockets;
    for (ListenerNode* node = server_instance ? server_instance->listeners_head : nullptr; node; node = node->next) {
        sockets.push_back(node->socket);
    }
    return sockets;
}

// Keeps Winsock started for the test's own sockets.
struct WinsockUse {
    WinsockUse() {
        WSADATA data{};
        host::os_winsock_WSAStartup(257, &data);
    }
    ~WinsockUse() { host::os_winsock_WSACleanup(); }
};

// A listening socket of the test's own on a numeric address; INVALID_SOCKET when the bind fails.
SOCKET occupy(const char* address, uint16_t port) {
    ADDRINFOA hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* list = nullptr;
    std::string port_text = std::to_string(port);
    if (host::os_winsock_getaddrinfo(address, port_text.c_str(), &hints, &list) != 0) return INVALID_SOCKET;
    SOCKET socket = host::os_winsock_socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (host::os_winsock_bind(socket, list->ai_addr, static_cast<int>(list->ai_addrlen)) != 0 ||
        host::os_winsock_listen(socket, 16) != 0) {
        host::os_winsock_closesocket(socket);
        socket = INVALID_SOCKET;
    }
    host::os_winsock_freeaddrinfo(list);
    return socket;
}

// A port that nothing listens on at this moment, on either loopback address.
uint16_t free_port() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        SOCKET probe = occupy("127.0.0.1", 0);
        uint16_t port = local_endpoint(probe).port;
        host::os_winsock_closesocket(probe);
        SOCKET probe6 = occupy("::1", port);
        if (probe6 == INVALID_SOCKET) continue;
        host::os_winsock_closesocket(probe6);
        return port;
    }
    ADD_FAILURE() << "no free port found";
    return 0;
}

// What the address lookup says the wildcard addresses are, in its order.
std::vector<Endpoint> wildcard_endpoints(uint16_t port) {
    ADDRINFOA hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* list = nullptr;
    std::vector<Endpoint> endpoints;
    if (host::os_winsock_getaddrinfo(nullptr, std::to_string(port).c_str(), &hints, &list) != 0) return endpoints;
    for (ADDRINFOA* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) endpoints.push_back({entry->ai_family, port});
    }
    host::os_winsock_freeaddrinfo(list);
    return endpoints;
}

void set_string(char*& setting, const char* text) { setting = utf8_string_realloc_utf8_string(setting, text); }

// Applies `bindings` on `port` with serving on; the result of server_apply_settings.
int apply(const char* bindings, uint16_t port) {
    settings.enabled = 1;
    settings.port = port;
    set_string(settings.bindings, bindings);
    return server_apply_settings();
}

std::string loc(int id) { return host::localization_get_string(id); }

bool has_line(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class ServerListeners : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.bound());
        settings.logging_enabled = 1;
    }
    void TearDown() override {
        server_stop();
        // Everything the server allocated is given back when it stops.
        EXPECT_TRUE(blocks_besides_settings().empty());
    }
    size_t online() { return color_line_count("SWP server online.\r\n"); }
    size_t offline() { return color_line_count("SWP server offline.\r\n"); }

    WinsockUse winsock_;
    PluginSession session_;
};

TEST_F(ServerListeners, EmptyOrStarBindingsListenOnEveryWildcardAddress) {
    for (const char* bindings : {"", "*"}) {
        uint16_t port = free_port();
        std::vector<Endpoint> expected = wildcard_endpoints(port);
        ASSERT_EQ(expected.size(), 2u) << "the machine should offer one wildcard address per family";
        EXPECT_EQ(apply(bindings, port), 1) << bindings;
        EXPECT_EQ(listener_endpoints(), expected) << bindings;
        SCOPED_TRACE(bindings);
        for (const Endpoint& endpoint : expected) {
            std::string trace = host_format("bind to family %d, protocol %d, socktype %d\n", endpoint.family, 6, 1);
            EXPECT_TRUE(has_line(recording().debug_lines, trace)) << trace;
        }
        server_stop();
    }
    EXPECT_EQ(online(), 2u);
    EXPECT_EQ(offline(), 2u);
    EXPECT_TRUE(recording().dialogs.empty());
    EXPECT_TRUE(recording().error_lines.empty());
}

TEST_F(ServerListeners, EmptyItemInTheListIsSkipped) {
    uint16_t port = free_port();
    EXPECT_EQ(apply("127.0.0.1,,::1", port), 1);
    std::vector<Endpoint> expected = {{AF_INET, port}, {AF_INET6, port}};
    EXPECT_EQ(listener_endpoints(), expected);
    EXPECT_EQ(server_instance->port, port);
    EXPECT_STREQ(server_instance->bindings, "127.0.0.1,,::1");
    EXPECT_NE(server_instance->bindings, settings.bindings);  // a copy of its own
    EXPECT_EQ(online(), 1u);
}

TEST_F(ServerListeners, UnresolvableSecondBindingKeepsTheFirstListenerWithoutAnError) {
    uint16_t port = free_port();
    std::string bindings = std::string("127.0.0.1,") + UNRESOLVABLE + ",::1";
    EXPECT_EQ(apply(bindings.c_str(), port), 1);
    std::vector<Endpoint> expected = {{AF_INET, port}};
    EXPECT_EQ(listener_endpoints(), expected);  // the walk ends at the unresolvable name
    EXPECT_EQ(online(), 1u);
    EXPECT_TRUE(recording().dialogs.empty());
    EXPECT_TRUE(recording().error_lines.empty());
}

TEST_F(ServerListeners, OnlyAnUnresolvableBindingLeavesTheServerStoppedWithoutADialog) {
    EXPECT_EQ(apply(UNRESOLVABLE, free_port()), 0);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_TRUE(recording().dialogs.empty());
    EXPECT_EQ(online(), 0u);
    EXPECT_EQ(offline(), 1u);
}

TEST_F(ServerListeners, PortInUseShowsTheBindErrorWithItsWinsockCode) {
    uint16_t port = free_port();
    SOCKET blocker = occupy("127.0.0.1", port);
    ASSERT_NE(blocker, INVALID_SOCKET);
    EXPECT_EQ(apply("127.0.0.1", port), 0);
    EXPECT_EQ(server_instance, nullptr);

    ASSERT_EQ(recording().dialogs.size(), 1u);
    const DialogCall& dialog = recording().dialogs[0];
    EXPECT_EQ(dialog.parent, nullptr);
    EXPECT_EQ(dialog.flags, 16u);
    EXPECT_EQ(dialog.caption, loc(0));
    EXPECT_EQ(dialog.reserved, 0u);
    EXPECT_EQ(dialog.instruction, loc(1100));
    EXPECT_EQ(dialog.content, host_format(loc(1115).c_str(), WSAEADDRINUSE));
    EXPECT_TRUE(has_line(recording().error_lines, "bind failed 10048\n"));
    EXPECT_EQ(online(), 0u);
    EXPECT_EQ(offline(), 1u);
    host::os_winsock_closesocket(blocker);
}

TEST_F(ServerListeners, LaterBindFailureKeepsEarlierListenersAndOnlyTracesTheError) {
    uint16_t port = free_port();
    SOCKET blocker = occupy("::1", port);
    ASSERT_NE(blocker, INVALID_SOCKET);
    EXPECT_EQ(apply("127.0.0.1,::1", port), 1);
    std::vector<Endpoint> expected = {{AF_INET, port}};
    EXPECT_EQ(listener_endpoints(), expected);
    EXPECT_TRUE(recording().dialogs.empty());
    std::string text = host_format(loc(1115).c_str(), WSAEADDRINUSE);
    EXPECT_TRUE(has_line(recording().error_lines, "SWP server started, but with errors: " + text + "\n"));
    EXPECT_EQ(online(), 1u);
    host::os_winsock_closesocket(blocker);
}

TEST_F(ServerListeners, ApplyRestartsOnlyForANewPortOrNewBindings) {
    uint16_t port = free_port();
    ASSERT_EQ(apply("localhost", port), 1);
    ServerInstance* running = server_instance;
    std::vector<SOCKET> sockets = listener_sockets();
    ASSERT_FALSE(sockets.empty());

    // Another setting changed: the server is left alone.
    set_string(settings.username, "alice");
    settings.allow_file_download = 0;
    EXPECT_EQ(server_apply_settings(), 1);
    EXPECT_EQ(server_instance, running);
    EXPECT_EQ(listener_sockets(), sockets);
    EXPECT_EQ(online(), 1u);
    EXPECT_EQ(offline(), 0u);

    // Only the letter case of the bindings changed: that is a restart.
    EXPECT_EQ(apply("LOCALHOST", port), 1);
    EXPECT_EQ(offline(), 1u);
    EXPECT_EQ(online(), 2u);
    EXPECT_STREQ(server_instance->bindings, "LOCALHOST");

    // A new port.
    uint16_t other_port = free_port();
    EXPECT_EQ(apply("LOCALHOST", other_port), 1);
    EXPECT_EQ(offline(), 2u);
    EXPECT_EQ(online(), 3u);
    for (const Endpoint& endpoint : listener_endpoints()) EXPECT_EQ(endpoint.port, other_port);

    // Serving switched off: stopped, and that still counts as success.
    settings.enabled = 0;
    EXPECT_EQ(server_apply_settings(), 1);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_EQ(offline(), 3u);
    EXPECT_TRUE(recording().dialogs.empty());
}

TEST_F(ServerListeners, StartWhileRunningDoesNothing) {
    uint16_t port = free_port();
    ASSERT_EQ(apply("127.0.0.1", port), 1);
    ServerInstance* running = server_instance;
    server_start();
    EXPECT_EQ(server_instance, running);
    EXPECT_EQ(listener_endpoints().size(), 1u);
    EXPECT_EQ(online(), 1u);
}

TEST_F(ServerListeners, StopClosesEveryListenerSoThePortsAreFreeAgain) {
    uint16_t port = free_port();
    ASSERT_EQ(apply("127.0.0.1,::1", port), 1);
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_STOP, 0), 1u);
    EXPECT_EQ(server_instance, nullptr);
    for (const char* address : {"127.0.0.1", "::1"}) {
        SOCKET again = occupy(address, port);
        EXPECT_NE(again, INVALID_SOCKET) << address;
        if (again != INVALID_SOCKET) host::os_winsock_closesocket(again);
    }
    EXPECT_EQ(offline(), 1u);
}

TEST_F(ServerListeners, StartMessageWithServingOnStartsTheServer) {
    uint16_t port = free_port();
    RecordingSettingsStore store;
    store.integers = {{"enabled", 1}, {"port", port}};
    store.strings = {{"bindings", "127.0.0.1"}};
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(&store)), 1u);
    ASSERT_NE(server_instance, nullptr);
    EXPECT_NE(server_instance->window, nullptr);
    EXPECT_NE(server_instance->db, nullptr);
    std::vector<Endpoint> expected = {{AF_INET, port}};
    EXPECT_EQ(listener_endpoints(), expected);
}

// Winsock that cannot start, or grants a version the server cannot use.
int failing_startup(WORD, WSADATA*) { return WSASYSNOTREADY; }

WORD granted_version;
int granting_startup(WORD version, WSADATA* data) {
    int result = host::os_winsock_WSAStartup(version, data);
    data->wVersion = granted_version;
    return result;
}

TEST(ServerWinsock, StartupFailureShowsItsErrorAndTakesNothing) {
    WinsockUse winsock;
    PluginSession session({{"os_winsock_WSAStartup", reinterpret_cast<void*>(&failing_startup)}});
    ASSERT_TRUE(session.bound());
    EXPECT_EQ(apply("127.0.0.1", free_port()), 0);
    EXPECT_EQ(server_instance, nullptr);
    ASSERT_EQ(recording().dialogs.size(), 1u);
    EXPECT_EQ(recording().dialogs[0].content, host_format(loc(1120).c_str(), WSASYSNOTREADY));
    EXPECT_EQ(recording().dialogs[0].instruction, loc(1100));
    EXPECT_EQ(color_line_count("SWP server offline.\r\n"), 0u);  // no instance was ever made
    EXPECT_TRUE(blocks_besides_settings().empty());
}

TEST(ServerWinsock, VersionIsUsableWhenEitherByteIsOne) {
    WinsockUse winsock;
    PluginSession session({{"os_winsock_WSAStartup", reinterpret_cast<void*>(&granting_startup)}});
    ASSERT_TRUE(session.bound());
    for (WORD version : {MAKEWORD(1, 1), MAKEWORD(1, 2), MAKEWORD(2, 1)}) {
        granted_version = version;
        EXPECT_EQ(apply("127.0.0.1", free_port()), 1) << version;
        server_stop();
    }
    EXPECT_TRUE(recording().dialogs.empty());

    granted_version = MAKEWORD(2, 3);
    EXPECT_EQ(apply("127.0.0.1", free_port()), 0);
    EXPECT_EQ(server_instance, nullptr);
    ASSERT_EQ(recording().dialogs.size(), 1u);
    EXPECT_EQ(recording().dialogs[0].content, host_format(loc(1121).c_str(), 2, 3));
    EXPECT_EQ(color_line_count("SWP server offline.\r\n"), 4u);
}

// With clients connected; their records come from the client layer and the window's messages
// are pumped on this thread.
TEST_F(ServerListeners, StopDestroysEveryClientBeforeTheOfflineLine) {
    uint16_t port = free_port();
    ASSERT_EQ(apply("127.0.0.1", port), 1);
    SOCKET clients[2];
    for (SOCKET& client : clients) {
        client = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        SOCKADDR_IN address{};
        address.sin_family = AF_INET;
        address.sin_port = static_cast<uint16_t>((port >> 8) | (port << 8));
        address.sin_addr.S_un.S_un_b.s_b1 = 127;
        address.sin_addr.S_un.S_un_b.s_b4 = 1;
        ASSERT_EQ(host::os_winsock_connect(client, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)), 0);
    }
    auto client_count = [] {
        size_t count = 0;
        for (FtpClient* client = server_instance->clients_head; client; client = client->next) ++count;
        return count;
    };
    ASSERT_TRUE(pump_until([&] { return client_count() == 2; }));

    server_stop();
    std::vector<std::string> lines;
    for (const ColorLine& line : recording().color_lines) lines.push_back(log_line_message(line.text));
    std::vector<std::string> expected = {"SWP server online.\r\n", "Connected.\r\n", "Connected.\r\n",
                                         "Disconnected.\r\n", "Disconnected.\r\n", "SWP server offline.\r\n"};
    EXPECT_EQ(lines, expected);
    for (SOCKET client : clients) host::os_winsock_closesocket(client);
}

}  // namespace

// What the server hands to the window, socket and index services on its way up and down.
struct ServiceCalls {
    std::vector<std::string> calls;
    int startups = 0;
    int cleanups = 0;
    SorrelwickDb* released = nullptr;
} service_calls;

ATOM registering_class(UINT style, const char* name, WNDPROC procedure, uintptr_t icon, uintptr_t cursor,
                       uintptr_t background, uintptr_t small_icon) {
    service_calls.calls.push_back(host_format("register %u %s %d %zu %zu %zu %zu", style, name,
                                              procedure == &server_wndproc ? 1 : 0, icon, cursor, background,
                                              small_icon));
    return host::os_register_class(style, name, procedure, icon, cursor, background, small_icon);
}

HWND creating_window(DWORD extended_style, const char* class_name, const char* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* parameter) {
    service_calls.calls.push_back(host_format("create %u %s %s %u %d %d %d %d %p %p %d %p", extended_style,
                                              class_name, title, style, x, y, width, height, parent, menu,
                                              instance == GetModuleHandleW(nullptr) ? 1 : 0, parameter));
    return host::os_create_window(extended_style, class_name, title, style, x, y, width, height, parent, menu,
                                  instance, parameter);
}

int selecting(SOCKET socket, HWND window, UINT message, long events) {
    bool is_listener = false;
    for (SOCKET listener : listener_sockets()) is_listener = is_listener || listener == socket;
    service_calls.calls.push_back(host_format("select %d %d %u %ld", is_listener ? 1 : 0,
                                              window == server_instance->window ? 1 : 0, message, events));
    return host::os_winsock_WSAAsyncSelect(socket, window, message, events);
}

int counting_startup(WORD version, WSADATA* data) {
    service_calls.calls.push_back(host_format("startup %u", version));
    ++service_calls.startups;
    return host::os_winsock_WSAStartup(version, data);
}

int counting_cleanup() {
    ++service_calls.cleanups;
    return host::os_winsock_WSACleanup();
}

void recording_release(SorrelwickDb* db) {
    service_calls.released = db;
    host::db_release(db);
}

TEST(ServerServices, StartRegistersTheWindowAndEveryListenerAndStopGivesEverythingBack) {
    WinsockUse winsock;
    service_calls = ServiceCalls();
    PluginSession session({{"os_register_class", reinterpret_cast<void*>(&registering_class)},
                           {"os_create_window", reinterpret_cast<void*>(&creating_window)},
                           {"os_winsock_WSAAsyncSelect", reinterpret_cast<void*>(&selecting)},
                           {"os_winsock_WSAStartup", reinterpret_cast<void*>(&counting_startup)},
                           {"os_winsock_WSACleanup", reinterpret_cast<void*>(&counting_cleanup)},
                           {"db_release", reinterpret_cast<void*>(&recording_release)}});
    ASSERT_TRUE(session.bound());

    for (int round = 0; round < 2; ++round) {  // a second start registers the class again
        service_calls.calls.clear();
        ASSERT_EQ(apply("127.0.0.1,::1", free_port()), 1);
        const std::vector<std::string> expected = {
            "startup 257",
            "register 0 SORRELWICK_SWP_SERVER 1 0 0 0 0",
            host_format("create 0 SORRELWICK_SWP_SERVER SORRELWICK_SWP_SERVER 0 0 0 0 0 %p %p 1 %p", nullptr,
                        nullptr, nullptr),
            "select 1 1 1024 40",
            "select 1 1 1024 40",
        };
        EXPECT_EQ(service_calls.calls, expected);
        HWND window = server_instance->window;
        SorrelwickDb* db = server_instance->db;
        EXPECT_TRUE(IsWindow(window));

        server_stop();
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(service_calls.released, db);
        EXPECT_EQ(service_calls.cleanups, service_calls.startups);
        EXPECT_TRUE(blocks_besides_settings().empty());
    }
}

// An accept that fails with the error the test chooses, and counts its calls.
struct FailingAccept {
    int error = 0;
    int calls = 0;
} failing_accept_state;

SOCKET failing_accept(SOCKET, SOCKADDR*, int*) {
    ++failing_accept_state.calls;
    WSASetLastError(failing_accept_state.error);
    return INVALID_SOCKET;
}

TEST(ServerServices, AcceptOutOfDescriptorsOrBuffersPausesTheListenerUntilTheRetryTimer) {
    WinsockUse winsock;
    service_calls = ServiceCalls();
    PluginSession session({{"os_winsock_accept", reinterpret_cast<void*>(&failing_accept)},
                           {"os_winsock_WSAAsyncSelect", reinterpret_cast<void*>(&selecting)}});
    ASSERT_TRUE(session.bound());
    ASSERT_EQ(apply("127.0.0.1", free_port()), 1);
    auto listen_event = [] {
        server_wndproc(server_instance->window, MSG_LISTEN_SOCKET, server_instance->listeners_head->socket,
                       FD_ACCEPT);
    };

    service_calls.calls.clear();
    failing_accept_state = {WSAECONNABORTED, 0};
    listen_event();
    listen_event();
    EXPECT_EQ(failing_accept_state.calls, 2) << "any other failure leaves the listener asking";
    EXPECT_TRUE(service_calls.calls.empty());

    for (int error : {WSAEMFILE, WSAENOBUFS}) {
        service_calls.calls.clear();
        failing_accept_state = {error, 0};
        listen_event();
        listen_event();
        EXPECT_EQ(failing_accept_state.calls, 1) << "a paused listener is not asked; error " << error;
        EXPECT_EQ(service_calls.calls, std::vector<std::string>{"select 1 1 1024 32"});
        EXPECT_TRUE(pump_until([] { return service_calls.calls.size() == 2; })) << "the retry timer resumes it";
        EXPECT_EQ(service_calls.calls.back(), "select 1 1 1024 40");
    }
    server_stop();
}

TEST(ServerServices, PassiveAcceptOutOfDescriptorsPausesThePassiveListenerUntilTheRetryTimer) {
    WinsockUse winsock;
    service_calls = ServiceCalls();
    PluginSession session({{"os_winsock_accept", reinterpret_cast<void*>(&failing_accept)},
                           {"os_winsock_WSAAsyncSelect", reinterpret_cast<void*>(&selecting)}});
    ASSERT_TRUE(session.bound());
    ASSERT_EQ(apply("127.0.0.1", free_port()), 1);
    FtpClient* client = client_create(INVALID_SOCKET);
    SOCKET passive = os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    client->data_mode = DATA_MODE_PASSIVE;
    client->data_address.pasv_socket = passive;
    client_table_add(&server_instance->socket_clients, passive, CLIENT_SOCKET_PASV, client);
    auto pasv_event = [passive] { server_wndproc(server_instance->window, MSG_PASV_SOCKET, passive, FD_ACCEPT); };

    service_calls.calls.clear();
    failing_accept_state = {WSAEMFILE, 0};
    pasv_event();
    pasv_event();
    EXPECT_EQ(failing_accept_state.calls, 1) << "a paused passive listener is not asked";
    EXPECT_EQ(service_calls.calls, std::vector<std::string>{"select 0 1 1026 32"});
    EXPECT_TRUE(pump_until([] { return service_calls.calls.size() == 2; })) << "the retry timer resumes it";
    EXPECT_EQ(service_calls.calls.back(), "select 0 1 1026 40");
    server_stop();
}

namespace {

// The real accept, failing once with WSAEMFILE when asked to.
bool accept_fails_once = false;
SOCKET accept_out_of_descriptors_once(SOCKET listener, SOCKADDR* address, int* length) {
    if (!accept_fails_once) return host::os_winsock_accept(listener, address, length);
    accept_fails_once = false;
    WSASetLastError(WSAEMFILE);
    return INVALID_SOCKET;
}

SOCKET connect_to(uint16_t port) {
    SOCKET socket = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_port = static_cast<uint16_t>((port >> 8) | (port << 8));
    address.sin_addr.S_un.S_un_b.s_b1 = 127;
    address.sin_addr.S_un.S_un_b.s_b4 = 1;
    EXPECT_EQ(host::os_winsock_connect(socket, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)), 0);
    return socket;
}

std::vector<FtpClient*> server_clients() {
    std::vector<FtpClient*> clients;
    for (FtpClient* client = server_instance->clients_head; client; client = client->next) clients.push_back(client);
    return clients;
}

// Everything the server sent until it closed the connection.
std::string read_to_close(SOCKET socket) {
    std::string text;
    char bytes[512];
    int got;
    while ((got = host::network_recv(socket, bytes, sizeof(bytes))) > 0) text.append(bytes, static_cast<size_t>(got));
    return text;
}

}  // namespace

// Out of descriptors, an accept closes the client not logged on that was heard from least
// recently and takes the new connection; clients that logged on are never closed for it.
TEST(ServerServices, AcceptOutOfDescriptorsClosesTheLongestIdleClientNotLoggedOn) {
    WinsockUse winsock;
    PluginSession session({{"os_winsock_accept", reinterpret_cast<void*>(&accept_out_of_descriptors_once)}});
    ASSERT_TRUE(session.bound());
    settings.logging_enabled = 1;
    uint16_t port = free_port();
    ASSERT_EQ(apply("127.0.0.1", port), 1);
    // Logged on first, then two that never log on; the older of those two speaks last.
    SOCKET logged = connect_to(port);
    ASSERT_TRUE(pump_until([] { return server_clients().size() == 1; }));
    host::network_send(logged, "USER u\r\n", 8);
    SOCKET older = connect_to(port);
    SOCKET newer = connect_to(port);
    ASSERT_TRUE(pump_until([] {
        std::vector<FtpClient*> clients = server_clients();
        return clients.size() == 3 && clients[0]->login_state == LOGIN_LOGGED_ON && clients[1]->recv_drained &&
               clients[2]->recv_drained;
    }));
    host::network_send(older, "NOOP\r\n", 6);
    ASSERT_TRUE(pump_until([] { return server_clients()[1]->reply_head == nullptr && color_line_count("200 OK.\r\n") != 0; }));

    // The failed accept, the close and the second accept happen in one event: once the failure
    // has been met, the third client is the one that arrived (its record may reuse the closed one's
    // memory, so the closed client is told by its connection, which must have been ended).
    accept_fails_once = true;
    SOCKET arriving = connect_to(port);
    ASSERT_TRUE(pump_until([] { return !accept_fails_once && server_clients().size() == 3; }));
    EXPECT_EQ(read_to_close(newer), "220 Welcome to Sorrelwick SWP/FTP\r\n"
                                    "421 Closed for a new connection: idle before login.\r\n");
    std::vector<FtpClient*> clients = server_clients();
    EXPECT_EQ(clients[0]->login_state, LOGIN_LOGGED_ON);
    EXPECT_EQ(clients[1]->login_state, LOGIN_NONE);
    server_stop();
    for (SOCKET socket : {logged, older, newer, arriving}) host::os_winsock_closesocket(socket);
}
