// The activity log: where it goes, what a line holds, and what happens when it is off or cannot
// be opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/services.h"
#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/activity_log.h"
#include "server/client.h"
#include "server/server.h"
#include "tests/support/plugin_harness.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

std::string app_data_path(const char* name) {
    Utf8Buf path;
    host::utf8_buf_init(&path);
    host::os_get_local_app_data_path_cat_filename(name, &path);
    std::string text(path.text, path.length);
    host::utf8_buf_kill(&path);
    return text;
}

std::string default_log_path() {
    Utf8Buf path;
    host::utf8_buf_init(&path);
    host::os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", &path);
    std::string text(path.text, path.length);
    host::utf8_buf_kill(&path);
    return text;
}

std::string time_text(uint64_t filetime) {
    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::utf8_buf_format_filetime(&text, filetime);
    std::string result(text.text, text.length);
    host::utf8_buf_kill(&text);
    return result;
}

std::string peer_text(SOCKET socket) {
    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::utf8_buf_format_peername(&text, socket);
    std::string result(text.text, text.length);
    host::utf8_buf_kill(&text);
    return result;
}

// The file's lines, each with its CR LF.
std::vector<std::string> log_lines(const std::string& path) {
    std::string text = read_file(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        end = end == std::string::npos ? text.size() : end + 2;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

struct WinsockUse {
    WinsockUse() {
        WSADATA data{};
        host::os_winsock_WSAStartup(257, &data);
    }
    ~WinsockUse() { host::os_winsock_WSACleanup(); }
};

// A connected loopback pair made with the test's own sockets.
struct LoopbackPair {
    SOCKET listener = INVALID_SOCKET;
    SOCKET outgoing = INVALID_SOCKET;
    SOCKET accepted = INVALID_SOCKET;

    LoopbackPair() {
        SOCKADDR_IN address{};
        address.sin_family = AF_INET;
        address.sin_addr.S_un.S_un_b.s_b1 = 127;
        address.sin_addr.S_un.S_un_b.s_b4 = 1;
        listener = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        host::os_winsock_bind(listener, reinterpret_cast<SOCKADDR*>(&address), sizeof(address));
        host::os_winsock_listen(listener, 4);
        int length = sizeof(address);
        host::os_winsock_getsockname(listener, reinterpret_cast<SOCKADDR*>(&address), &length);
        outgoing = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        host::os_winsock_connect(outgoing, reinterpret_cast<SOCKADDR*>(&address), sizeof(address));
        accepted = host::os_winsock_accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair() {
        for (SOCKET socket : {accepted, outgoing, listener}) {
            if (socket != INVALID_SOCKET) host::os_winsock_closesocket(socket);
        }
    }
};

class ActivityLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.bound());
        settings.logging_enabled = 1;
        settings.enabled = 1;
        settings.port = 0;
        settings.bindings = utf8_string_realloc_utf8_string(settings.bindings, "127.0.0.1");
    }
    void TearDown() override { server_stop(); }

    void use_log_file(const char* name) {
        settings.log_file_name = utf8_string_realloc_utf8_string(settings.log_file_name, name);
    }
    void start() { ASSERT_EQ(server_apply_settings(), 1); }

    WinsockUse winsock_;
    PluginSession session_;
};

TEST_F(ActivityLog, DefaultFileLivesInTheLogsFolderOfTheApplicationData) {
    std::string path = default_log_path();
    EXPECT_EQ(fs::path(path), fs::path(state_home()) / "swp-host" / "Logs" / "SWP_Server_Log.txt");
    fs::remove_all(fs::path(path).parent_path());

    uint64_t before = host::os_get_system_time_as_file_time();
    start();
    uint64_t after = host::os_get_system_time_as_file_time();
    ASSERT_TRUE(file_exists(path));  // and its folder was created
    std::vector<std::string> lines = log_lines(path);
    ASSERT_EQ(lines.size(), 1u);
    std::string suffix = ": SWP server online.\r\n";
    ASSERT_GT(lines[0].size(), suffix.size());
    std::string stamp = lines[0].substr(0, lines[0].size() - suffix.size());
    EXPECT_EQ(lines[0].substr(stamp.size()), suffix);
    EXPECT_TRUE(stamp == time_text(before) || stamp == time_text(after)) << stamp;

    server_stop();
    lines = log_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].ends_with(": SWP server offline.\r\n")) << lines[1];
}

TEST_F(ActivityLog, ClientLineCarriesTimeSocketPeerAndMessage) {
    use_log_file("client-line.log");
    std::string path = app_data_path("client-line.log");
    fs::remove(path);
    start();
    LoopbackPair pair;
    ASSERT_NE(pair.accepted, INVALID_SOCKET);
    FtpClient client{};
    client.control_socket = pair.accepted;

    recording().color_lines.clear();
    client_log(&client, "%s %s\r\n", "NOOP", "");

    std::vector<std::string> lines = log_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(recording().color_lines.size(), 1u);
    EXPECT_EQ(recording().color_lines[0].color, 0xff00ffffu);
    EXPECT_EQ(recording().color_lines[0].text, lines[1]);  // the console tells clients apart as the file does
    std::string tail = host_format("%p: ", reinterpret_cast<void*>(pair.accepted)) + peer_text(pair.accepted) +
                       ": NOOP \r\n";
    ASSERT_TRUE(lines[1].ends_with(tail)) << lines[1];
    std::string stamp = lines[1].substr(0, lines[1].size() - tail.size());
    EXPECT_TRUE(stamp.ends_with(": ")) << stamp;
    EXPECT_GT(stamp.size(), 2u);
    EXPECT_NE(peer_text(pair.accepted), "");
}

TEST_F(ActivityLog, DisabledLoggingWritesAndEchoesNothing) {
    settings.logging_enabled = 0;
    use_log_file("disabled/never.log");
    std::string path = app_data_path("disabled/never.log");
    fs::remove_all(fs::path(path).parent_path());
    start();
    client_log(nullptr, "%s\r\n", "anything");
    server_stop();
    EXPECT_FALSE(file_exists(path));
    EXPECT_FALSE(file_exists(fs::path(path).parent_path().string()));
    EXPECT_TRUE(recording().color_lines.empty());
}

TEST_F(ActivityLog, UnopenableFileDropsTheLineAndTheNextLineTriesAgain) {
    use_log_file("blocked/swp.log");
    std::string path = app_data_path("blocked/swp.log");
    fs::path folder = fs::path(path).parent_path();
    fs::remove_all(folder);
    fs::create_directories(folder.parent_path());
    std::ofstream(folder.string()) << "a file where the folder should be";

    start();  // the online line cannot be written
    EXPECT_EQ(color_line_count("SWP server online.\r\n"), 1u);
    EXPECT_EQ(server_instance->log_stream, nullptr);

    fs::remove(folder);
    client_log(nullptr, "again\r\n");
    EXPECT_NE(server_instance->log_stream, nullptr);
    server_stop();
    std::vector<std::string> lines = log_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(": again\r\n")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(": SWP server offline.\r\n")) << lines[1];
}

TEST_F(ActivityLog, OversizedFileIsTrimmedWhenOpened) {
    use_log_file("trimmed.log");
    std::string path = app_data_path("trimmed.log");
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream old(path, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 200; ++i) old << "old line number " << i << "\r\n";
    }
    uintmax_t old_size = fs::file_size(path);
    settings.log_max_size = 1000;
    settings.log_delta_size = 500;
    start();
    std::vector<std::string> lines = log_lines(path);
    EXPECT_LT(fs::file_size(path), old_size);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().ends_with(": SWP server online.\r\n"));
    EXPECT_TRUE(lines.front().starts_with("old line number ")) << lines.front();  // trimmed at a line start
}

}  // namespace
