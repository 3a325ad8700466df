// The Windows Sockets services, forwarded to the Win32 layer, and the peer-address text.
#include "host/socket_services.h"

#include <atomic>
#include <climits>
#include <cstdio>

#include "host/services.h"
#include "host/text_buffers.h"

namespace host {
namespace {

std::atomic<bool> announce_listeners{false};
std::atomic<int> listen_count{0};

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

void announce_listener(SOCKET socket) {
    SOCKADDR_STORAGE address = {};
    int length = sizeof(address);
    if (getsockname(socket, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) return;
    ScopedUtf8Buf text;
    format_address(text.get(), address);
    std::fprintf(stderr, "swp-host: listening on %s\n", text->text);
    std::fflush(stderr);
}

int clamp_count(size_t count) { return count > INT_MAX ? INT_MAX : static_cast<int>(count); }

}  // namespace

void sockets_announce_listeners(bool on) { announce_listeners = on; }
int sockets_listen_count() { return listen_count; }

int os_winsock_WSAStartup(WORD version, WSADATA* data) { return WSAStartup(version, data); }
int os_winsock_WSACleanup() { return WSACleanup(); }
int os_winsock_WSAGetLastError() { return WSAGetLastError(); }
int os_winsock_WSAAsyncSelect(SOCKET socket, HWND window, UINT message, long events) {
    return WSAAsyncSelect(socket, window, message, events);
}
SOCKET os_winsock_socket(int family, int type, int protocol) { return socket(family, type, protocol); }
int os_winsock_bind(SOCKET socket, const SOCKADDR* address, int length) { return bind(socket, address, length); }

int os_winsock_listen(SOCKET socket, int backlog) {
    int result = listen(socket, backlog);
    if (result == 0) {
        ++listen_count;
        if (announce_listeners) {
            // Announcing must not change the error a caller reads next.
            int error = WSAGetLastError();
            announce_listener(socket);
            WSASetLastError(error);
        }
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
    return getaddrinfo(node, service, hints, result);
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

int network_set_keepalive(SOCKET socket) {
    int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on)) == 0 ? 1 : 0;
}

void utf8_buf_format_peername(Utf8Buf* buffer, SOCKET socket) {
    SOCKADDR_STORAGE address = {};
    int length = sizeof(address);
    if (getpeername(socket, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) address.ss_family = AF_UNSPEC;
    format_address(buffer, address);
}

}  // namespace host

