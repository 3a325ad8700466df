// Windows Sockets over loopback: address layouts, bind rules, errors, options and name resolution.
#include <cstddef>
#include <string>
#include <thread>

#include "socket_test_support.h"

using namespace win32_test;

namespace {

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        descriptors_before_ = open_descriptor_count();
    }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_before_) << "a socket was left open";
        WSACleanup();
    }
    int descriptors_before_ = 0;
};

TEST_F(SocketsTest, StartupGrantsTheVersionAsked) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(data.wHighVersion, 0x0202);
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202) << "a later version gets the highest one";
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(SocketsTest, Ipv4AddressesKeepTheWindowsLayout) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    SOCKET client = connect_loopback(port);
    SOCKADDR_IN peer = {};
    int length = sizeof peer;
    SOCKET server = accept(listener, reinterpret_cast<SOCKADDR*>(&peer), &length);
    ASSERT_NE(server, INVALID_SOCKET);
    EXPECT_EQ(length, 16);
    EXPECT_EQ(peer.sin_family, 2);
    EXPECT_EQ(peer.sin_port, htons(local_port(client)));
    EXPECT_EQ(peer.sin_addr.S_un.S_un_b.s_b1, 127);
    EXPECT_EQ(peer.sin_addr.S_un.S_un_b.s_b4, 1);

    SOCKADDR_IN name = {};
    length = sizeof name;
    ASSERT_EQ(getpeername(client, reinterpret_cast<SOCKADDR*>(&name), &length), 0);
    EXPECT_EQ(name.sin_family, AF_INET);
    EXPECT_EQ(ntohs(name.sin_port), port);

    // Too little room for the address is WSAEFAULT.
    length = 8;
    EXPECT_EQ(getsockname(client, reinterpret_cast<SOCKADDR*>(&name), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(server);
    closesocket(client);
    closesocket(listener);
}

TEST_F(SocketsTest, Ipv6AddressesKeepTheWindowsLayout) {
    static_assert(offsetof(SOCKADDR_IN6, sin6_addr) == 8 && offsetof(SOCKADDR_IN6, sin6_scope_id) == 24);
    SOCKET listener = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    SOCKADDR_IN6 address = loopback_v6(0);
    if (bind(listener, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0) {
        closesocket(listener);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(listen(listener, 4), 0);
    SOCKADDR_IN6 name = {};
    int length = sizeof name;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<SOCKADDR*>(&name), &length), 0);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(name.sin6_family, 23);
    EXPECT_NE(name.sin6_port, 0);
    EXPECT_EQ(std::memcmp(&name.sin6_addr, &address.sin6_addr, 16), 0);
    EXPECT_EQ(name.sin6_scope_id, 0u);

    SOCKET client = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(connect(client, reinterpret_cast<SOCKADDR*>(&name), sizeof name), 0) << WSAGetLastError();
    SOCKADDR_IN6 peer = {};
    length = sizeof peer;
    SOCKET server = accept(listener, reinterpret_cast<SOCKADDR*>(&peer), &length);
    ASSERT_NE(server, INVALID_SOCKET);
    EXPECT_EQ(peer.sin6_family, AF_INET6);
    EXPECT_EQ(peer.sin6_addr.s6_addr[15], 1);
    // An IPv6 accept needs room for 28 bytes.
    SOCKADDR_IN small = {};
    length = sizeof small;
    EXPECT_EQ(accept(listener, reinterpret_cast<SOCKADDR*>(&small), &length), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(server);
    closesocket(client);
    closesocket(listener);
}

TEST_F(SocketsTest, APortWithAListenerIsInUse) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    SOCKET second = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address = loopback_v4(port);
    EXPECT_EQ(bind(second, reinterpret_cast<SOCKADDR*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(WSAGetLastError(), 10048);
    closesocket(second);
    closesocket(listener);
}

// Makes one connection to `listener` (on `port`) and closes it from the server side first, so that
// the port is left holding a TIME_WAIT connection; then closes the listener too.
void leave_in_time_wait(SOCKET listener, uint16_t port) {
    SOCKET client = connect_loopback(port);
    SOCKET server = accept(listener, nullptr, nullptr);
    closesocket(server);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), 0);
    closesocket(client);
    closesocket(listener);
}

TEST_F(SocketsTest, APortLeftInTimeWaitCanBeBoundAgain) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    leave_in_time_wait(listener, port);

    SOCKET again = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address = loopback_v4(port);
    EXPECT_EQ(bind(again, reinterpret_cast<SOCKADDR*>(&address), sizeof address), 0) << WSAGetLastError();
    EXPECT_EQ(listen(again, 4), 0);
    closesocket(again);
}

// Binds to port 0 in a one-port range made of a port the system has just handed out.
TEST_F(SocketsTest, BindsToPortZeroTakeTheDynamicRangeOnceItIsSet) {
    struct RangeReset {
        ~RangeReset() { WSASetDynamicPortRange(0, 0); }
    } reset;
    EXPECT_EQ(WSASetDynamicPortRange(2000, 1999), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(WSASetDynamicPortRange(0, 1999), SOCKET_ERROR);
    uint16_t port;
    closesocket(listen_loopback(&port));
    ASSERT_EQ(WSASetDynamicPortRange(port, port), 0);
    auto bind_any = [](SOCKET socket) {
        SOCKADDR_IN address = loopback_v4(0);
        return bind(socket, reinterpret_cast<SOCKADDR*>(&address), sizeof address);
    };

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(bind_any(listener), 0) << WSAGetLastError();
    EXPECT_EQ(local_port(listener), port);
    ASSERT_EQ(listen(listener, 4), 0);
    // The live listener holds the range's one port.
    SOCKET refused = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(bind_any(refused), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
    closesocket(refused);

    // A port that only holds a TIME_WAIT connection is free.
    leave_in_time_wait(listener, port);
    SOCKET again = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(bind_any(again), 0) << WSAGetLastError();
    EXPECT_EQ(local_port(again), port);
    closesocket(again);
}

TEST_F(SocketsTest, WildcardListenersOfBothFamiliesShareAPort) {
    SOCKET v4 = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN any4 = {};
    any4.sin_family = AF_INET;
    ASSERT_EQ(bind(v4, reinterpret_cast<SOCKADDR*>(&any4), sizeof any4), 0);
    ASSERT_EQ(listen(v4, 4), 0);
    uint16_t port = local_port(v4);

    SOCKET v6 = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN6 any6 = {};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(port);
    int result = bind(v6, reinterpret_cast<SOCKADDR*>(&any6), sizeof any6);
    int error = WSAGetLastError();
    if (result != 0 && error == WSAEAFNOSUPPORT) GTEST_SKIP() << "no IPv6 here";
    EXPECT_EQ(result, 0) << error;
    EXPECT_EQ(listen(v6, 4), 0);
    closesocket(v6);
    closesocket(v4);
}

TEST_F(SocketsTest, ClosedHandlesAreDeadAndNotReused) {
    SOCKET first = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(first, INVALID_SOCKET);
    ASSERT_EQ(closesocket(first), 0);
    SOCKET second = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(second, first);
    char byte;
    EXPECT_EQ(recv(first, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(closesocket(first), SOCKET_ERROR);
    EXPECT_EQ(send(12345, "x", 1, 0), SOCKET_ERROR) << "a descriptor number is no socket";
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    closesocket(second);
    EXPECT_EQ(socket(99, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST_F(SocketsTest, SendingToAClosedPeerFailsWithoutASignal) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    SOCKET client = connect_loopback(port);
    SOCKET server = accept(listener, nullptr, nullptr);
    closesocket(client);
    static char block[16384];
    int result = 0;
    for (int i = 0; i < 1000 && result >= 0; i++) result = send(server, block, sizeof block, 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    // After our own shutdown, a send is refused as such.
    SOCKET client2 = connect_loopback(port);
    ASSERT_EQ(shutdown(client2, SD_SEND), 0);
    EXPECT_EQ(send(client2, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    closesocket(client2);
    closesocket(server);
    closesocket(listener);
}

TEST_F(SocketsTest, OptionsAndNonBlockingMode) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    SOCKET client = connect_loopback(port);
    int on = 1;
    ASSERT_EQ(setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on), 0);
    ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), sizeof on), 0);
    int value = 0;
    int length = sizeof value;
    ASSERT_EQ(getsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_NE(value, 0);
    ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_NE(value, 0);
    char byte_bool = 0;  // a one-byte BOOL is taken too
    ASSERT_EQ(setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &byte_bool, 1), 0);
    ASSERT_EQ(getsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_EQ(value, 0);
    ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_EQ(value, 0);
    int buffer_size = 65536;
    EXPECT_EQ(setsockopt(client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&buffer_size), sizeof buffer_size), 0);
    ASSERT_EQ(getsockopt(client, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_GT(value, 0);
    EXPECT_EQ(setsockopt(client, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&on), sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);

    unsigned long non_blocking = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &non_blocking), 0);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    closesocket(client);
    closesocket(listener);
}

TEST_F(SocketsTest, ResolvedAddressesComeInWindowsLayout) {
    static_assert(offsetof(ADDRINFOA, ai_canonname) < offsetof(ADDRINFOA, ai_addr));
    ADDRINFOA hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    ADDRINFOA* list = nullptr;
    ASSERT_EQ(getaddrinfo("127.0.0.1", "2121", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, AF_INET);
    EXPECT_EQ(list->ai_socktype, SOCK_STREAM);
    EXPECT_EQ(list->ai_addrlen, 16u);
    auto* v4 = reinterpret_cast<SOCKADDR_IN*>(list->ai_addr);
    EXPECT_EQ(v4->sin_family, AF_INET);
    EXPECT_EQ(ntohs(v4->sin_port), 2121);
    EXPECT_EQ(v4->sin_addr.S_un.S_un_b.s_b1, 127);
    EXPECT_EQ(list->ai_next, nullptr);
    freeaddrinfo(list);

    ASSERT_EQ(getaddrinfo("::1", nullptr, &hints, &list), 0);
    EXPECT_EQ(list->ai_family, AF_INET6);
    EXPECT_EQ(list->ai_addrlen, 28u);
    auto* v6 = reinterpret_cast<SOCKADDR_IN6*>(list->ai_addr);
    EXPECT_EQ(v6->sin6_family, AF_INET6);
    EXPECT_EQ(v6->sin6_addr.s6_addr[15], 1);
    freeaddrinfo(list);

    // The wildcard of a passive lookup, for a family asked by its Windows number.
    hints.ai_family = AF_INET6;
    ASSERT_EQ(getaddrinfo(nullptr, "21", &hints, &list), 0);
    EXPECT_EQ(list->ai_family, 23);
    freeaddrinfo(list);

    hints.ai_family = AF_UNSPEC;
    // A number that is no port is an unknown service, not its low 16 bits.
    ASSERT_EQ(getaddrinfo("127.0.0.1", "65535", &hints, &list), 0);
    EXPECT_EQ(ntohs(reinterpret_cast<SOCKADDR_IN*>(list->ai_addr)->sin_port), 65535);
    freeaddrinfo(list);
    for (const char* service : {"65536", "99999", "18446744073709551617", "-1"}) {
        list = nullptr;
        EXPECT_EQ(getaddrinfo("127.0.0.1", service, &hints, &list), WSATYPE_NOT_FOUND) << service;
        EXPECT_EQ(list, nullptr) << service;
        EXPECT_EQ(WSAGetLastError(), WSATYPE_NOT_FOUND) << service;
    }
    EXPECT_EQ(getaddrinfo("not an address", nullptr, &hints, &list), WSAHOST_NOT_FOUND);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(WSAGetLastError(), 11001);
    hints.ai_family = 99;
    EXPECT_EQ(getaddrinfo("127.0.0.1", nullptr, &hints, &list), WSAEAFNOSUPPORT);
    freeaddrinfo(nullptr);
}

TEST_F(SocketsTest, AddressTextsUseWindowsFamilies) {
    uint8_t v4[4];
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.20", v4), 1);
    EXPECT_EQ(v4[0], 192);
    EXPECT_EQ(v4[3], 20);
    uint8_t v6[16];
    ASSERT_EQ(inet_pton(AF_INET6, "fe80::1:2", v6), 1);
    EXPECT_EQ(v6[0], 0xfe);
    EXPECT_EQ(v6[15], 2);
    EXPECT_EQ(inet_pton(AF_INET, "300.1.1.1", v4), 0);
    EXPECT_EQ(inet_pton(10, "::1", v6), -1) << "10 is no Windows family";
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);

    char text[64];
    ASSERT_NE(inet_ntop(AF_INET6, v6, text, sizeof text), nullptr);
    EXPECT_EQ(std::string(text), "fe80::1:2");
    ASSERT_NE(inet_ntop(AF_INET, v4, text, sizeof text), nullptr);
    EXPECT_EQ(std::string(text), "192.168.1.20");
    EXPECT_EQ(inet_ntop(AF_INET, v4, text, 4), nullptr) << "too little room";
    EXPECT_EQ(htons(0x1234), 0x3412);
    EXPECT_EQ(ntohl(0x12345678u), 0x78563412u);
}

TEST_F(SocketsTest, ClosingEndsABlockedAcceptOnAnotherThread) {
    uint16_t port;
    SOCKET listener = listen_loopback(&port);
    HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SOCKET accepted = 0;
    std::thread waiter([&] {
        accepted = accept(listener, nullptr, nullptr);
        SetEvent(returned);
    });
    Sleep(20);  // lets the waiter block first; the test holds either way
    ASSERT_EQ(closesocket(listener), 0);
    bool ended = WaitForSingleObject(returned, 5000) == WAIT_OBJECT_0;
    if (!ended) closesocket(connect_loopback(port));  // frees the waiter so the test can end
    waiter.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(accepted, INVALID_SOCKET);
    CloseHandle(returned);
}

}  // namespace
