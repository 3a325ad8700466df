// The Windows Sockets services, forwarded to the Win32 layer, and the peer-address text. While the
// server starts, the listening sockets and the failed calls are handed to the listen report.
#include <climits>
#include <cstring>

#include "host/listen_report.h"
#include "host/services.h"
#include "host/text_buffers.h"

namespace host {
namespace {

// "127.0.0.1:5000" or "[::1]:5000"; empty when the address is of no known family.
void format_address(Utf8Buf* buffer, const SOCKADDR_STORAGE& address) {
    char text[64] = "";
    if (address.ss_family == AF_INET) {
        const SOCKADDR_IN& v4 = reinterpret_cast<const SOCKADDR_IN&>(address);
        if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text)) != nullptr) {
            utf8_buf_printf(buffer, "%s:%u", text, static_cast<unsigned>(ntohs(v4.sin_port)));
            return;
        }
    } else if (address.ss_family == AF_INET6) {
        const SOCKADDR_IN6& v6 = reinterpret_cast<const SOCKADDR_IN6&>(address);
        if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text)) != nullptr) {
            utf8_buf_printf(buffer, "[%s]:%u", text, static_cast<unsigned>(ntohs(v6.sin6_port)));
            return;
        }
    }
    utf8_buf_copy_utf8_string(buffer, "");
}

std::string address_text(const SOCKADDR_STORAGE& address) {
    ScopedUtf8Buf text;
    format_address(text.get(), address);
    return text->text;
}

uint16_t address_port(const SOCKADDR_STORAGE& address) {
    return ntohs(reinterpret_cast<const SOCKADDR_IN&>(address).sin_port);  // the same offset in both layouts
}

SOCKADDR_STORAGE local_address(SOCKET socket) {
    SOCKADDR_STORAGE address = {};
    int length = sizeof(address);
    if (getsockname(socket, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) address.ss_family = AF_UNSPEC;
    return address;
}

// The address a client on this machine reaches a listener at: a wildcard stands for loopback.
std::string listener_url(const SOCKADDR_STORAGE& address) {
    constexpr uint8_t ANY[16] = {};
    std::string port = std::to_string(address_port(address));
    const SOCKADDR_IN6& v6 = reinterpret_cast<const SOCKADDR_IN6&>(address);
    const SOCKADDR_IN& v4 = reinterpret_cast<const SOCKADDR_IN&>(address);
    if (address.ss_family == AF_INET6 && std::memcmp(&v6.sin6_addr, ANY, sizeof v6.sin6_addr) == 0)
        return "ftp://[::1]:" + port + "/";
    if (address.ss_family == AF_INET && std::memcmp(&v4.sin_addr, ANY, sizeof v4.sin_addr) == 0)
        return "ftp://127.0.0.1:" + port + "/";
    return "ftp://" + address_text(address) + "/";
}

void watch_failure(ListenCall call, const SOCKADDR_STORAGE* address, int error) {
    ListenFailure failure = {call, "", "", "", 0, error};
    if (address != nullptr) {
        failure.address = address_text(*address);
        failure.port = address_port(*address);
    }
    listen_watch_note_failure(failure);
}

// A peer that vanished without a word is found within two minutes: after a minute without
// traffic a probe goes every 5 s, and ten unanswered ones end the connection (Windows sends ten
// whatever is asked); data left unacknowledged for 110 s ends it too.
constexpr uint32_t KEEPALIVE_IDLE_MS = 60000;
constexpr uint32_t KEEPALIVE_INTERVAL_MS = 5000;
constexpr int MAX_RETRANSMIT_SECONDS = 110;

int clamp_count(size_t count) { return count > INT_MAX ? INT_MAX : static_cast<int>(count); }

}  // namespace

int os_winsock_WSAStartup(WORD version, WSADATA* data) { return WSAStartup(version, data); }
int os_winsock_WSACleanup() { return WSACleanup(); }
int os_winsock_WSAGetLastError() { return WSAGetLastError(); }
int os_winsock_WSAAsyncSelect(SOCKET socket, HWND window, UINT message, long events) {
    return WSAAsyncSelect(socket, window, message, events);
}

// Watching must not change the error a caller reads next, so each watch keeps it.
SOCKET os_winsock_socket(int family, int type, int protocol) {
    SOCKET result = socket(family, type, protocol);
    if (result == INVALID_SOCKET && listen_watch_active()) {
        int error = WSAGetLastError();
        ListenFailure failure = {ListenCall::SOCKET, "", "", family == AF_INET6 ? "IPv6" : "IPv4", 0, error};
        listen_watch_note_failure(failure);
        WSASetLastError(error);
    }
    return result;
}

int os_winsock_bind(SOCKET socket, const SOCKADDR* address, int length) {
    int result = bind(socket, address, length);
    if (result != 0 && listen_watch_active()) {
        int error = WSAGetLastError();
        SOCKADDR_STORAGE copy = {};
        if (address != nullptr && length > 0)
            std::memcpy(&copy, address, length < static_cast<int>(sizeof copy) ? static_cast<size_t>(length) : sizeof copy);
        watch_failure(ListenCall::BIND, &copy, error);
        WSASetLastError(error);
    }
    return result;
}

int os_winsock_listen(SOCKET socket, int backlog) {
    int result = listen(socket, backlog);
    if (listen_watch_active()) {
        int error = WSAGetLastError();
        SOCKADDR_STORAGE address = local_address(socket);
        if (result == 0) listen_watch_note_listener(address_text(address), listener_url(address));
        else watch_failure(ListenCall::LISTEN, &address, error);
        WSASetLastError(error);
    }
    return result;
}

SOCKET os_winsock_accept(SOCKET socket, SOCKADDR* address, int* length) { return accept(socket, address, length); }
int os_winsock_connect(SOCKET socket, const SOCKADDR* address, int length) {
    return connect(socket, address, length);
}
int os_winsock_shutdown(SOCKET socket, int how) { return shutdown(socket, how); }
int os_winsock_closesocket(SOCKET socket) { return closesocket(socket); }
int os_winsock_getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result) {
    int error = getaddrinfo(node, service, hints, result);
    if (error != 0 && listen_watch_active()) {
        ListenFailure failure = {ListenCall::LOOKUP, node != nullptr ? node : "", service != nullptr ? service : "", "",
                                 0, error};
        listen_watch_note_failure(failure);
        WSASetLastError(error);
    }
    return error;
}
void os_winsock_freeaddrinfo(ADDRINFOA* list) { freeaddrinfo(list); }
int os_winsock_getpeername(SOCKET socket, SOCKADDR* address, int* length) {
    return getpeername(socket, address, length);
}
int os_winsock_getsockname(SOCKET socket, SOCKADDR* address, int* length) {
    return getsockname(socket, address, length);
}
uint16_t os_winsock_ntohs(uint16_t value) { return ntohs(value); }

int network_recv(SOCKET socket, void* bytes, size_t count) {
    return recv(socket, static_cast<char*>(bytes), clamp_count(count), 0);
}

int network_send(SOCKET socket, const void* bytes, size_t count) {
    return send(socket, static_cast<const char*>(bytes), clamp_count(count), 0);
}

int network_set_tcp_nodelay(SOCKET socket) {
    int on = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on)) == 0 ? 1 : 0;
}

// 1 when every part was set; each is tried even when one before it failed.
int network_set_keepalive(SOCKET socket) {
    int on = 1;
    bool set = setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on)) == 0;
    tcp_keepalive timers = {1, KEEPALIVE_IDLE_MS, KEEPALIVE_INTERVAL_MS};
    DWORD returned = 0;
    set = WSAIoctl(socket, SIO_KEEPALIVE_VALS, &timers, sizeof(timers), nullptr, 0, &returned, nullptr, nullptr) == 0 &&
          set;
    int seconds = MAX_RETRANSMIT_SECONDS;
    set = setsockopt(socket, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&seconds), sizeof(seconds)) == 0 &&
          set;
    return set ? 1 : 0;
}

void utf8_buf_format_peername(Utf8Buf* buffer, SOCKET socket) {
    SOCKADDR_STORAGE address = {};
    int length = sizeof(address);
    if (getpeername(socket, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) address.ss_family = AF_UNSPEC;
    format_address(buffer, address);
}

}  // namespace host

