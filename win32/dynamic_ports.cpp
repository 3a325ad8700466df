// The dynamic port range: where a bind to port 0 of a stream socket takes its port once a range is
// set, as Windows takes it from the machine's range. Without a range the system chooses.
//
// A cursor goes round the range, so that a port just given up is the last to be taken again, and
// each bind tries the ports from the cursor on until one binds. A port that only holds TIME_WAIT
// connections binds (the socket layer binds stream sockets with SO_REUSEADDR), as on Windows; a
// port with a live listener does not and is passed over. The system's own search for a free port
// walks every TIME_WAIT connection of the machine, which on a busy server costs milliseconds.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <random>

#include "win32/dynamic_ports.h"
#include "win32/socket_internal.h"

namespace {

struct DynamicPorts {
    std::mutex lock;
    uint16_t first = 0;  // 0: no range
    uint16_t last = 0;
    uint16_t cursor = 0;
};

DynamicPorts& dynamic_ports() {
    static DynamicPorts* ports = new DynamicPorts;
    return *ports;
}

uint16_t* port_field(sockaddr_storage* address) {
    // sin_port and sin6_port share the same offset.
    return &reinterpret_cast<sockaddr_in*>(address)->sin_port;
}

// 0 or the Windows error of a failed bind.
int bind_errno(int fd, sockaddr_storage* address, socklen_t length) {
    return ::bind(fd, reinterpret_cast<sockaddr*>(address), length) == 0 ? 0 : wsock_error_from_errno(errno);
}

}  // namespace

int wsock_set_dynamic_port_range(uint16_t first, uint16_t last) {
    if ((first == 0) != (last == 0) || first > last) {
        SetLastError(WSOCK_EINVAL);
        return -1;
    }
    DynamicPorts& ports = dynamic_ports();
    std::lock_guard<std::mutex> guard(ports.lock);
    ports.first = first;
    ports.last = last;
    // Processes that share a range start at different places, so they seldom meet on one port.
    std::random_device seed;
    ports.cursor = first == 0 ? 0 : static_cast<uint16_t>(first + seed() % (last - first + 1u));
    return 0;
}

int dynamic_ports_bind(int fd, sockaddr_storage* address, socklen_t length) {
    DynamicPorts& ports = dynamic_ports();
    std::lock_guard<std::mutex> guard(ports.lock);
    if (ports.first == 0) return bind_errno(fd, address, length);
    uint32_t count = ports.last - ports.first + 1u;
    for (uint32_t tried = 0; tried < count; tried++) {
        uint16_t port = ports.cursor;
        ports.cursor = port == ports.last ? ports.first : static_cast<uint16_t>(port + 1);
        *port_field(address) = htons(port);
        int error = bind_errno(fd, address, length);
        if (error != WSOCK_EADDRINUSE) return error;
    }
    // Every port of the range is taken, which Windows reports as a want of buffers.
    return WSOCK_ENOBUFS;
}
