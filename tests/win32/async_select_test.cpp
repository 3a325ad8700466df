// WSAAsyncSelect on real loopback sockets: which events come, how often, and what re-enables them.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "socket_test_support.h"
#include "tests/win32/thread_state.h"

using namespace win32_test;

namespace {

constexpr long LISTEN_EVENTS = FD_ACCEPT | FD_CLOSE;                        // 40
constexpr long CONTROL_EVENTS = FD_READ | FD_WRITE | FD_CLOSE;              // 35
constexpr long OUTGOING_EVENTS = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;  // 51
constexpr DWORD QUIET_MS = 150;  // how long an absent event is waited for

// Leaves the process no free descriptor until destroyed: `open` takes the lowest free number, so
// every number up to the one it returns is in use, and the limit goes down to just above it.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        last_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(last_ + 1);
        ::setrlimit(RLIMIT_NOFILE, &low);
    }
    ~DescriptorsExhausted() {
        ::setrlimit(RLIMIT_NOFILE, &saved_);
        ::close(last_);
    }

private:
    int last_ = -1;
    rlimit saved_{};
};

class AsyncSelectTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        descriptors_before_ = open_descriptor_count();
        listener_ = listen_loopback(&port_);
    }
    void TearDown() override {
        for (SOCKET socket : owned_) closesocket(socket);
        closesocket(listener_);
        EXPECT_EQ(open_descriptor_count(), descriptors_before_) << "a socket was left open";
        WSACleanup();
    }
    SOCKET own(SOCKET socket) {
        owned_.push_back(socket);
        return socket;
    }
    // A connected pair: `server` accepted (and selected with `events`), `client` blocking.
    void connected_pair(long events, SOCKET* server, SOCKET* client) {
        *client = own(connect_loopback(port_));
        *server = own(accept(listener_, nullptr, nullptr));
        ASSERT_NE(*server, INVALID_SOCKET);
        ASSERT_EQ(WSAAsyncSelect(*server, window_.handle(), SOCKET_MESSAGE, events), 0);
    }

    RecordingWindow window_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::vector<SOCKET> owned_;
    int descriptors_before_ = 0;
};

TEST_F(AsyncSelectTest, AcceptIsReenabledByAcceptOnly) {
    ASSERT_EQ(WSAAsyncSelect(listener_, window_.handle(), SOCKET_MESSAGE, LISTEN_EVENTS), 0);
    own(connect_loopback(port_));
    own(connect_loopback(port_));
    ASSERT_TRUE(pump_until([&] { return count_events(listener_, FD_ACCEPT) == 1; }));
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(listener_, FD_ACCEPT), 1) << "two pending connections, one event until accept";

    own(accept(listener_, nullptr, nullptr));
    ASSERT_TRUE(pump_until([&] { return count_events(listener_, FD_ACCEPT) == 2; }));
    own(accept(listener_, nullptr, nullptr));
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(listener_, FD_ACCEPT), 2) << "nothing pending after the second accept";

    // A listening socket that is non-blocking now reports an empty backlog as would-block.
    EXPECT_EQ(accept(listener_, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    for (const SocketEvent& seen : recorded_events()) EXPECT_EQ(seen.message, SOCKET_MESSAGE);
}

TEST_F(AsyncSelectTest, AcceptWithoutDescriptorsFailsWithEmfileAndIsReportedAgain) {
    ASSERT_EQ(WSAAsyncSelect(listener_, window_.handle(), SOCKET_MESSAGE, LISTEN_EVENTS), 0);
    own(connect_loopback(port_));
    ASSERT_TRUE(pump_until([&] { return count_events(listener_, FD_ACCEPT) == 1; }));
    {
        DescriptorsExhausted exhausted;
        EXPECT_EQ(accept(listener_, nullptr, nullptr), INVALID_SOCKET);
        EXPECT_EQ(WSAGetLastError(), WSAEMFILE);
        // The connection still waits, and the failed accept re-enabled FD_ACCEPT.
        EXPECT_TRUE(pump_until([&] { return count_events(listener_, FD_ACCEPT) == 2; }));
    }
    EXPECT_NE(own(accept(listener_, nullptr, nullptr)), INVALID_SOCKET);
}

TEST_F(AsyncSelectTest, ReadIsReenabledByRecvWhileDataRemains) {
    SOCKET server, client;
    connected_pair(CONTROL_EVENTS, &server, &client);
    ASSERT_EQ(send(client, "0123456789", 10, 0), 10);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_READ), 1) << "unread data gives one event until recv";

    char buffer[16];
    ASSERT_EQ(recv(server, buffer, 4, 0), 4);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 2; })) << "six bytes remain";
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 6);
    EXPECT_EQ(std::memcmp(buffer, "456789", 6), 0);
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_READ), 2) << "all read: no further event";

    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 3; }));
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 1) << "data after a recv that found nothing";

    // Data that comes while no message is pumped: counted by FIONREAD, then read by the next recv;
    // and a recv loop that never pumps still gets it.
    ASSERT_EQ(send(client, "yz", 2, 0), 2);
    u_long unread = 0;
    ASSERT_TRUE(wait_until([&] { return ioctlsocket(server, FIONREAD, &unread) == 0 && unread == 2; }));
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 2);
    ASSERT_EQ(send(client, "w", 1, 0), 1);
    EXPECT_TRUE(wait_until([&] { return recv(server, buffer, sizeof buffer, 0) == 1; }));
}

TEST_F(AsyncSelectTest, WriteComesOnceThenOnlyAfterWouldBlock) {
    SOCKET server, client;
    connected_pair(CONTROL_EVENTS, &server, &client);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_WRITE) == 1; }));
    static char block[65536];
    ASSERT_EQ(send(server, block, 1000, 0), 1000);
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_WRITE), 1) << "a send that succeeds does not re-enable FD_WRITE";

    // Fill the connection until the send would block (bounded: loopback buffers are a few MB).
    int64_t sent = 1000;
    int result = 0;
    for (int i = 0; i < 10000; i++) {
        result = send(server, block, sizeof block, 0);
        if (result < 0) break;
        sent += result;
    }
    ASSERT_EQ(result, SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    pump_for(QUIET_MS / 3);
    EXPECT_EQ(count_events(server, FD_WRITE), 1) << "no room yet";

    std::thread reader([&] {
        static char sink[65536];
        for (int64_t got = 0; got < sent;) {
            int n = recv(client, sink, sizeof sink, 0);
            if (n <= 0) break;
            got += n;
        }
    });
    bool written = pump_until([&] { return count_events(server, FD_WRITE) == 2; });
    reader.join();
    EXPECT_TRUE(written);
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_WRITE), 2);
}

TEST_F(AsyncSelectTest, ConnectSucceedsWithConnectThenWrite) {
    SOCKET client = own(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_EQ(WSAAsyncSelect(client, window_.handle(), SOCKET_MESSAGE, OUTGOING_EVENTS), 0);
    SOCKADDR_IN address = loopback_v4(port_);
    int result = connect(client, reinterpret_cast<SOCKADDR*>(&address), sizeof address);
    ASSERT_TRUE(result == 0 || WSAGetLastError() == WSAEWOULDBLOCK) << WSAGetLastError();
    ASSERT_TRUE(pump_until([&] { return count_events(client, FD_WRITE) == 1; }));
    ASSERT_EQ(count_events(client, FD_CONNECT), 1);
    EXPECT_EQ(recorded_events().front().event, FD_CONNECT) << "FD_CONNECT comes before FD_WRITE";
    EXPECT_EQ(recorded_events().front().error, 0);
    own(accept(listener_, nullptr, nullptr));
}

TEST_F(AsyncSelectTest, RefusedConnectReportsTheErrorInTheHighWord) {
    // A port that was bound and released has no listener.
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN any_port = loopback_v4(0);
    ASSERT_EQ(bind(probe, reinterpret_cast<SOCKADDR*>(&any_port), sizeof any_port), 0);
    uint16_t closed_port = local_port(probe);
    closesocket(probe);

    SOCKET client = own(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_EQ(WSAAsyncSelect(client, window_.handle(), SOCKET_MESSAGE, OUTGOING_EVENTS), 0);
    SOCKADDR_IN address = loopback_v4(closed_port);
    ASSERT_EQ(connect(client, reinterpret_cast<SOCKADDR*>(&address), sizeof address), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(pump_until([&] { return count_events(client, FD_CONNECT) == 1; }));
    pump_for(QUIET_MS);
    ASSERT_EQ(recorded_events().size(), 1u) << "a refused connect gives no FD_WRITE or FD_CLOSE";
    EXPECT_EQ(recorded_events()[0].error, WSAECONNREFUSED);
}

TEST_F(AsyncSelectTest, OrderlyCloseComesOnceAfterTheDataIsRead) {
    SOCKET server, client;
    connected_pair(CONTROL_EVENTS, &server, &client);
    ASSERT_EQ(send(client, "bye", 3, 0), 3);
    ASSERT_EQ(shutdown(client, SD_SEND), 0);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_CLOSE), 0) << "FD_CLOSE waits for the unread bytes";

    char buffer[8];
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 3);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_CLOSE) == 1; }));
    EXPECT_EQ(recorded_events().back().error, 0);
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 0);
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_CLOSE), 1);
    EXPECT_EQ(count_events(server, FD_READ), 1);
}

TEST_F(AsyncSelectTest, EndOfStreamIsNoEndlessReadWithoutClose) {
    SOCKET server, client;
    connected_pair(FD_READ, &server, &client);
    ASSERT_EQ(send(client, "a", 1, 0), 1);
    ASSERT_EQ(shutdown(client, SD_SEND), 0);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    char buffer[4];
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 1);
    pump_for(QUIET_MS);
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 0);
    pump_for(QUIET_MS);
    EXPECT_EQ(recorded_events().size(), 1u) << "the end of the stream posts nothing more";
}

TEST_F(AsyncSelectTest, ResetGivesCloseWithConnReset) {
    SOCKET server, client;
    connected_pair(CONTROL_EVENTS, &server, &client);
    // Closing with unread data makes the system reset the connection.
    ASSERT_EQ(send(server, "unread", 6, 0), 6);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_WRITE) == 1; }));
    char byte;
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    ASSERT_EQ(recv(server, &byte, 1, 0), 1);
    closesocket(client);
    owned_.erase(std::find(owned_.begin(), owned_.end(), client));
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_CLOSE) == 1; }));
    EXPECT_EQ(recorded_events().back().error, WSAECONNRESET);
}

TEST_F(AsyncSelectTest, ReplacingCancellingAndClosingTheRegistration) {
    SOCKET server, client;
    connected_pair(CONTROL_EVENTS, &server, &client);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_WRITE) == 1; }));

    // A second registration replaces the first and reports what holds now under its message.
    ASSERT_EQ(WSAAsyncSelect(server, window_.handle(), SOCKET_MESSAGE + 1, FD_READ), 0);
    ASSERT_EQ(send(client, "a", 1, 0), 1);
    ASSERT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    EXPECT_EQ(recorded_events().back().message, SOCKET_MESSAGE + 1);
    EXPECT_EQ(count_events(server, FD_WRITE), 1) << "FD_WRITE is no longer asked for";

    // Events 0 cancels: data arrives, nothing is posted; the socket stays non-blocking.
    ASSERT_EQ(WSAAsyncSelect(server, window_.handle(), 0, 0), 0);
    char buffer[4];
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 1);
    ASSERT_EQ(send(client, "b", 1, 0), 1);
    pump_for(QUIET_MS);
    EXPECT_EQ(count_events(server, FD_READ), 1);
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 1);
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    // closesocket ends the registration; the handle is dead and is not handed out again.
    ASSERT_EQ(WSAAsyncSelect(server, window_.handle(), SOCKET_MESSAGE, CONTROL_EVENTS), 0);
    ASSERT_EQ(closesocket(server), 0);
    owned_.erase(std::find(owned_.begin(), owned_.end(), server));
    ASSERT_EQ(send(client, "c", 1, 0), 1);
    SOCKET next = own(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_NE(next, server);
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    size_t before = recorded_events().size();
    pump_for(QUIET_MS);
    for (size_t i = before; i < recorded_events().size(); i++) EXPECT_NE(recorded_events()[i].socket, server);
}

TEST_F(AsyncSelectTest, AcceptedSocketInheritsTheListenersRegistration) {
    ASSERT_EQ(WSAAsyncSelect(listener_, window_.handle(), SOCKET_MESSAGE, FD_ACCEPT | FD_READ), 0);
    SOCKET client = own(connect_loopback(port_));
    ASSERT_TRUE(pump_until([&] { return count_events(listener_, FD_ACCEPT) == 1; }));
    SOCKET server = own(accept(listener_, nullptr, nullptr));
    ASSERT_NE(server, INVALID_SOCKET);
    ASSERT_EQ(send(client, "z", 1, 0), 1);
    EXPECT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));
    char byte;
    EXPECT_EQ(recv(server, &byte, 1, 0), 1);
    EXPECT_EQ(recv(server, &byte, 1, 0), SOCKET_ERROR) << "non-blocking like its listener";
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(AsyncSelectTest, GetMessageWakesForSocketEventsInOrderWithPosts) {
    SOCKET server, client;
    connected_pair(FD_READ, &server, &client);
    HWND window = window_.handle();
    std::thread peer([&] {
        PostMessageW(window, WM_USER + 100, 1, 0);
        send(client, "q", 1, 0);
    });
    // Blocks until both the post and the data have arrived; each comes once.
    MSG message;
    while (count_events(server, FD_READ) == 0 || recorded_events().empty() ||
           std::none_of(recorded_events().begin(), recorded_events().end(),
                        [](const SocketEvent& e) { return e.message == WM_USER + 100; })) {
        ASSERT_GT(GetMessageW(&message, nullptr, 0, 0), 0);
        DispatchMessageW(&message);
    }
    peer.join();
    EXPECT_EQ(count_events(server, FD_READ), 1);
}

TEST_F(AsyncSelectTest, ASocketEventBeforeAPostIsQueuedBeforeIt) {
    SOCKET server, client;
    connected_pair(FD_READ, &server, &client);
    HWND window = window_.handle();
    std::thread peer([&] {
        send(client, "q", 1, 0);
        // Posts only once the byte is there to be read.
        unsigned long unread = 0;
        for (uint64_t deadline = GetTickCount64() + 5000; unread == 0 && GetTickCount64() < deadline;)
            ioctlsocket(server, 0x4004667F /* FIONREAD */, &unread);
        PostMessageW(window, WM_USER + 100, 0, 0);
    });
    peer.join();
    ASSERT_TRUE(pump_until([&] { return recorded_events().size() == 2; }));
    EXPECT_EQ(recorded_events()[0].event, FD_READ);
    EXPECT_EQ(recorded_events()[1].message, WM_USER + 100u);
}

TEST_F(AsyncSelectTest, EventsGoToTheWindowsThreadWhoeverRegisters) {
    SOCKET client = own(connect_loopback(port_));
    SOCKET server = own(accept(listener_, nullptr, nullptr));
    HWND window = window_.handle();
    int result = -1;
    std::thread registrar([&] { result = WSAAsyncSelect(server, window, SOCKET_MESSAGE, FD_READ); });
    registrar.join();
    ASSERT_EQ(result, 0);
    ASSERT_EQ(send(client, "r", 1, 0), 1);
    EXPECT_TRUE(pump_until([&] { return count_events(server, FD_READ) == 1; }));

    // A blocking mode cannot be restored while registered, and a registration needs a window.
    unsigned long blocking = 0;
    EXPECT_EQ(ioctlsocket(server, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    HWND gone = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7777));
    EXPECT_EQ(WSAAsyncSelect(server, gone, SOCKET_MESSAGE, FD_READ), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(WSAAsyncSelect(INVALID_SOCKET, window, SOCKET_MESSAGE, FD_READ), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

}  // namespace
