// The Windows Sockets names, over the calls of socket_internal.h. This file sees winsock.h and
// no system socket header; the numbers both sides share are checked against winsock.h here.
#include <atomic>
#include <cstring>
#include <new>

#include "win32/socket_internal.h"
#include "win32/winsock.h"

static_assert(WSOCK_AF_INET == AF_INET && WSOCK_AF_INET6 == AF_INET6 && WSOCK_AF_UNSPEC == AF_UNSPEC);
static_assert(WSOCK_SOCK_STREAM == SOCK_STREAM && WSOCK_SOCK_DGRAM == SOCK_DGRAM);
static_assert(WSOCK_SOL_SOCKET == SOL_SOCKET && WSOCK_SO_REUSEADDR == SO_REUSEADDR);
static_assert(WSOCK_SO_KEEPALIVE == SO_KEEPALIVE && WSOCK_SO_SNDBUF == SO_SNDBUF && WSOCK_SO_RCVBUF == SO_RCVBUF);
static_assert(WSOCK_SO_ERROR == SO_ERROR && WSOCK_IPPROTO_TCP == IPPROTO_TCP && WSOCK_TCP_NODELAY == TCP_NODELAY);
static_assert(WSOCK_FIONBIO == FIONBIO && WSOCK_SIO_KEEPALIVE_VALS == SIO_KEEPALIVE_VALS);
static_assert(WSOCK_TCP_KEEPIDLE == TCP_KEEPIDLE && WSOCK_TCP_KEEPINTVL == TCP_KEEPINTVL);
static_assert(WSOCK_TCP_KEEPCNT == TCP_KEEPCNT && WSOCK_TCP_MAXRT == TCP_MAXRT && WSOCK_TCP_MAXRTMS == TCP_MAXRTMS);
static_assert(WSOCK_FD_READ == FD_READ && WSOCK_FD_WRITE == FD_WRITE && WSOCK_FD_ACCEPT == FD_ACCEPT);
static_assert(WSOCK_FD_CONNECT == FD_CONNECT && WSOCK_FD_CLOSE == FD_CLOSE);
static_assert(WSOCK_EINTR == WSAEINTR && WSOCK_EBADF == WSAEBADF && WSOCK_EACCES == WSAEACCES);
static_assert(WSOCK_EFAULT == WSAEFAULT && WSOCK_EINVAL == WSAEINVAL && WSOCK_EMFILE == WSAEMFILE);
static_assert(WSOCK_EWOULDBLOCK == WSAEWOULDBLOCK && WSOCK_EALREADY == WSAEALREADY);
static_assert(WSOCK_ENOTSOCK == WSAENOTSOCK && WSOCK_EDESTADDRREQ == WSAEDESTADDRREQ);
static_assert(WSOCK_EMSGSIZE == WSAEMSGSIZE && WSOCK_EPROTOTYPE == WSAEPROTOTYPE);
static_assert(WSOCK_ENOPROTOOPT == WSAENOPROTOOPT && WSOCK_EPROTONOSUPPORT == WSAEPROTONOSUPPORT);
static_assert(WSOCK_ESOCKTNOSUPPORT == WSAESOCKTNOSUPPORT && WSOCK_EOPNOTSUPP == WSAEOPNOTSUPP);
static_assert(WSOCK_EAFNOSUPPORT == WSAEAFNOSUPPORT && WSOCK_EADDRINUSE == WSAEADDRINUSE);
static_assert(WSOCK_EADDRNOTAVAIL == WSAEADDRNOTAVAIL && WSOCK_ENETDOWN == WSAENETDOWN);
static_assert(WSOCK_ENETUNREACH == WSAENETUNREACH && WSOCK_ENETRESET == WSAENETRESET);
static_assert(WSOCK_ECONNABORTED == WSAECONNABORTED && WSOCK_ECONNRESET == WSAECONNRESET);
static_assert(WSOCK_ENOBUFS == WSAENOBUFS && WSOCK_EISCONN == WSAEISCONN && WSOCK_ENOTCONN == WSAENOTCONN);
static_assert(WSOCK_ESHUTDOWN == WSAESHUTDOWN && WSOCK_ETIMEDOUT == WSAETIMEDOUT);
static_assert(WSOCK_ECONNREFUSED == WSAECONNREFUSED && WSOCK_EHOSTDOWN == WSAEHOSTDOWN);
static_assert(WSOCK_EHOSTUNREACH == WSAEHOSTUNREACH && WSOCK_TYPE_NOT_FOUND == WSATYPE_NOT_FOUND);
static_assert(WSOCK_HOST_NOT_FOUND == WSAHOST_NOT_FOUND && WSOCK_TRY_AGAIN == WSATRY_AGAIN);
static_assert(WSOCK_NO_RECOVERY == WSANO_RECOVERY && WSOCK_NO_DATA == WSANO_DATA);
static_assert(WSOCK_INVALID == INVALID_SOCKET);
static_assert(WSOCK_V4_LENGTH == sizeof(SOCKADDR_IN) && WSOCK_V6_LENGTH == sizeof(SOCKADDR_IN6));
static_assert(WSOCK_PORT == offsetof(SOCKADDR_IN, sin_port) && WSOCK_PORT == offsetof(SOCKADDR_IN6, sin6_port));
static_assert(WSOCK_V4_ADDR == offsetof(SOCKADDR_IN, sin_addr));
static_assert(WSOCK_V6_FLOWINFO == offsetof(SOCKADDR_IN6, sin6_flowinfo));
static_assert(WSOCK_V6_ADDR == offsetof(SOCKADDR_IN6, sin6_addr));
static_assert(WSOCK_V6_SCOPE == offsetof(SOCKADDR_IN6, sin6_scope_id));

namespace {

constexpr WORD HIGHEST_VERSION = 0x0202;

// One entry of a getaddrinfo list with room for its address; freed by freeaddrinfo.
struct AddrInfoNode {
    ADDRINFOA info;
    SOCKADDR_STORAGE address;
};
static_assert(offsetof(AddrInfoNode, info) == 0);

std::atomic<int> startup_count{0};

ADDRINFOA* addrinfo_node(const WsockResolved& resolved, int flags) {
    auto* node = new (std::nothrow) AddrInfoNode();
    if (!node) return nullptr;
    node->info.ai_flags = flags;
    node->info.ai_family = resolved.family;
    node->info.ai_socktype = resolved.socktype;
    node->info.ai_protocol = resolved.protocol;
    node->info.ai_addrlen = static_cast<size_t>(resolved.address_length);
    std::memcpy(&node->address, resolved.address, static_cast<size_t>(resolved.address_length));
    node->info.ai_addr = reinterpret_cast<SOCKADDR*>(&node->address);
    if (!resolved.canonical_name.empty()) {
        node->info.ai_canonname = new (std::nothrow) char[resolved.canonical_name.size() + 1];
        if (node->info.ai_canonname)
            std::memcpy(node->info.ai_canonname, resolved.canonical_name.c_str(), resolved.canonical_name.size() + 1);
    }
    return &node->info;
}

uint16_t byte_swap_16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

}  // namespace

int WSAStartup(WORD version_requested, WSADATA* data) {
    if (!data) return WSAEFAULT;
    // Every version from 1.0 to 2.2 is granted as asked; a later one gets 2.2.
    if ((version_requested & 0xFF) < 1) {
        data->wVersion = HIGHEST_VERSION;
        data->wHighVersion = HIGHEST_VERSION;
        return WSAVERNOTSUPPORTED;
    }
    bool above_highest = (version_requested & 0xFF) > 2 || ((version_requested & 0xFF) == 2 && (version_requested >> 8) > 2);
    std::memset(data, 0, sizeof *data);
    data->wVersion = above_highest ? HIGHEST_VERSION : version_requested;
    data->wHighVersion = HIGHEST_VERSION;
    std::strcpy(data->szDescription, "Windows Sockets over BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
    startup_count++;
    return 0;
}

int WSACleanup() {
    int count = startup_count.load();
    while (count > 0 && !startup_count.compare_exchange_weak(count, count - 1)) {
    }
    if (count > 0) return 0;
    WSASetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
}

// The same per-thread error as GetLastError, as on Windows.
int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

int WSAAsyncSelect(SOCKET socket, HWND window, UINT message, long events) {
    return wsock_async_select(socket, window, message, events);
}

SOCKET socket(int family, int type, int protocol) { return wsock_socket(family, type, protocol); }

int bind(SOCKET socket, const SOCKADDR* address, int length) { return wsock_bind(socket, address, length); }

int WSASetDynamicPortRange(uint16_t first, uint16_t last) { return wsock_set_dynamic_port_range(first, last); }

int listen(SOCKET socket, int backlog) { return wsock_listen(socket, backlog); }

SOCKET accept(SOCKET socket, SOCKADDR* address, int* length) { return wsock_accept(socket, address, length); }

int connect(SOCKET socket, const SOCKADDR* address, int length) { return wsock_connect(socket, address, length); }

int shutdown(SOCKET socket, int how) { return wsock_shutdown(socket, how); }

int closesocket(SOCKET socket) { return wsock_close(socket); }

int recv(SOCKET socket, char* buffer, int length, int flags) { return wsock_recv(socket, buffer, length, flags); }

int send(SOCKET socket, const char* buffer, int length, int flags) { return wsock_send(socket, buffer, length, flags); }

int getsockname(SOCKET socket, SOCKADDR* address, int* length) { return wsock_getsockname(socket, address, length); }

int getpeername(SOCKET socket, SOCKADDR* address, int* length) { return wsock_getpeername(socket, address, length); }

int setsockopt(SOCKET socket, int level, int option, const char* value, int length) {
    return wsock_setsockopt(socket, level, option, value, length);
}

int getsockopt(SOCKET socket, int level, int option, char* value, int* length) {
    return wsock_getsockopt(socket, level, option, value, length);
}

int ioctlsocket(SOCKET socket, long command, unsigned long* argument) {
    return wsock_ioctl(socket, command, argument);
}

int WSAIoctl(SOCKET socket, DWORD code, void* input, DWORD input_length, void*, DWORD, DWORD* returned,
             WSAOVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    if (code != SIO_KEEPALIVE_VALS || overlapped || completion) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!input || input_length < sizeof(tcp_keepalive)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    tcp_keepalive values;
    std::memcpy(&values, input, sizeof values);
    if (wsock_set_keepalive_values(socket, values.onoff, values.keepalivetime, values.keepaliveinterval) != 0)
        return SOCKET_ERROR;
    if (returned) *returned = 0;
    return 0;
}

int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result) {
    if (!result) return WSAEINVAL;
    *result = nullptr;
    ADDRINFOA no_hints = {};
    const ADDRINFOA& asked = hints ? *hints : no_hints;
    std::vector<WsockResolved> resolved;
    int error = wsock_resolve(node, service, asked.ai_flags, asked.ai_family, asked.ai_socktype, asked.ai_protocol,
                              &resolved);
    ADDRINFOA** tail = result;
    for (size_t i = 0; error == 0 && i < resolved.size(); i++) {
        *tail = addrinfo_node(resolved[i], asked.ai_flags);
        if (!*tail) error = static_cast<int>(ERROR_NOT_ENOUGH_MEMORY);
        else tail = &(*tail)->ai_next;
    }
    if (error) {
        freeaddrinfo(*result);
        *result = nullptr;
    }
    WSASetLastError(error);
    return error;
}

void freeaddrinfo(ADDRINFOA* list) {
    while (list) {
        ADDRINFOA* next = list->ai_next;
        delete[] list->ai_canonname;
        delete reinterpret_cast<AddrInfoNode*>(list);
        list = next;
    }
}

int inet_pton(int family, const char* text, void* address) { return wsock_inet_pton(family, text, address); }

const char* inet_ntop(int family, const void* address, char* text, size_t size) {
    return wsock_inet_ntop(family, address, text, size);
}

uint16_t htons(uint16_t value) { return byte_swap_16(value); }

uint16_t ntohs(uint16_t value) { return byte_swap_16(value); }

uint32_t htonl(uint32_t value) { return __builtin_bswap32(value); }

uint32_t ntohl(uint32_t value) { return __builtin_bswap32(value); }
