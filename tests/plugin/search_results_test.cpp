// The results reply, in-process against a fake result list: the frame, the window, the columns
// in their order, the folder-size rule, and when the host's events send the reply.
#include <gtest/gtest.h>

#include <string>

#include "search/query_results.h"
#include "tests/plugin/search_fake_host.h"

using namespace search_test;

namespace {

class SearchResultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host_install(&host);
        client = fake_client_create();
    }
    void TearDown() override {
        fake_client_destroy(client);
        fake_host_remove();
    }

    std::string send_results() {
        query_send_results(client);
        return fake_client_take_replies(client);
    }

    void twelve_results() {
        for (int i = 0; i < 12; i++) host.results.push_back(fake_result(("r" + std::to_string(i)).c_str(), "p", i % 3 == 0));
    }

    FakeHost host;
    FtpClient* client = nullptr;
};

FakeResult file(const char* name, uint64_t size, uint32_t attributes = 0x20) {
    FakeResult result = fake_result(name, "top\\docs", false);
    result.fd = {size, 131000000000000000ull, 132000000000000000ull, 133000000000000000ull, attributes};
    result.file_list_filename = "list.efu";
    result.date_recently_changed = 134000000000000000ull;
    return result;
}

FakeResult folder(const char* name, uint64_t size) {
    FakeResult result = file(name, size, 0x10);
    result.folder = true;
    return result;
}

TEST_F(SearchResultsTest, EmptyResultSetGivesTheBareFrame) {
    EXPECT_EQ(send_results(), "200-Query results\r\n RESULT_COUNT 0\r\n200 End.\r\n");
}

TEST_F(SearchResultsTest, NoColumnsGiveOneLinePerResult) {
    host.results = {file("a b.txt", 1), folder("Caf\xc3\xa9", 2)};
    client->size_column = 1;  // the current field; the reply follows the last search's copy
    EXPECT_EQ(send_results(), "200-Query results\r\n RESULT_COUNT 2\r\n FILE a b.txt\r\n FOLDER Caf\xc3\xa9\r\n200 End.\r\n");
    EXPECT_EQ(host.indexed_fd_fetches, 0u);
    EXPECT_EQ(host.file_list_filename_fetches, 0u);
}

TEST_F(SearchResultsTest, Windows) {
    twelve_results();
    const struct {
        uint32_t offset;
        uint32_t count;
        const char* groups;
    } cases[] = {
        {10, 5, " FILE r10\r\n FILE r11\r\n"},
        {0, 2, " FOLDER r0\r\n FILE r1\r\n"},
        {11, 0xFFFFFFFFu, " FILE r11\r\n"},
        {3, 1, " FOLDER r3\r\n"},
        {12, 5, ""},
        {4000000000u, 5, ""},
        {0xFFFFFFFFu, 0xFFFFFFFFu, ""},
        {0, 0, ""},
        {5, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "/" + std::to_string(c.count));
        client->result_offset = c.offset;
        client->result_count = c.count;
        EXPECT_EQ(send_results(), std::string("200-Query results\r\n RESULT_COUNT 12\r\n") + c.groups + "200 End.\r\n");
    }
}

TEST_F(SearchResultsTest, EveryColumnInItsOrder) {
    host.results = {file("a.txt", 42)};
    client->last_size_column = 7;
    client->last_attributes_column = 1;
    client->last_date_modified_column = 1;
    client->last_date_created_column = 1;
    client->last_path_column = 1;
    client->last_file_list_filename_column = 2;
    client->last_date_recently_changed_column = 1;
    EXPECT_EQ(send_results(),
              "200-Query results\r\n"
              " RESULT_COUNT 1\r\n"
              " PATH top\\docs\r\n"
              " ATTRIBUTES 32\r\n"
              " SIZE 42\r\n"
              " DATE_MODIFIED 132000000000000000\r\n"
              " DATE_CREATED 131000000000000000\r\n"
              " FILE_LIST_FILENAME list.efu\r\n"
              " DATE_RECENTLY_CHANGED 134000000000000000\r\n"
              " FILE a.txt\r\n"
              "200 End.\r\n");
    EXPECT_EQ(host.indexed_fd_fetches, 1u);
    EXPECT_EQ(host.file_list_filename_fetches, 1u);
}

TEST_F(SearchResultsTest, FolderSizesUnknownOnlyForFolders) {
    host.results = {folder("docs", 500), file("a.txt", 42), file("huge", 0xFFFFFFFFFFFFFFFEull)};
    client->last_size_column = 1;
    client->last_attributes_column = 1;
    host.folder_sizes_indexed = 0;
    EXPECT_EQ(send_results(),
              "200-Query results\r\n RESULT_COUNT 3\r\n"
              " ATTRIBUTES 16\r\n SIZE 18446744073709551615\r\n FOLDER docs\r\n"
              " ATTRIBUTES 32\r\n SIZE 42\r\n FILE a.txt\r\n"
              " ATTRIBUTES 32\r\n SIZE 18446744073709551614\r\n FILE huge\r\n"
              "200 End.\r\n");
    host.folder_sizes_indexed = 1;
    EXPECT_EQ(send_results(),
              "200-Query results\r\n RESULT_COUNT 3\r\n"
              " ATTRIBUTES 16\r\n SIZE 500\r\n FOLDER docs\r\n"
              " ATTRIBUTES 32\r\n SIZE 42\r\n FILE a.txt\r\n"
              " ATTRIBUTES 32\r\n SIZE 18446744073709551614\r\n FILE huge\r\n"
              "200 End.\r\n");
    // The question goes to the server's index reference.
    ASSERT_EQ(host.folder_size_dbs.size(), 2u);
    EXPECT_EQ(host.folder_size_dbs[0], fake_db());
}

TEST_F(SearchResultsTest, EventsSendOwedResultsOnce) {
    host.results = {file("a.txt", 1)};
    const std::string reply = "200-Query results\r\n RESULT_COUNT 1\r\n FILE a.txt\r\n200 End.\r\n";
    for (int event : {DB_QUERY_EVENT_SEARCH_DONE, DB_QUERY_EVENT_SORT_DONE}) {
        SCOPED_TRACE(event);
        client->results_pending = 1;
        for (int other : {0, 1, 4, 7, -5}) query_event_callback(client, other);
        EXPECT_EQ(fake_client_take_replies(client), "");
        EXPECT_EQ(client->results_pending, 1u);
        query_event_callback(client, event);
        EXPECT_EQ(fake_client_take_replies(client), reply);
        EXPECT_EQ(client->results_pending, 0u);
        query_event_callback(client, DB_QUERY_EVENT_SEARCH_DONE);
        query_event_callback(client, DB_QUERY_EVENT_SORT_DONE);
        EXPECT_EQ(fake_client_take_replies(client), "");
    }
}

}  // namespace
