// The socket services over real loopback sockets, and the peer-address text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/host/host_test_support.h"

namespace {

class LoopbackPair : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(host::os_winsock_WSAStartup(257, &data), 0);
    }
    void TearDown() override {
        for (SOCKET socket : {outgoing_, accepted_, listener_})
            if (socket != INVALID_SOCKET) host::os_winsock_closesocket(socket);
        host::os_winsock_WSACleanup();
    }

    // Opens listener, outgoing and accepted sockets on the loopback address of the family.
    void connect_pair(int family) {
        SOCKADDR_STORAGE address = {};
        int length = family == AF_INET ? sizeof(SOCKADDR_IN) : sizeof(SOCKADDR_IN6);
        ASSERT_EQ(family == AF_INET ? host::utf8_string_parse_sockaddr_in("127.0.0.1", &address)
                                    : host::utf8_string_parse_sockaddr_in6("::1", &address),
                  1);
        listener_ = host::os_winsock_socket(family, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(listener_, INVALID_SOCKET);
        ASSERT_EQ(host::os_winsock_bind(listener_, reinterpret_cast<SOCKADDR*>(&address), length), 0);
        ASSERT_EQ(host::os_winsock_listen(listener_, 4), 0);
        ASSERT_EQ(host::os_winsock_getsockname(listener_, reinterpret_cast<SOCKADDR*>(&address), &length), 0);
        outgoing_ = host::os_winsock_socket(family, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(host::os_winsock_connect(outgoing_, reinterpret_cast<SOCKADDR*>(&address), length), 0);
        accepted_ = host::os_winsock_accept(listener_, nullptr, nullptr);
        ASSERT_NE(accepted_, INVALID_SOCKET);
        uint16_t network_port = reinterpret_cast<SOCKADDR_IN&>(address).sin_port;  // same offset in both layouts
        port_ = host::os_winsock_ntohs(network_port);
    }

    static std::string peer_text(SOCKET socket) {
        Utf8Buf text;
        host::utf8_buf_init(&text);
        host::utf8_buf_format_peername(&text, socket);
        std::string result = buffer_text(text);
        host::utf8_buf_kill(&text);
        return result;
    }

    static std::string local_port_text(SOCKET socket) {
        SOCKADDR_STORAGE address = {};
        int length = sizeof(address);
        host::os_winsock_getsockname(socket, reinterpret_cast<SOCKADDR*>(&address), &length);
        return std::to_string(host::os_winsock_ntohs(reinterpret_cast<SOCKADDR_IN&>(address).sin_port));
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET outgoing_ = INVALID_SOCKET;
    SOCKET accepted_ = INVALID_SOCKET;
    unsigned port_ = 0;
};

TEST_F(LoopbackPair, PeerNamesOfIpv4AndIpv6) {
    connect_pair(AF_INET);
    EXPECT_EQ(peer_text(outgoing_), "127.0.0.1:" + std::to_string(port_));
    EXPECT_EQ(peer_text(accepted_), "127.0.0.1:" + local_port_text(outgoing_));
    EXPECT_EQ(peer_text(listener_), "");  // a listening socket has no peer
}

TEST_F(LoopbackPair, PeerNameOfIpv6) {
    connect_pair(AF_INET6);
    EXPECT_EQ(peer_text(outgoing_), "[::1]:" + std::to_string(port_));
}

TEST_F(LoopbackPair, SendAndReceiveCountTheBytesAndZeroMeansClosed) {
    connect_pair(AF_INET);
    EXPECT_EQ(host::network_set_tcp_nodelay(outgoing_), 1);
    EXPECT_EQ(host::network_set_keepalive(outgoing_), 1);
    EXPECT_EQ(host::network_send(outgoing_, "hello", 5), 5);
    char bytes[16] = {};
    int received = 0;
    while (received < 5) {
        int got = host::network_recv(accepted_, bytes + received, sizeof(bytes) - received);
        ASSERT_GT(got, 0);
        received += got;
    }
    EXPECT_EQ(std::string(bytes, received), "hello");
    EXPECT_EQ(host::os_winsock_shutdown(outgoing_, SD_SEND), 0);
    EXPECT_EQ(host::network_recv(accepted_, bytes, sizeof(bytes)), 0);
}

int tcp_option(SOCKET socket, int level, int option) {
    int value = -1;
    int length = sizeof(value);
    EXPECT_EQ(getsockopt(socket, level, option, reinterpret_cast<char*>(&value), &length), 0) << option;
    return value;
}

// Keep-alive alone waits for the system's two hours; its timers and the retransmission bound
// must find a peer that vanished within two minutes, idle or with data on its way.
TEST_F(LoopbackPair, KeepAliveFindsAVanishedPeerWithinTwoMinutes) {
    connect_pair(AF_INET);
    ASSERT_EQ(host::network_set_keepalive(accepted_), 1);
    EXPECT_EQ(tcp_option(accepted_, SOL_SOCKET, SO_KEEPALIVE), 1);
    int idle = tcp_option(accepted_, IPPROTO_TCP, TCP_KEEPIDLE);
    int interval = tcp_option(accepted_, IPPROTO_TCP, TCP_KEEPINTVL);
    int probes = tcp_option(accepted_, IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_EQ(probes, 10) << "as many as Windows sends";
    EXPECT_GT(idle, 0);
    EXPECT_LE(idle + probes * interval, 120);
    int retransmit = tcp_option(accepted_, IPPROTO_TCP, TCP_MAXRT);
    EXPECT_GT(retransmit, 0);
    EXPECT_LE(retransmit, 120);
}

TEST_F(LoopbackPair, FailedCallsGiveMinusOneAndAWindowsSocketsError) {
    SOCKADDR_STORAGE address = {};
    ASSERT_EQ(host::utf8_string_parse_sockaddr_in("127.0.0.1", &address), 1);
    connect_pair(AF_INET);
    SOCKET second = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int length = sizeof(SOCKADDR_IN);
    host::os_winsock_getsockname(listener_, reinterpret_cast<SOCKADDR*>(&address), &length);
    EXPECT_EQ(host::os_winsock_bind(second, reinterpret_cast<SOCKADDR*>(&address), length), -1);
    EXPECT_EQ(host::os_winsock_WSAGetLastError(), WSAEADDRINUSE);
    host::os_winsock_closesocket(second);
}

TEST(HostAddressLookup, NumericLoopbackResolves) {
    ADDRINFOA hints = {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* list = nullptr;
    ASSERT_EQ(host::os_winsock_getaddrinfo("127.0.0.1", "2121", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, AF_INET);
    EXPECT_EQ(host::os_winsock_ntohs(reinterpret_cast<SOCKADDR_IN*>(list->ai_addr)->sin_port), 2121);
    host::os_winsock_freeaddrinfo(list);
}

}  // namespace
