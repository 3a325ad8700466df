// The part of Windows Sockets that the host calls, with Windows numbering and layouts: address
// families 2 and 23, the Windows sockaddr layouts, error codes from 10000 up through
// WSAGetLastError, and WSAAsyncSelect delivering socket events as window messages.
// Never include this together with the system's socket headers: the names are Windows'.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32/win32.h"

// A handle, not a descriptor number; a closed handle is not reused while a message may still name it.
using SOCKET = uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int AI_PASSIVE = 0x1;
constexpr int AI_CANONNAME = 0x2;
constexpr int AI_NUMERICHOST = 0x4;
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
constexpr int SOMAXCONN = 0x7fffffff;
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int TCP_NODELAY = 0x0001;
constexpr int TCP_KEEPALIVE = 3;  // seconds of idleness before the first keep-alive probe
constexpr int TCP_KEEPIDLE = TCP_KEEPALIVE;
constexpr int TCP_MAXRT = 5;      // seconds that unacknowledged data is retransmitted before the connection ends
constexpr int TCP_MAXRTMS = 14;   // the same in milliseconds
constexpr int TCP_KEEPCNT = 16;   // unanswered probes that end the connection
constexpr int TCP_KEEPINTVL = 17; // seconds between probes
constexpr long FIONBIO = static_cast<long>(0x8004667Eu);
constexpr long FIONREAD = 0x4004667F;

// Events of WSAAsyncSelect; lParam carries the event in its low word and an error in its high word.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
inline WORD WSAGETSELECTEVENT(LPARAM lparam) { return LOWORD(static_cast<uintptr_t>(lparam)); }
inline WORD WSAGETSELECTERROR(LPARAM lparam) { return HIWORD(static_cast<uintptr_t>(lparam)); }
inline LPARAM WSAMAKESELECTREPLY(WORD event, WORD error) {
    return static_cast<LPARAM>(static_cast<uint32_t>(event) | (static_cast<uint32_t>(error) << 16));
}

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct SOCKADDR {
    uint16_t sa_family;
    char sa_data[14];
};

// Addresses in network byte order, with Windows' unions and member names.
struct IN_ADDR {
    union {
        struct {
            uint8_t s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            uint16_t s_w1, s_w2;
        } S_un_w;
        uint32_t S_addr;
    } S_un;
};
#define s_addr S_un.S_addr
static_assert(sizeof(IN_ADDR) == 4);

struct IN6_ADDR {
    union {
        uint8_t Byte[16];
        uint16_t Word[8];
    } u;
};
#define s6_addr u.Byte
static_assert(sizeof(IN6_ADDR) == 16);

struct SOCKADDR_IN {
    uint16_t sin_family;
    uint16_t sin_port;  // network byte order
    IN_ADDR sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct SOCKADDR_IN6 {
    uint16_t sin6_family;
    uint16_t sin6_port;
    uint32_t sin6_flowinfo;
    IN6_ADDR sin6_addr;
    uint32_t sin6_scope_id;
};
static_assert(sizeof(SOCKADDR_IN6) == 28);

struct SOCKADDR_STORAGE {
    uint16_t ss_family;
    char ss_pad1[6];
    int64_t ss_align;
    char ss_pad2[112];
};
static_assert(sizeof(SOCKADDR_STORAGE) == 128);

// Windows field order (ai_canonname before ai_addr).
struct ADDRINFOA {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char* ai_canonname;
    SOCKADDR* ai_addr;
    ADDRINFOA* ai_next;
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[257];
    char szSystemStatus[129];
};

// The input of WSAIoctl's SIO_KEEPALIVE_VALS; times in milliseconds.
struct tcp_keepalive {
    uint32_t onoff;
    uint32_t keepalivetime;
    uint32_t keepaliveinterval;
};
static_assert(sizeof(tcp_keepalive) == 12);
constexpr DWORD SIO_KEEPALIVE_VALS = 0x98000004u;

using WSAOVERLAPPED = OVERLAPPED;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD bytes, WSAOVERLAPPED* overlapped, DWORD flags);

inline WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

int WSAStartup(WORD version_requested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// Registers for the events in `events` (0 cancels) and makes the socket non-blocking.
int WSAAsyncSelect(SOCKET socket, HWND window, UINT message, long events);

SOCKET socket(int family, int type, int protocol);
int bind(SOCKET socket, const SOCKADDR* address, int length);
int listen(SOCKET socket, int backlog);
SOCKET accept(SOCKET socket, SOCKADDR* address, int* length);
int connect(SOCKET socket, const SOCKADDR* address, int length);
int shutdown(SOCKET socket, int how);
int closesocket(SOCKET socket);
int recv(SOCKET socket, char* buffer, int length, int flags);
int send(SOCKET socket, const char* buffer, int length, int flags);
int getsockname(SOCKET socket, SOCKADDR* address, int* length);
int getpeername(SOCKET socket, SOCKADDR* address, int* length);
int setsockopt(SOCKET socket, int level, int option, const char* value, int length);
int getsockopt(SOCKET socket, int level, int option, char* value, int* length);
int ioctlsocket(SOCKET socket, long command, unsigned long* argument);
// Only SIO_KEEPALIVE_VALS, without overlapped operation: keep-alive on or off with its idle time
// and probe interval; ten unanswered probes end the connection. Others fail with WSAEINVAL.
int WSAIoctl(SOCKET socket, DWORD code, void* input, DWORD input_length, void* output, DWORD output_length,
             DWORD* returned, WSAOVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
// Not a Windows Sockets call: it stands for the machine's dynamic port range, which Windows keeps
// for every process (netsh int ipv4 set dynamicport). Once set, a bind of a stream socket to port 0
// takes the next free port of [first, last], going round from a cursor, and fails with WSAENOBUFS
// when every port is taken; a port that only holds TIME_WAIT connections is free. 0 and 0 gives
// the choice back to the system. 0, or SOCKET_ERROR with WSAEINVAL for a range that cannot be.
int WSASetDynamicPortRange(uint16_t first, uint16_t last);
// Returns 0 or a Windows Sockets error code (WSAHOST_NOT_FOUND, ...).
int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result);
void freeaddrinfo(ADDRINFOA* list);
int inet_pton(int family, const char* text, void* address);
const char* inet_ntop(int family, const void* address, char* text, size_t size);
uint16_t htons(uint16_t value);
uint16_t ntohs(uint16_t value);
uint32_t htonl(uint32_t value);
uint32_t ntohl(uint32_t value);
