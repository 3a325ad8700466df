// Translation between the Windows socket-address layouts and the system's. Only the POSIX side
// of the socket layer (win32/socket_*.cpp) includes it.
#pragma once

#include <sys/socket.h>

// The system's address family of a Windows one, or -1.
int family_to_posix(int family);
// The Windows family of a system one, or -1.
int family_from_posix(int family);

// A Windows SOCKADDR_IN or SOCKADDR_IN6 of `length` bytes as a system address.
// 0 or a Windows Sockets error (WSAEFAULT for a short or missing address, WSAEAFNOSUPPORT).
int address_to_posix(const void* address, int length, sockaddr_storage* out, socklen_t* out_length);
// A system address written in Windows layout to `address` (room `*length`, which receives the
// size used). 0 or WSAEFAULT when the room is too small.
int address_from_posix(const sockaddr_storage& in, void* address, int* length);
