#include "socket_test_support.h"

#include <filesystem>

namespace win32_test {

namespace {

LRESULT recording_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= WM_USER)
        recorded_events().push_back(
            {message, static_cast<SOCKET>(wparam), WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam)});
    return DefWindowProcW(window, message, wparam, lparam);
}

void pump_pending() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

}  // namespace

std::vector<SocketEvent>& recorded_events() {
    static std::vector<SocketEvent> events;
    return events;
}

RecordingWindow::RecordingWindow() {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = recording_procedure;
    window_class.lpszClassName = "WIN32_TEST_RECORDER";
    RegisterClassExA(&window_class);
    window_ = CreateWindowExA(0, "WIN32_TEST_RECORDER", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    recorded_events().clear();
}

RecordingWindow::~RecordingWindow() {
    DestroyWindow(window_);
    pump_pending();
    recorded_events().clear();
}

bool pump_until(const std::function<bool()>& done, DWORD milliseconds) {
    uint64_t deadline = GetTickCount64() + milliseconds;
    for (;;) {
        pump_pending();
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(1);
    }
}

void pump_for(DWORD milliseconds) {
    pump_until([] { return false; }, milliseconds);
}

int count_events(SOCKET socket, WORD event) {
    int count = 0;
    for (const SocketEvent& seen : recorded_events())
        if (seen.socket == socket && seen.event == event) count++;
    return count;
}

SOCKADDR_IN loopback_v4(uint16_t port) {
    SOCKADDR_IN address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.S_un.S_un_b.s_b1 = 127;
    address.sin_addr.S_un.S_un_b.s_b4 = 1;
    return address;
}

SOCKADDR_IN6 loopback_v6(uint16_t port) {
    SOCKADDR_IN6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr.s6_addr[15] = 1;
    return address;
}

uint16_t local_port(SOCKET socket) {
    SOCKADDR_STORAGE name = {};
    int length = sizeof name;
    if (getsockname(socket, reinterpret_cast<SOCKADDR*>(&name), &length) != 0) return 0;
    return ntohs(reinterpret_cast<SOCKADDR_IN*>(&name)->sin_port);
}

int open_descriptor_count() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        count++;
    }
    return count;
}

SOCKET listen_loopback(uint16_t* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address = loopback_v4(0);
    EXPECT_EQ(bind(listener, reinterpret_cast<SOCKADDR*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 16), 0);
    *port = local_port(listener);
    return listener;
}

SOCKET connect_loopback(uint16_t port) {
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address = loopback_v4(port);
    EXPECT_EQ(connect(client, reinterpret_cast<SOCKADDR*>(&address), sizeof address), 0) << WSAGetLastError();
    return client;
}

}  // namespace win32_test
