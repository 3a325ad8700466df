// Index paths: joins and canonical forms as input/output tables.
#include <gtest/gtest.h>

#include <string>

#include "tests/host/host_test_support.h"

namespace {

std::string joined(const char* path, const char* name) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_path_cat_filename(&buffer, path, name);
    std::string text = buffer_text(buffer);
    host::utf8_buf_kill(&buffer);
    return text;
}

std::string canonical(const std::string& path) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_copy_utf8_string(&buffer, path.c_str());
    host::utf8_buf_path_canonicalize(&buffer);
    std::string text = buffer_text(buffer);
    host::utf8_buf_kill(&buffer);
    return text;
}

TEST(HostPaths, JoinWithOneBackslash) {
    EXPECT_EQ(joined("C:", "Windows"), "C:\\Windows");
    EXPECT_EQ(joined("C:\\Windows", ".."), "C:\\Windows\\..");
    EXPECT_EQ(joined("share\\", "a.txt"), "share\\a.txt");
    EXPECT_EQ(joined("", "a.txt"), "a.txt");
    EXPECT_EQ(joined("a", ""), "a\\");
}

TEST(HostPaths, JoinIntoTheBufferThatHoldsTheFolder) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_copy_utf8_string(&buffer, "music");
    host::utf8_buf_path_cat_filename(&buffer, buffer.text, "track.flac");
    EXPECT_EQ(buffer_text(buffer), "music\\track.flac");
    std::string long_name(400, 'n');
    host::utf8_buf_path_cat_filename(&buffer, buffer.text, long_name.c_str());
    EXPECT_EQ(buffer_text(buffer), "music\\track.flac\\" + long_name);
    host::utf8_buf_kill(&buffer);
}

TEST(HostPaths, CanonicalForms) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"C:", "C:"},
        {"C:\\Windows", "C:\\Windows"},
        {"C:\\Windows\\", "C:\\Windows"},
        {".", ""},
        {"..", ""},
        {"..\\..", ""},
        {"C:\\..", ""},
        {"C:\\..\\..\\D:", "D:"},
        {"C:\\Windows\\..", "C:"},
        {"C:\\.\\Windows\\.\\System32", "C:\\Windows\\System32"},
        {"a\\\\b", "a\\b"},
        {"\\a", "a"},
        {"a\\b\\..\\..\\c", "c"},
        {"a\\...\\b", "a\\...\\b"},
        {"a\\..b\\c.", "a\\..b\\c."},
        {"\\\\server\\share\\x\\..", "\\\\server\\share"},
        {"\\\\server\\.\\share", "\\\\server\\share"},
        {"\\\\..", ""},
        {"\\\\\\a", "\\\\a"},
        {"caf\xc3\xa9\\.\\d", "caf\xc3\xa9\\d"},
    };
    for (const Case& c : cases) EXPECT_EQ(canonical(c.path), c.expected) << c.path;
}

}  // namespace
