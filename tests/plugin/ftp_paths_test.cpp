// FTP path arguments to index paths, and LIST's argument filter, as input/output tables.
#include <gtest/gtest.h>

#include <string>

#include "ftp/paths.h"
#include "ftp/listing.h"
#include "host/services.h"
#include "server/client.h"

namespace {

class PathTables : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(host_services_bind(host::lookup_service), 1); }
};

struct ResolveCase {
    const char* current_directory;
    const char* argument;
    const char* index_path;
};

constexpr ResolveCase RESOLVE_CASES[] = {
    // Absolute arguments: one leading slash dropped, the rest become backslashes.
    {"", "/", ""},
    {"", "/C:", "C:"},
    {"", "C:/Windows/", "C:\\Windows"},
    {"", "/C:/Windows/", "C:\\Windows"},
    {"C:\\Users", "/D:/data", "D:\\data"},
    // The second slash survives as one backslash, which the canonical form drops; a network share
    // needs its two backslashes after the dropped slash.
    {"", "//server/share", "server\\share"},
    {"", "///server/share", "\\\\server\\share"},
    {"", "/a//b", "a\\b"},
    {"", "/a/b//", "a\\b"},
    // Relative arguments join the current folder.
    {"", "", ""},
    {"", "C:", "C:"},
    {"C:", "Windows", "C:\\Windows"},
    {"C:", "", "C:"},
    {"C:\\Users", "me/docs", "C:\\Users\\me\\docs"},
    {"C:\\Users", "me\\docs", "C:\\Users\\me\\docs"},
    // "." and "..".
    {"C:\\Windows", "..", "C:"},
    {"C:\\Windows", "../Users/./me", "C:\\Users\\me"},
    {"C:\\Windows", "/C:/Windows/../Users", "C:\\Users"},
    {"C:", "../..", ""},
    {"", "..", ""},
    {"C:\\a\\b", "./", "C:\\a\\b"},
};

TEST_F(PathTables, ResolveGivesTheIndexPath) {
    for (const ResolveCase& entry : RESOLVE_CASES) {
        FtpClient client = {};
        client.current_directory = utf8_string_alloc_utf8_string(entry.current_directory);
        Utf8Buf path;
        utf8_buf_init(&path);
        path_resolve(&client, entry.argument, &path);
        EXPECT_EQ(std::string(path.text, path.length), entry.index_path)
            << "current \"" << entry.current_directory << "\", argument \"" << entry.argument << "\"";
        utf8_buf_kill(&path);
        mem_free(client.current_directory);
    }
}

struct FilterCase {
    const char* argument;
    const char* path;
};

constexpr FilterCase FILTER_CASES[] = {
    {"", ""},
    {"-la", ""},
    {" -a -l\t-R  ", ""},
    {"-la /Music", "/Music"},
    // After the leading option words the path stands as written, blanks and dashes kept.
    {"My Music", "My Music"},
    {"my-notes", "my-notes"},
    {"-la 2024-01-05 photos", "2024-01-05 photos"},
    {"/Music -la", "/Music -la"},
    {"dir ", "dir "},
    {"caf\xc3\xa9 bar", "caf\xc3\xa9 bar"},
    // One pair of quotes round the rest goes; a name that begins with '-' is reached as ./-name.
    {"\"My Music\"", "My Music"},
    {"-l \"-dash\"", "-dash"},
    {"\"a\"b\"", "a\"b"},
    {"\"unterminated  blank", "\"unterminated  blank"},
    {"\"", "\""},
    {"./-dash", "./-dash"},
    {"-la -dash", ""},
};

TEST_F(PathTables, ListFilterDropsLeadingOptionWordsAndOnePairOfQuotes) {
    for (const FilterCase& entry : FILTER_CASES) {
        Utf8Buf path;
        utf8_buf_init(&path);
        list_filter_argument(entry.argument, &path);
        EXPECT_EQ(std::string(path.text, path.length), entry.path) << "argument \"" << entry.argument << "\"";
        utf8_buf_kill(&path);
    }
}

}  // namespace
