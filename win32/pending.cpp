// First versions of the calls that are not built yet: each one fails.
#include "win32/winsock.h"

int WSAStartup(WORD, WSADATA*) { return WSASYSNOTREADY; }
int WSACleanup() { return 0; }
int WSAGetLastError() { return WSANOTINITIALISED; }
void WSASetLastError(int) {}
int WSAAsyncSelect(SOCKET, HWND, UINT, long) { return SOCKET_ERROR; }
SOCKET socket(int, int, int) { return INVALID_SOCKET; }
int bind(SOCKET, const SOCKADDR*, int) { return SOCKET_ERROR; }
int listen(SOCKET, int) { return SOCKET_ERROR; }
SOCKET accept(SOCKET, SOCKADDR*, int*) { return INVALID_SOCKET; }
int connect(SOCKET, const SOCKADDR*, int) { return SOCKET_ERROR; }
int shutdown(SOCKET, int) { return SOCKET_ERROR; }
int closesocket(SOCKET) { return SOCKET_ERROR; }
int recv(SOCKET, char*, int, int) { return SOCKET_ERROR; }
int send(SOCKET, const char*, int, int) { return SOCKET_ERROR; }
int getsockname(SOCKET, SOCKADDR*, int*) { return SOCKET_ERROR; }
int getpeername(SOCKET, SOCKADDR*, int*) { return SOCKET_ERROR; }
int setsockopt(SOCKET, int, int, const char*, int) { return SOCKET_ERROR; }
int getsockopt(SOCKET, int, int, char*, int*) { return SOCKET_ERROR; }
int ioctlsocket(SOCKET, long, unsigned long*) { return SOCKET_ERROR; }
int getaddrinfo(const char*, const char*, const ADDRINFOA*, ADDRINFOA** result) { *result = nullptr; return WSANO_RECOVERY; }
void freeaddrinfo(ADDRINFOA*) {}
int inet_pton(int, const char*, void*) { return -1; }
const char* inet_ntop(int, const void*, char*, size_t) { return nullptr; }
uint16_t htons(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }
uint16_t ntohs(uint16_t value) { return htons(value); }
uint32_t htonl(uint32_t value) { return __builtin_bswap32(value); }
uint32_t ntohl(uint32_t value) { return __builtin_bswap32(value); }
void socket_events_ready(uint64_t, uint32_t) {}
