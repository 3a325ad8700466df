#include "host/services.h"

namespace host {
int os_winsock_WSAStartup(WORD, WSADATA*) { return 0; }
int os_winsock_WSACleanup() { return 0; }
int os_winsock_WSAGetLastError() { return 0; }
int os_winsock_WSAAsyncSelect(SOCKET, HWND, UINT, long) { return 0; }
SOCKET os_winsock_socket(int, int, int) { return INVALID_SOCKET; }
int os_winsock_bind(SOCKET, const SOCKADDR*, int) { return -1; }
int os_winsock_listen(SOCKET, int) { return -1; }
SOCKET os_winsock_accept(SOCKET, SOCKADDR*, int*) { return INVALID_SOCKET; }
int os_winsock_connect(SOCKET, const SOCKADDR*, int) { return -1; }
int os_winsock_shutdown(SOCKET, int) { return -1; }
int os_winsock_closesocket(SOCKET) { return -1; }
int os_winsock_getaddrinfo(const char*, const char*, const ADDRINFOA*, ADDRINFOA**) { return -1; }
void os_winsock_freeaddrinfo(ADDRINFOA*) {}
int os_winsock_getpeername(SOCKET, SOCKADDR*, int*) { return -1; }
int os_winsock_getsockname(SOCKET, SOCKADDR*, int*) { return -1; }
uint16_t os_winsock_ntohs(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }
int network_recv(SOCKET, void*, size_t) { return -1; }
int network_send(SOCKET, const void*, size_t) { return -1; }
int network_set_tcp_nodelay(SOCKET) { return 0; }
int network_set_keepalive(SOCKET) { return 0; }
void utf8_buf_format_peername(Utf8Buf*, SOCKET) {}
}  // namespace host
