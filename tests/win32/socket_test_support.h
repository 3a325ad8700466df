// Helpers of the Win32 socket tests: loopback sockets, a window that records its socket events,
// and a message pump bounded in time.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "win32/winsock.h"

namespace win32_test {

constexpr UINT SOCKET_MESSAGE = WM_USER + 7;

struct SocketEvent {
    UINT message;
    SOCKET socket;
    WORD event;
    WORD error;
};

// Events seen by the recording window, in arrival order.
std::vector<SocketEvent>& recorded_events();

// A top-level window whose procedure appends every message of WM_USER and above to
// recorded_events(). Destroyed with the object.
class RecordingWindow {
public:
    RecordingWindow();
    ~RecordingWindow();
    HWND handle() const { return window_; }

private:
    HWND window_;
};

// Dispatches messages until `done` holds or `milliseconds` pass; whether `done` held.
bool pump_until(const std::function<bool()>& done, DWORD milliseconds = 5000);
// Dispatches every message that arrives within `milliseconds` (for checking that none comes).
void pump_for(DWORD milliseconds);

// How many recorded events of the kind for the socket.
int count_events(SOCKET socket, WORD event);

SOCKADDR_IN loopback_v4(uint16_t port);
SOCKADDR_IN6 loopback_v6(uint16_t port);
uint16_t local_port(SOCKET socket);

// How many descriptors the process has open, for checking that a test group left none behind.
int open_descriptor_count();

// A listening socket on 127.0.0.1 with a port the system chose.
SOCKET listen_loopback(uint16_t* port);
// A blocking client connected to 127.0.0.1:port.
SOCKET connect_loopback(uint16_t port);

}  // namespace win32_test
