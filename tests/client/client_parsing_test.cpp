// swp-search's pure parts as input/output tables: the command line, the URL, the netrc file,
// index paths, reply codes, the results reply, MLSD lines, passive replies, local paths and JSON
// text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/control_connection.h"
#include "client/data_connection.h"
#include "client/folder_walk.h"
#include "client/ftp_url.h"
#include "client/index_path.h"
#include "client/local_files.h"
#include "client/netrc.h"
#include "client/result_output.h"
#include "client/results_reply.h"

namespace client {
namespace {

bool parse_command_line(std::vector<std::string> words, ClientOptions* options, std::string* error) {
    words.insert(words.begin(), "swp-search");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    *options = ClientOptions();
    return client_options_parse(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(CommandLineTest, GroupedFlagsValuesAndOperands) {
    ClientOptions options;
    std::string error;
    ASSERT_TRUE(parse_command_line({"-lRn5", "--get=out", "--sort", "SIZE_descending", "--offset", "7", "-w",
                                    "ftp://h", "--", "-not-a-flag", "two"},
                                   &options, &error))
        << error;
    EXPECT_EQ(options.style.form, OutputForm::LONG);
    EXPECT_TRUE(options.recursive);
    EXPECT_EQ(options.count, 5u);
    EXPECT_EQ(options.offset, 7u);
    EXPECT_EQ(options.get_folder, "out");
    EXPECT_EQ(options.url, "ftp://h");
    EXPECT_EQ(options.text, "-not-a-flag two");
    EXPECT_EQ(client_setting(options, "sort"), "SIZE_descending");
    EXPECT_EQ(client_setting(options, "whole_word"), "1");
    ASSERT_TRUE(parse_command_line({"--case", "-i", "--all", "ftp://h", ""}, &options, &error)) << error;
    EXPECT_EQ(client_setting(options, "case"), "0") << "the later flag wins";
    EXPECT_EQ(options.count, COUNT_ALL);
    EXPECT_EQ(options.text, "");

    const std::vector<std::vector<std::string>> refused = {
        {"--sort", "size", "ftp://h", "x"}, {"--json=1", "ftp://h", "x"},  {"ftp://h", "x", "-n"},
        {"-n", "x5", "ftp://h", "x"},       {"--count=4294967296", "ftp://h", "x"},
        {"--bogus", "ftp://h", "x"},        {"-R", "ftp://h", "x"},        {"ftp://h"},
        {"ftp://h", "a\nb"},               {"--filter", "a\rb", "ftp://h", "x"}};
    for (const std::vector<std::string>& words : refused)
        EXPECT_FALSE(parse_command_line(words, &options, &error)) << words.front() << " " << words.back();
}

TEST(FtpUrlTest, PartsAndRefusals) {
    FtpUrl url;
    std::string error;
    ASSERT_TRUE(ftp_url_parse("ftp://me:p%40ss%3Aw@[::1]:2121/", &url, &error)) << error;
    EXPECT_EQ(url.user, "me");
    EXPECT_EQ(url.password, "p@ss:w");
    EXPECT_TRUE(url.has_password);
    EXPECT_EQ(url.host, "::1");
    EXPECT_EQ(url.port, "2121");
    EXPECT_EQ(url.base, "ftp://me@[::1]:2121") << "the password is never part of a printed URL";
    ASSERT_TRUE(ftp_url_parse("ftp://nas.local", &url, &error));
    EXPECT_EQ(url.port, "21");
    EXPECT_FALSE(url.has_password);
    for (const char* bad : {"http://nas", "ftp://", "ftp://h:0", "ftp://h:70000", "ftp://h:", "ftp://h/share",
                            "ftp://a%0D%0AQUIT@h", "ftp://u:%zz@h", "ftp://[::1"})
        EXPECT_FALSE(ftp_url_parse(bad, &url, &error)) << bad;
    EXPECT_EQ(url_path_encode("/a b/100%/x#y?z/é"), "/a%20b/100%25/x%23y%3Fz/%C3%A9");
}

TEST(NetrcTest, MachineDefaultAndLogin) {
    const char* text =
        "# comment line\n"
        "machine other login x password y\n"
        "macdef init\ncd /\nls\n\n"
        "machine NAS.local login alice password \"two words\"\n"
        "machine nas.local login bob password b0b\n"
        "default login anonymous password guest\n";
    NetrcLogin found;
    ASSERT_TRUE(netrc_find(text, "nas.local", "", &found));
    EXPECT_EQ(found.login, "alice");
    EXPECT_EQ(found.password, "two words");
    ASSERT_TRUE(netrc_find(text, "nas.local", "bob", &found));
    EXPECT_EQ(found.password, "b0b");
    ASSERT_TRUE(netrc_find(text, "elsewhere", "", &found));
    EXPECT_EQ(found.password, "guest");
    EXPECT_FALSE(netrc_find(text, "elsewhere", "carol", &found));
    EXPECT_FALSE(netrc_find("machine cd login / password ls", "init", "", &found));
}

TEST(IndexPathTest, FtpPathsAsTheServerShowsThem) {
    struct Row {
        const char* folder;
        const char* name;
        const char* ftp;
    };
    const Row rows[] = {
        {"", "share", "/share"},
        {"share\\docs", "a b.txt", "/share/docs/a b.txt"},
        {"C:", "Users", "/C:/Users"},
        {"\\\\server\\share", "dir", "/\\\\server/share/dir"},
    };
    std::string path;
    for (const Row& row : rows) {
        ftp_path_of(row.folder, row.name, &path);
        EXPECT_EQ(path, row.ftp);
    }
}

std::vector<ResultRecord> parse_all(const std::vector<std::string>& lines, uint64_t* total) {
    ResultsParser parser;
    std::vector<ResultRecord> records;
    for (const std::string& line : lines) {
        ResultLine kind = results_parse_line(&parser, line);
        EXPECT_NE(kind, ResultLine::MALFORMED) << line;
        if (kind == ResultLine::RECORD) records.push_back(parser.complete);
    }
    if (results_parse_finish(&parser)) records.push_back(parser.complete);
    *total = parser.total;
    return records;
}

TEST(ResultsReplyTest, GroupsColumnsAndNamesWithLineBreaks) {
    uint64_t total = 0;
    std::vector<ResultRecord> records =
        parse_all({" RESULT_COUNT 7", " PATH share", " ATTRIBUTES 16", " SIZE 18446744073709551615", " FOLDER docs",
                   " PATH share\\docs", " SIZE 42", " DATE_MODIFIED 132537600000000000", " FILE_LIST_FILENAME ",
                   " DATE_RECENTLY_CHANGED 5", " FILE two", "lines", " FILE last"},
                  &total);
    EXPECT_EQ(total, 7u);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].is_folder);
    EXPECT_EQ(records[0].attributes, 16u);
    EXPECT_EQ(records[0].size, UNKNOWN_VALUE);
    EXPECT_EQ(records[1].folder_path, "share\\docs");
    EXPECT_EQ(records[1].name, "two\nlines");
    EXPECT_EQ(records[1].size, 42u);
    EXPECT_EQ(records[1].date_modified, 132537600000000000u);
    EXPECT_EQ(records[1].date_recently_changed, 5u);
    EXPECT_FALSE(records[1].has_attributes);
    EXPECT_EQ(records[2].folder_path, "") << "no PATH line: nothing carried over from the result before";
    EXPECT_EQ(records[2].size, UNKNOWN_VALUE);

    ResultsParser parser;
    for (const char* bad : {"no blank", " SIZE many", " SIZE 18446744073709551616", " WHAT 1"})
        EXPECT_EQ(results_parse_line(&parser, bad), ResultLine::MALFORMED) << bad;
    ASSERT_EQ(results_parse_line(&parser, " FILE x"), ResultLine::NONE);
    const std::string piece(64 * 1024, 'n');
    ResultLine kind = ResultLine::NONE;
    for (int lines = 0; lines < 20 && kind == ResultLine::NONE; ++lines) kind = results_parse_line(&parser, piece);
    EXPECT_EQ(kind, ResultLine::MALFORMED) << "a name that never ends";
}

TEST(FolderListingTest, MlsdLinesAndReplies) {
    struct ReplyRow {
        const char* line;
        int code;
        bool continues;
    };
    for (const ReplyRow& row : {ReplyRow{"220 ok", 220, false}, ReplyRow{"230-more", 230, true},
                                ReplyRow{"200", 200, false}, ReplyRow{"2000 x", 0, false},
                                ReplyRow{"2a0 x", 0, false}, ReplyRow{" 200 x", 0, false}}) {
        EXPECT_EQ(reply_code(row.line), row.code) << row.line;
        EXPECT_EQ(reply_continues(row.line), row.continues) << row.line;
    }

    ListedEntry entry;
    ASSERT_TRUE(mlsd_line_parse("type=file;modify=20240131154500;size=42; a b.txt", &entry));
    EXPECT_EQ(entry.name, "a b.txt");
    EXPECT_FALSE(entry.is_folder);
    EXPECT_EQ(entry.size, 42u);
    ASSERT_TRUE(mlsd_line_parse("Type=dir; sub", &entry));
    EXPECT_TRUE(entry.is_folder);
    EXPECT_EQ(entry.size, UNKNOWN_VALUE);
    for (const char* skipped : {"type=cdir; .", "type=dir; ..", "type=file; a/b", "type=pdir; up", "no-facts"})
        EXPECT_FALSE(mlsd_line_parse(skipped, &entry)) << skipped;

    EXPECT_EQ(passive_reply_port("229 Entering Extended Passive Mode (|||50123|)"), 50123);
    EXPECT_EQ(passive_reply_port("227 Entering Passive Mode. (10,0,0,1,195,149)"), 50069);
    for (const char* bad : {"229 Entering Extended Passive Mode (|||0|)", "227 x (1,2,3,4,5)",
                            "227 x (1,2,3,4,256,1)", "500 Failed to enter passive mode", "229 (|||99999|)"})
        EXPECT_EQ(passive_reply_port(bad), 0) << bad;
}

TEST(LocalFilesTest, PathsStayBelowTheDownloadFolder) {
    std::string local, error;
    ASSERT_TRUE(local_path_for("/tmp/get", "/share/docs/a b.txt", &local, &error));
    EXPECT_EQ(local, "/tmp/get/share/docs/a b.txt");
    ASSERT_TRUE(local_path_for("/tmp/get/", "/\\\\server/share/x", &local, &error));
    EXPECT_EQ(local, "/tmp/get/server/share/x");
    for (const char* hostile : {"/share/../../etc/passwd", "/..", "/share/./x", "/", "//"})
        EXPECT_FALSE(local_path_for("/tmp/get", hostile, &local, &error)) << hostile;
}

TEST(ResultOutputTest, JsonTextAndForms) {
    std::string out;
    json_string_append("a\"b\\c\n\x01 \xc3\xa9 \xff \xed\xa0\x80", &out);
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\u000a\\u0001 \xc3\xa9 \\ufffd \\ufffd\\ufffd\\ufffd\"");

    ResultRecord record;
    record.name = "x";
    record.size = 3;
    record.date_modified = 132539328000001234u;  // 2021-01-01T00:00:00.0001234Z
    OutputStyle style;
    style.form = OutputForm::JSON;
    out.clear();
    result_format(style, record, "/s/x", &out);
    EXPECT_EQ(out, "{\"path\":\"/s/x\",\"type\":\"file\",\"size\":3,\"modified\":\"2021-01-01T00:00:00.0001234Z\","
                   "\"created\":null,\"recently_changed\":null,\"attributes\":null}\n");
    style = OutputStyle();
    style.as_url = true;
    style.nul_ends = true;
    style.url_base = "ftp://h:21";
    out.clear();
    result_format(style, record, "/s/a b", &out);
    EXPECT_EQ(out, std::string("ftp://h:21/s/a%20b\0", 19));
}

}  // namespace
}  // namespace client
