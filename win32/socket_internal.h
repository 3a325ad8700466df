// The Windows Sockets calls under other names, with Windows numbers and layouts, for the two sides
// of the socket layer: winsock.cpp implements the Windows names over these, and the files that
// include the system's socket headers implement these. Neither side sees the other's headers.
// Each call returns what its Windows namesake returns and leaves the error for WSAGetLastError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win32/win32.h"

// Windows numbers the POSIX side works with; winsock.cpp checks each against winsock.h.
constexpr int WSOCK_AF_UNSPEC = 0;
constexpr int WSOCK_AF_INET = 2;
constexpr int WSOCK_AF_INET6 = 23;
constexpr int WSOCK_SOCK_STREAM = 1;
constexpr int WSOCK_SOCK_DGRAM = 2;
constexpr int WSOCK_SOL_SOCKET = 0xffff;
constexpr int WSOCK_SO_REUSEADDR = 0x0004;
constexpr int WSOCK_SO_KEEPALIVE = 0x0008;
constexpr int WSOCK_SO_SNDBUF = 0x1001;
constexpr int WSOCK_SO_RCVBUF = 0x1002;
constexpr int WSOCK_SO_ERROR = 0x1007;
constexpr int WSOCK_IPPROTO_TCP = 6;
constexpr int WSOCK_TCP_NODELAY = 0x0001;
constexpr int WSOCK_TCP_KEEPIDLE = 3;
constexpr int WSOCK_TCP_MAXRT = 5;
constexpr int WSOCK_TCP_MAXRTMS = 14;
constexpr int WSOCK_TCP_KEEPCNT = 16;
constexpr int WSOCK_TCP_KEEPINTVL = 17;
constexpr uint32_t WSOCK_SIO_KEEPALIVE_VALS = 0x98000004u;
constexpr long WSOCK_FIONBIO = static_cast<long>(0x8004667Eu);
constexpr long WSOCK_FIONREAD = 0x4004667F;
constexpr int WSOCK_MSG_OOB = 0x1;
constexpr int WSOCK_MSG_PEEK = 0x2;
constexpr int WSOCK_MSG_WAITALL = 0x8;

constexpr uint32_t WSOCK_FD_READ = 0x01;
constexpr uint32_t WSOCK_FD_WRITE = 0x02;
constexpr uint32_t WSOCK_FD_ACCEPT = 0x08;
constexpr uint32_t WSOCK_FD_CONNECT = 0x10;
constexpr uint32_t WSOCK_FD_CLOSE = 0x20;

constexpr int WSOCK_EINTR = 10004;
constexpr int WSOCK_EBADF = 10009;
constexpr int WSOCK_EACCES = 10013;
constexpr int WSOCK_EFAULT = 10014;
constexpr int WSOCK_EINVAL = 10022;
constexpr int WSOCK_EMFILE = 10024;
constexpr int WSOCK_EWOULDBLOCK = 10035;
constexpr int WSOCK_EALREADY = 10037;
constexpr int WSOCK_ENOTSOCK = 10038;
constexpr int WSOCK_EDESTADDRREQ = 10039;
constexpr int WSOCK_EMSGSIZE = 10040;
constexpr int WSOCK_EPROTOTYPE = 10041;
constexpr int WSOCK_ENOPROTOOPT = 10042;
constexpr int WSOCK_EPROTONOSUPPORT = 10043;
constexpr int WSOCK_ESOCKTNOSUPPORT = 10044;
constexpr int WSOCK_EOPNOTSUPP = 10045;
constexpr int WSOCK_EAFNOSUPPORT = 10047;
constexpr int WSOCK_EADDRINUSE = 10048;
constexpr int WSOCK_EADDRNOTAVAIL = 10049;
constexpr int WSOCK_ENETDOWN = 10050;
constexpr int WSOCK_ENETUNREACH = 10051;
constexpr int WSOCK_ENETRESET = 10052;
constexpr int WSOCK_ECONNABORTED = 10053;
constexpr int WSOCK_ECONNRESET = 10054;
constexpr int WSOCK_ENOBUFS = 10055;
constexpr int WSOCK_EISCONN = 10056;
constexpr int WSOCK_ENOTCONN = 10057;
constexpr int WSOCK_ESHUTDOWN = 10058;
constexpr int WSOCK_ETIMEDOUT = 10060;
constexpr int WSOCK_ECONNREFUSED = 10061;
constexpr int WSOCK_EHOSTDOWN = 10064;
constexpr int WSOCK_EHOSTUNREACH = 10065;
constexpr int WSOCK_TYPE_NOT_FOUND = 10109;
constexpr int WSOCK_HOST_NOT_FOUND = 11001;
constexpr int WSOCK_TRY_AGAIN = 11002;
constexpr int WSOCK_NO_RECOVERY = 11003;
constexpr int WSOCK_NO_DATA = 11004;

// The Windows address layouts (SOCKADDR_IN, SOCKADDR_IN6), by byte offset.
constexpr int WSOCK_V4_LENGTH = 16;
constexpr int WSOCK_V4_ADDR = 4;
constexpr int WSOCK_V6_LENGTH = 28;
constexpr int WSOCK_V6_FLOWINFO = 4;
constexpr int WSOCK_V6_ADDR = 8;
constexpr int WSOCK_V6_SCOPE = 24;
constexpr int WSOCK_PORT = 2;

constexpr uintptr_t WSOCK_INVALID = ~static_cast<uintptr_t>(0);

// The Windows error of an errno value.
int wsock_error_from_errno(int error_number);

uintptr_t wsock_socket(int family, int type, int protocol);
int wsock_bind(uintptr_t socket, const void* address, int length);
int wsock_listen(uintptr_t socket, int backlog);
uintptr_t wsock_accept(uintptr_t socket, void* address, int* length);
int wsock_connect(uintptr_t socket, const void* address, int length);
int wsock_shutdown(uintptr_t socket, int how);
int wsock_close(uintptr_t socket);
int wsock_recv(uintptr_t socket, char* buffer, int length, int flags);
int wsock_send(uintptr_t socket, const char* buffer, int length, int flags);
int wsock_getsockname(uintptr_t socket, void* address, int* length);
int wsock_getpeername(uintptr_t socket, void* address, int* length);
int wsock_setsockopt(uintptr_t socket, int level, int option, const char* value, int length);
int wsock_getsockopt(uintptr_t socket, int level, int option, char* value, int* length);
int wsock_ioctl(uintptr_t socket, long command, unsigned long* argument);
// SIO_KEEPALIVE_VALS: keep-alive on or off, the idle time before the first probe and the time
// between probes, in milliseconds; ten unanswered probes end the connection, as on Windows.
int wsock_set_keepalive_values(uintptr_t socket, uint32_t on, uint32_t idle_ms, uint32_t interval_ms);
int wsock_async_select(uintptr_t socket, HWND window, UINT message, long events);
// The range that binds to port 0 take their ports from; 0 and 0 gives the choice back to the
// system. 0, or -1 with WSOCK_EINVAL for a range that is empty or half given.
int wsock_set_dynamic_port_range(uint16_t first, uint16_t last);

// One address of a name resolution, in Windows numbers and layout.
struct WsockResolved {
    int family;
    int socktype;
    int protocol;
    int address_length;
    unsigned char address[WSOCK_V6_LENGTH];
    std::string canonical_name;  // on the first entry, when asked for
};

// Resolves like getaddrinfo; hints in Windows numbers (flags, family, socktype, protocol).
// 0 or a Windows Sockets error code.
int wsock_resolve(const char* node, const char* service, int flags, int family, int socktype, int protocol,
                  std::vector<WsockResolved>* results);
int wsock_inet_pton(int family, const char* text, void* address);
const char* wsock_inet_ntop(int family, const void* address, char* text, size_t size);
