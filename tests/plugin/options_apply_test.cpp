// Applying the options page: the controls go back into the settings in their order, and the server
// is restarted only when its port or bindings changed.
#include <climits>
#include <vector>

#include "tests/plugin/options_fixture.h"

namespace options_test {
namespace {

using test_support::recording;

std::vector<int> text_reads;
void recording_get_dlg_text(HWND page, int id, Utf8Buf* text) {
    text_reads.push_back(id);
    host::os_get_dlg_text(page, id, text);
}

int listen_calls = 0;
int counting_listen(SOCKET socket, int backlog) {
    listen_calls++;
    return host::os_winsock_listen(socket, backlog);
}

uint16_t port_of(SOCKET socket) {
    SOCKADDR_IN address = {};
    int length = sizeof address;
    if (os_winsock_getsockname(socket, reinterpret_cast<SOCKADDR*>(&address), &length) != 0) return 0;
    return os_winsock_ntohs(address.sin_port);
}

uint16_t server_port() {
    if (!server_instance || !server_instance->listeners_head) return 0;
    return port_of(server_instance->listeners_head->socket);
}

// A listening socket on 127.0.0.1 that holds a port so that the server cannot have it.
class PortBlocker {
public:
    PortBlocker() {
        WSADATA data;
        started_ = os_winsock_WSAStartup(257, &data) == 0;
        socket_ = os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        SOCKADDR_IN address = {};
        address.sin_family = AF_INET;
        address.sin_addr.S_un.S_un_b.s_b1 = 127;
        address.sin_addr.S_un.S_un_b.s_b4 = 1;
        if (os_winsock_bind(socket_, reinterpret_cast<SOCKADDR*>(&address), sizeof address) == 0 &&
            os_winsock_listen(socket_, 1) == 0)
            port_ = port_of(socket_);
    }
    ~PortBlocker() {
        if (socket_ != INVALID_SOCKET) os_winsock_closesocket(socket_);
        if (started_) os_winsock_WSACleanup();
    }
    uint16_t port() const { return port_; }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

TEST_F(OptionsPageTest, ApplyReadsTheControlsBackInOrder) {
    settings.enabled = 0;
    create_page();
    type(1002, "127.0.0.1, ::1");
    type(1006, "2121");
    type(1008, "anna");
    type(1010, "pw");
    type(1011, "C:\\ftp.log");
    type(1013, "4096");
    check(1003, false);
    check(1004, false);
    text_reads.clear();
    os_get_dlg_text = &recording_get_dlg_text;

    EXPECT_EQ(apply_page(), 0u);  // disabled: nothing should run, so nothing is missing

    EXPECT_EQ(text_reads, (std::vector<int>{1002, 1008, 1010, 1011}));
    EXPECT_STREQ(settings.bindings, "127.0.0.1, ::1");
    EXPECT_EQ(settings.port, 2121);
    EXPECT_STREQ(settings.username, "anna");
    EXPECT_STREQ(settings.password, "pw");
    EXPECT_STREQ(settings.log_file_name, "C:\\ftp.log");
    EXPECT_EQ(settings.log_max_size, 4194304);
    EXPECT_EQ(settings.logging_enabled, 0);
    EXPECT_EQ(settings.allow_file_download, 0);
    EXPECT_EQ(settings.enabled, 0);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_FALSE(changed_marked());
}

TEST_F(OptionsPageTest, ApplyStoresTheKibFieldInBytesWrappingAt32Bits) {
    const struct {
        const char* field;
        int32_t bytes;
    } cases[] = {
        {"1", 1024},         {"0", 0},          {"4096", 4194304},   {"abc", 0},        {"", 0},
        {"2097151", 2147482624}, {"2097152", INT32_MIN}, {"4194304", 0}, {"4194305", 1024},
    };
    settings.enabled = 0;
    create_page();
    for (const auto& row : cases) {
        type(1013, row.field);
        apply_page();
        EXPECT_EQ(settings.log_max_size, row.bytes) << row.field;
    }
    type(1006, "not a port");
    apply_page();
    EXPECT_EQ(settings.port, 0);
}

TEST_F(OptionsPageTest, LogSizeRoundTripsThroughThePage) {
    const struct {
        int32_t stored;
        int32_t applied;
    } cases[] = {{4194304, 4194304}, {1, 1024}, {1000, 1024}, {0, 0}};
    settings.enabled = 0;
    for (const auto& row : cases) {
        settings.log_max_size = row.stored;
        replace_page();
        create_page();
        apply_page();
        EXPECT_EQ(settings.log_max_size, row.applied) << row.stored;
    }
}

TEST_F(OptionsPageTest, ApplyRestartsTheServerOnlyWhenPortOrBindingsChange) {
    settings.enabled = 0;
    settings.logging_enabled = 0;
    create_page();
    check(1000, true);
    check(1003, false);
    type(1002, "127.0.0.1");
    type(1006, "0");
    listen_calls = 0;
    os_winsock_listen = &counting_listen;

    ASSERT_EQ(apply_page(), 0u);
    ASSERT_NE(server_instance, nullptr);
    EXPECT_EQ(listen_calls, 1);
    uint16_t first_port = server_port();
    ASSERT_NE(first_port, 0);

    // Other settings change: the running server is left alone.
    type(1008, "anna");
    check(1004, false);
    EXPECT_EQ(apply_page(), 0u);
    EXPECT_EQ(listen_calls, 1);
    EXPECT_EQ(server_port(), first_port);
    EXPECT_STREQ(settings.username, "anna");

    // The port changes (0 to the port it got): stop and start.
    type(1006, std::to_string(first_port).c_str());
    EXPECT_EQ(apply_page(), 0u);
    EXPECT_EQ(listen_calls, 2);
    ASSERT_NE(server_instance, nullptr);
    EXPECT_EQ(server_instance->port, first_port);
    EXPECT_EQ(server_port(), first_port);

    // The bindings text changes, even to the same addresses: stop and start.
    type(1002, "127.0.0.1,");
    EXPECT_EQ(apply_page(), 0u);
    EXPECT_EQ(listen_calls, 3);
    ASSERT_NE(server_instance, nullptr);
    EXPECT_STREQ(server_instance->bindings, "127.0.0.1,");

    // The server checkbox is cleared: stopped, and nothing is reported missing.
    check(1000, false);
    EXPECT_EQ(apply_page(), 0u);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_EQ(listen_calls, 3);
    EXPECT_TRUE(recording().dialogs.empty());
}

TEST_F(OptionsPageTest, ApplySetsTheFlagWhenThePortIsTaken) {
    settings.enabled = 0;
    settings.logging_enabled = 0;
    create_page();
    check(1000, true);
    check(1003, false);
    type(1002, "127.0.0.1");
    uint16_t taken_port;
    {
        PortBlocker blocker;
        taken_port = blocker.port();
        ASSERT_NE(taken_port, 0);
        type(1006, std::to_string(taken_port).c_str());

        EXPECT_EQ(apply_page(), 1u);
        EXPECT_EQ(server_instance, nullptr);
        EXPECT_EQ(recording().dialogs.size(), 1u);
        // The values read from the page stay in the settings.
        EXPECT_EQ(settings.enabled, 1);
        EXPECT_EQ(settings.port, taken_port);
    }

    // Once the port is free the server runs, and a flag the host had set is left alone.
    EXPECT_EQ(apply_page(1), 1u);
    EXPECT_NE(server_instance, nullptr);
    EXPECT_EQ(server_port(), taken_port);
}

}  // namespace
}  // namespace options_test
