// Files: the local application-data folder, trimming an oversized log, output streams, file
// pointers and time stamps.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/host_folders.h"
#include "tests/host/host_test_support.h"

namespace {

class HostFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("swp-files-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        const char* state = std::getenv("XDG_STATE_HOME");
        saved_state_ = state != nullptr ? state : "";
        had_state_ = state != nullptr;
        setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
    }
    void TearDown() override {
        if (had_state_) setenv("XDG_STATE_HOME", saved_state_.c_str(), 1);
        else unsetenv("XDG_STATE_HOME");
        std::filesystem::remove_all(folder_);
    }
    std::string file(const char* name) const { return (folder_ / name).string(); }
    static void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string app_data(const char* name, const char* extension = nullptr) {
        Utf8Buf path;
        host::utf8_buf_init(&path);
        if (extension == nullptr) host::os_get_local_app_data_path_cat_filename(name, &path);
        else host::os_get_local_app_data_path_cat_make_filename(name, extension, &path);
        std::string text = buffer_text(path);
        host::utf8_buf_kill(&path);
        return text;
    }

    std::filesystem::path folder_;
    std::string saved_state_;
    bool had_state_ = false;
};

TEST_F(HostFilesTest, LocalAppDataPaths) {
    std::string state = (folder_ / "state" / "swp-host").string();
    EXPECT_EQ(host::local_app_data_folder(), state);
    EXPECT_EQ(app_data("Logs\\SWP_Server_Log", ".txt"), state + "/Logs/SWP_Server_Log.txt");
    EXPECT_EQ(app_data("my.log"), state + "/my.log");
    EXPECT_EQ(app_data("/var/log/swp.log"), "/var/log/swp.log");
    setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored, as the convention says
    EXPECT_EQ(host::local_app_data_folder().rfind("/.local/state/swp-host"),
              host::local_app_data_folder().size() - std::string("/.local/state/swp-host").size());
}

TEST_F(HostFilesTest, MissingFoldersAreCreated) {
    std::string path = file("a/b/c/log.txt");
    EXPECT_EQ(host::os_make_sure_path_to_file_exists(path.c_str()), 1);
    EXPECT_TRUE(std::filesystem::is_directory(folder_ / "a" / "b" / "c"));
    EXPECT_EQ(host::os_make_sure_path_to_file_exists(path.c_str()), 1);
    write(file("plain"), "x");
    EXPECT_EQ(host::os_make_sure_path_to_file_exists(file("plain/inside.txt").c_str()), 0);
}

TEST_F(HostFilesTest, ResizeKeepsTheNewestLinesFromALineStart) {
    std::string path = file("log.txt");
    std::string text;
    for (int line = 0; line < 100; ++line) text += "line " + std::to_string(line) + " of the log\r\n";
    write(path, text);  // 100 lines of 17 or 18 bytes

    EXPECT_EQ(host::os_resize_file(path.c_str(), static_cast<int64_t>(text.size()), 100), 1);
    EXPECT_EQ(read(path), text);  // not larger than the limit: untouched

    EXPECT_EQ(host::os_resize_file(path.c_str(), 1000, 500), 1);
    std::string kept = read(path);
    EXPECT_LE(kept.size(), 500u);
    EXPECT_GT(kept.size(), 450u);
    EXPECT_EQ(kept.rfind("line ", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - kept.size()), kept);
    EXPECT_FALSE(std::filesystem::exists(path + ".trim"));
}

TEST_F(HostFilesTest, ResizeCopiesANewestPartLargerThanOneBlock) {
    std::string path = file("big.txt");
    std::string text;
    for (int line = 0; text.size() < 300000; ++line) text += std::to_string(line) + ": " + std::string(line % 97, 'x') + "\n";
    write(path, text);
    EXPECT_EQ(host::os_resize_file(path.c_str(), 200000, 20000), 1);
    std::string kept = read(path);
    EXPECT_LE(kept.size(), 180000u);
    EXPECT_GT(kept.size(), 180000u - 120);
    EXPECT_EQ(text[text.size() - kept.size() - 1], '\n');
    EXPECT_EQ(text.substr(text.size() - kept.size()), kept);
}

TEST_F(HostFilesTest, ResizeEdgeCases) {
    std::string path = file("log.txt");
    write(path, "one long line without an end");
    EXPECT_EQ(host::os_resize_file(path.c_str(), 10, 2), 1);
    EXPECT_EQ(read(path), "");  // no line starts in the newest part

    write(path, "aaaa\nbbbb\n");
    EXPECT_EQ(host::os_resize_file(path.c_str(), 6, 1), 1);  // keep about 5 bytes: "bbbb\n"
    EXPECT_EQ(read(path), "bbbb\n");

    write(path, "aaaa\nbbbb\n");
    EXPECT_EQ(host::os_resize_file(path.c_str(), 4, 10), 1);  // delta above the limit keeps nothing
    EXPECT_EQ(read(path), "");

    write(path, "aaaa\nbbbb\n");
    EXPECT_EQ(host::os_resize_file(path.c_str(), 0, 0), 1);  // no limit
    EXPECT_EQ(read(path), "aaaa\nbbbb\n");

    EXPECT_EQ(host::os_resize_file(file("missing.txt").c_str(), 10, 2), 1);
    EXPECT_FALSE(std::filesystem::exists(file("missing.txt")));
}

TEST_F(HostFilesTest, OutputStreamsAppend) {
    std::string path = file("stream.txt");
    write(path, "old\r\n");
    SorrelwickOutputStream* stream = host::output_stream_append_file(path.c_str());
    ASSERT_NE(stream, nullptr);
    host::output_stream_write_printf(stream, "%s: ", "2024-01-31 15:45:00");
    host::output_stream_write_printf(stream, "%p: %s", reinterpret_cast<void*>(4), "Connected.\r\n");
    EXPECT_EQ(read(path), "old\r\n2024-01-31 15:45:00: 0000000000000004: Connected.\r\n");  // written at once
    host::output_stream_close(stream);
    EXPECT_EQ(host::output_stream_append_file(file("no/such/folder/x.txt").c_str()), nullptr);

    std::string created = file("created.txt");
    stream = host::output_stream_append_file(created.c_str());
    ASSERT_NE(stream, nullptr);
    host::output_stream_close(stream);
    EXPECT_EQ(std::filesystem::status(created).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    host::output_stream_close(nullptr);
}

// A disk that fills and frees again, made with the file-size limit (writes past it fail as on a
// full disk): lines stay whole, the failure is reported once, and writing resumes with space.
TEST_F(HostFilesTest, OutputStreamKeepsLinesWholeThroughAFullDisk) {
    std::string path = file("full.txt");
    // Long enough that the captured console, a file too, stays below the limit.
    std::string old = std::string(2000, 'o') + "\r\nfragment of a line cut by a crash";
    write(path, old);
    SorrelwickOutputStream* stream = host::output_stream_append_file(path.c_str());
    ASSERT_NE(stream, nullptr);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = old.size() + 100;
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int line = 0; line < 6; ++line) host::output_stream_write_printf(stream, "line %d of thirty bytes..\r\n", line);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    host::output_stream_write_printf(stream, "%s\r\n", "space again");
    host::output_stream_write_printf(stream, "%s\r\n", "and more");
    std::string console = ::testing::internal::GetCapturedStderr();
    std::signal(SIGXFSZ, previous);
    host::output_stream_close(stream);

    EXPECT_EQ(read(path), old + "\r\nline 0 of thirty bytes..\r\nline 1 of thirty bytes..\r\n"
                                "line 2 of thirty bytes..\r\nspace again\r\nand more\r\n");
    EXPECT_EQ(console, "swp-host: cannot write to " + path +
                           ": the file has reached the size limit (error 223); what it should hold is lost until "
                           "it can be written again\nswp-host: " + path + " is written again\n");
}

TEST_F(HostFilesTest, FilePointerRefusesOffsetsPastTheEnd) {
    std::string path = file("data.bin");
    write(path, "0123456789");
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_NE(host::os_set_file_pointer(handle, 4, FILE_BEGIN), 0);
    char bytes[4] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle, bytes, 3, &got, nullptr));
    EXPECT_EQ(std::string(bytes, got), "456");
    EXPECT_NE(host::os_set_file_pointer(handle, 10, FILE_BEGIN), 0);  // the end itself is fine
    EXPECT_EQ(host::os_set_file_pointer(handle, 11, FILE_BEGIN), 0);
    EXPECT_EQ(host::os_set_file_pointer(handle, UINT64_MAX, FILE_BEGIN), 0);
    CloseHandle(handle);
}

TEST(HostTime, FileTimesBecomeLocalCalendarTimes) {
    uint64_t now = host::os_get_system_time_as_file_time();
    EXPECT_GT(now, 133000000000000000ull);  // after 2022
    SYSTEMTIME local;
    host::os_filetime_to_localtime(&local, now);
    EXPECT_GE(local.wYear, 2022);
    EXPECT_GE(local.wMonth, 1);
    EXPECT_LE(local.wMonth, 12);

    host::os_filetime_to_localtime(&local, INDEXED_UNKNOWN);
    EXPECT_EQ(local.wYear, 1980);
    EXPECT_EQ(local.wMonth, 1);
    EXPECT_EQ(local.wDay, 1);

    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::utf8_buf_format_filetime(&text, INDEXED_UNKNOWN);
    EXPECT_EQ(buffer_text(text), "1980-01-01 00:00:00");
    host::utf8_buf_format_filetime(&text, now);
    EXPECT_EQ(text.length, 19u);
    EXPECT_EQ(text.text[4], '-');
    EXPECT_EQ(text.text[10], ' ');
    EXPECT_EQ(text.text[16], ':');
    host::utf8_buf_kill(&text);
}

}  // namespace
