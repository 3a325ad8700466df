#include "tests/plugin/client_fixture.h"

#include <algorithm>
#include <cstring>

#include "ftp/dispatcher.h"
#include "server/server_window.h"

using namespace test_support;

namespace client_test {

namespace {

int fake_recv(SOCKET socket, void* bytes, size_t count) {
    ScriptedSocket& s = scripted();
    s.recv_calls++;
    if (socket != SCRIPTED_SOCKET) {
        s.last_error = WSAENOTSOCK;
        return -1;
    }
    if (s.incoming.empty()) {
        if (s.peer_closed) {
            s.last_error = 0;
            return 0;
        }
        s.last_error = s.recv_error ? s.recv_error : WSAEWOULDBLOCK;
        return -1;
    }
    std::string& segment = s.incoming.front();
    size_t n = std::min(count, segment.size());
    std::memcpy(bytes, segment.data(), n);
    segment.erase(0, n);
    if (segment.empty()) s.incoming.pop_front();
    s.last_error = 0;
    return static_cast<int>(n);
}

int fake_send(SOCKET socket, const void* bytes, size_t count) {
    ScriptedSocket& s = scripted();
    s.send_calls++;
    if (socket != SCRIPTED_SOCKET) {
        s.last_error = WSAENOTSOCK;
        return -1;
    }
    if (s.send_returns_zero) {
        s.last_error = 0;
        return 0;
    }
    size_t n = std::min({count, s.send_room, s.send_piece});
    if (n == 0) {
        s.last_error = WSAEWOULDBLOCK;
        return -1;
    }
    s.sent.append(static_cast<const char*>(bytes), n);
    if (s.send_room != SIZE_MAX) s.send_room -= n;
    s.last_error = 0;
    return static_cast<int>(n);
}

int fake_last_error() { return scripted().last_error; }

int fake_shutdown(SOCKET, int how) {
    EXPECT_EQ(how, SD_SEND);
    scripted().shutdowns++;
    return 0;
}

int fake_closesocket(SOCKET socket) {
    EXPECT_EQ(socket, SCRIPTED_SOCKET);
    scripted().closes++;
    return 0;
}

int fill_address(SOCKADDR* address, int* length, int family) {
    std::memset(address, 0, static_cast<size_t>(*length));
    reinterpret_cast<SOCKADDR_STORAGE*>(address)->ss_family = static_cast<uint16_t>(family);
    return 0;
}

int fake_getpeername(SOCKET, SOCKADDR* address, int* length) {
    return fill_address(address, length, scripted().peer_family);
}

int fake_getsockname(SOCKET, SOCKADDR* address, int* length) {
    return fill_address(address, length, scripted().local_family);
}

int query_token;

SorrelwickDbQuery* fake_query_create(SorrelwickDb*, DbQueryCallback, void*) {
    return reinterpret_cast<SorrelwickDbQuery*>(&query_token);
}

void fake_query_destroy(SorrelwickDbQuery* query) {
    EXPECT_EQ(query, reinterpret_cast<SorrelwickDbQuery*>(&query_token));
}

}  // namespace

ScriptedSocket& scripted() {
    static ScriptedSocket socket;
    return socket;
}

void ClientTest::SetUp() {
    scripted() = ScriptedSocket{};
    lookup_reset();
    lookup_replace("network_recv", reinterpret_cast<void*>(&fake_recv));
    lookup_replace("network_send", reinterpret_cast<void*>(&fake_send));
    lookup_replace("os_winsock_WSAGetLastError", reinterpret_cast<void*>(&fake_last_error));
    lookup_replace("os_winsock_shutdown", reinterpret_cast<void*>(&fake_shutdown));
    lookup_replace("os_winsock_closesocket", reinterpret_cast<void*>(&fake_closesocket));
    lookup_replace("os_winsock_getpeername", reinterpret_cast<void*>(&fake_getpeername));
    lookup_replace("os_winsock_getsockname", reinterpret_cast<void*>(&fake_getsockname));
    lookup_replace("db_query_create", reinterpret_cast<void*>(&fake_query_create));
    lookup_replace("db_query_destroy", reinterpret_cast<void*>(&fake_query_destroy));
    ASSERT_EQ(host_services_bind(&lookup), 1);

    saved_settings_ = settings;
    log_name_ = "client-test.log";
    settings.logging_enabled = 1;
    settings.log_file_name = log_name_.data();
    settings.allow_ftp_port = 1;
    set_login("", "");
    welcome_.clear();
    settings.welcome_message = welcome_.data();
    server_instance = &server_;
    take_kicks();
}

void ClientTest::TearDown() {
    while (server_.clients_head) client_destroy(server_.clients_head);
    if (server_.log_stream) output_stream_close(server_.log_stream);
    server_instance = nullptr;
    settings = saved_settings_;
    take_kicks();
    // Every block the plug-in took was given back.
    std::lock_guard<std::mutex> guard(recording().lock);
    EXPECT_TRUE(recording().live_blocks.empty()) << recording().live_blocks.size() << " blocks left";
}

void ClientTest::set_login(const std::string& username, const std::string& password) {
    username_ = username;
    password_ = password;
    settings.username = username_.data();
    settings.password = password_.data();
}

FtpClient* ClientTest::connect() { return client_create(SCRIPTED_SOCKET); }

void ClientTest::drop(FtpClient* client) { client_destroy(client); }

bool ClientTest::control_event(FtpClient* client) {
    server_wndproc(server_.window, MSG_CONTROL_SOCKET, client->control_socket, 0);
    return alive(client);
}

std::string ClientTest::run(FtpClient* client, const std::string& line) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    client_execute(client, buffer.data());
    return flush(client);
}

std::string ClientTest::flush(FtpClient* client) {
    client_send(client);
    std::string sent;
    sent.swap(scripted().sent);
    return sent;
}

std::vector<std::string> ClientTest::logged() const {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> guard(recording().lock);
    for (const ColorLine& line : recording().color_lines) {
        if (line.color == LOG_COLOR) lines.push_back(log_line_message(line.text));
    }
    return lines;
}

size_t ClientTest::take_kicks() {
    size_t kicks = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == MSG_CONTROL_SOCKET && message.wParam == SCRIPTED_SOCKET && message.lParam == 0) kicks++;
    }
    // The kicks are gone, so no client waits for one any more.
    for (FtpClient* client = server_.clients_head; client; client = client->next) client->kick_pending = 0;
    return kicks;
}

bool ClientTest::alive(const FtpClient* client) const {
    for (FtpClient* c = server_.clients_head; c; c = c->next) {
        if (c == client) return true;
    }
    return false;
}

size_t ClientTest::run_kicks(FtpClient* client, size_t most) {
    size_t events = 0;
    while (events < most && take_kicks() != 0 && alive(client)) {
        events++;
        if (!control_event(client)) break;
    }
    return events;
}

std::vector<std::string> ClientTest::debug_lines() const {
    std::lock_guard<std::mutex> guard(recording().lock);
    return recording().debug_lines;
}

void ClientTest::clear_logged() {
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().color_lines.clear();
}

}  // namespace client_test
