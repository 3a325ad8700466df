// The dynamic port range that binds to port 0 take their ports from (dynamic_ports.cpp). Only the
// POSIX side of the socket layer includes it.
#pragma once

#include <sys/socket.h>

// Binds a stream socket to `address`, whose port is 0: to the next free port of the range when
// one is set, else to the port the system chooses. 0 or a Windows Sockets error.
int dynamic_ports_bind(int fd, sockaddr_storage* address, socklen_t length);
