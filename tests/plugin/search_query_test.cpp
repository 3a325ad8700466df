// The SORRELWICK option words and the query verb's decision, in-process against recording query
// services: what each word stores, and which of re-send, re-sort and new search each change leads
// to, with the exact arguments the host receives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/dispatcher.h"
#include "plugin/settings.h"
#include "search/query_command.h"
#include "search/query_results.h"
#include "tests/plugin/search_fake_host.h"

using namespace search_test;

namespace {

constexpr const char* EMPTY_RESULTS = "200-Query results\r\n RESULT_COUNT 0\r\n200 End.\r\n";

class SearchQueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host_install(&host);
        client = fake_client_create();
        saved_disk_access = settings.allow_disk_access;
    }
    void TearDown() override {
        settings.allow_disk_access = saved_disk_access;
        fake_client_destroy(client);
        fake_host_remove();
    }

    std::string send(const char* word, const char* value = "") {
        query_command(client, word, value);
        return fake_client_take_replies(client);
    }

    // A query verb that started a search, completed by the host's event.
    void search_and_complete() {
        size_t searches = host.searches.size();
        EXPECT_EQ(send("query"), "");
        ASSERT_EQ(host.searches.size(), searches + 1);
        query_event_callback(client, DB_QUERY_EVENT_SEARCH_DONE);
        EXPECT_EQ(client->results_pending, 0u);
        fake_client_take_replies(client);
    }

    FakeHost host;
    FtpClient* client = nullptr;
    int32_t saved_disk_access = 0;
};

TEST_F(SearchQueryTest, FilterBitsSetAndClearOneAtATime) {
    const struct {
        const char* word;
        uint32_t bit;
        const char* label;
    } bits[] = {
        {"filter_case", 0x1, "Filter case"},
        {"filter_whole_word", 0x2, "Filter whole word"},
        {"filter_path", 0x4, "Filter path"},
        {"filter_diacritics", 0x8, "Filter diacritics"},
        {"filter_regex", 0x10, "Filter regex"},
        {"filter_prefix", 0x20, "Filter prefix"},
        {"filter_suffix", 0x40, "Filter suffix"},
        {"filter_ignore_punctuation", 0x80, "Filter ignore punctuation"},
        {"filter_ignore_whitespace", 0x100, "Filter ignore whitespace"},
    };
    uint32_t expected = 0;
    for (const auto& bit : bits) {
        SCOPED_TRACE(bit.word);
        EXPECT_EQ(send(bit.word, "5"), std::string("200 ") + bit.label + " set to (1).\r\n");
        expected |= bit.bit;
        EXPECT_EQ(client->filter_flags, expected);
    }
    EXPECT_EQ(expected, 0x1FFu);
    for (const auto& bit : bits) {
        SCOPED_TRACE(bit.word);
        EXPECT_EQ(send(bit.word, "0"), std::string("200 ") + bit.label + " set to (0).\r\n");
        EXPECT_EQ(client->filter_flags, 0x1FFu & ~bit.bit);
        EXPECT_EQ(send(bit.word, "1"), std::string("200 ") + bit.label + " set to (1).\r\n");
        EXPECT_EQ(client->filter_flags, 0x1FFu);
    }
}

TEST_F(SearchQueryTest, SortTable) {
    const struct {
        const char* name;
        int property;
        uint32_t ascending;
    } rows[] = {
        {"name_ascending", 0, 1}, {"name_descending", 0, 0},
        {"path_ascending", 1, 1}, {"path_descending", 1, 0},
        {"size_ascending", 2, 1}, {"size_descending", 2, 0},
        {"inverse_size_ascending", 2, 0}, {"inverse_size_descending", 2, 1},
        {"extension_ascending", 3, 1}, {"extension_descending", 3, 0},
        {"date_created_ascending", 6, 1}, {"date_created_descending", 6, 0},
        {"date_modified_ascending", 5, 1}, {"date_modified_descending", 5, 0},
        {"attributes_ascending", 8, 1}, {"attributes_descending", 8, 0},
        {"file_list_filename_ascending", 12, 1}, {"file_list_filename_descending", 12, 0},
        {"date_recently_changed_ascending", 9, 1}, {"date_recently_changed_descending", 9, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(send("sort", row.name), std::string("200 Sort set to (") + row.name + ").\r\n");
        EXPECT_EQ(client->sort_property, fake_property(row.property));
        EXPECT_EQ(client->sort_ascending, row.ascending);
    }
    EXPECT_EQ(send("sort", "DATE_MODIFIED_DESCENDING"), "200 Sort set to (DATE_MODIFIED_DESCENDING).\r\n");
    EXPECT_EQ(client->sort_property, fake_property(5));
    EXPECT_EQ(client->sort_ascending, 0u);
}

TEST_F(SearchQueryTest, UnknownSortChangesNothing) {
    ASSERT_EQ(send("sort", "size_descending"), "200 Sort set to (size_descending).\r\n");
    for (const char* name : {"size", "", "size_descending ", "name"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(send("sort", name), "500 Unknown sort type.\r\n");
        EXPECT_EQ(client->sort_property, fake_property(2));
        EXPECT_EQ(client->sort_ascending, 0u);
    }
    // A name the table knows, whose property the host lacks.
    host.missing_properties = {12};
    EXPECT_EQ(send("sort", "file_list_filename_ascending"), "500 Unknown sort type.\r\n");
    EXPECT_EQ(client->sort_property, fake_property(2));
    EXPECT_EQ(client->sort_ascending, 0u);
}

TEST_F(SearchQueryTest, UnknownWords) {
    for (const char* word : {"frobnicate", "", "cases", "filter_search_", "sort_"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(send(word, "1"), "500 Unknown Sorrelwick command.\r\n");
    }
    EXPECT_EQ(client->match_case, 0u);
    EXPECT_TRUE(host.searches.empty());
}

TEST_F(SearchQueryTest, FirstQuerySearchesWithTheFortyOneArguments) {
    settings.allow_disk_access = 1;
    EXPECT_EQ(send("query"), "");
    ASSERT_EQ(host.searches.size(), 1u);
    EXPECT_TRUE(host.sorts.empty());
    const SearchCall& call = host.searches[0];
    const uint64_t expected[42] = {
        0,
        reinterpret_cast<uintptr_t>(fake_query()),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 2-11: the ten flags, all off
        1, 1,                          // 12, 13
        0,                             // 14: text
        0,                             // 15: filter flags
        0, 0,                          // 16, 17: texts
        0, 0, 0xFFFFFFFFu, 1,          // 18-21
        reinterpret_cast<uintptr_t>(fake_property(0)), 1,  // 22, 23
        0, 0, 0,                       // 24-26
        0, 0, 0, 0, 0, 0, 0, 0, 0,     // 27-35
        1,                             // 36: allow_disk_access
        0, 0, 0,                       // 37-39
        1, 0,                          // 40, 41
    };
    for (int position = 1; position <= 41; position++) {
        EXPECT_EQ(call.arguments[position], expected[position]) << "argument " << position;
    }
    EXPECT_EQ(call.search_text, "");
    EXPECT_EQ(call.filter_search_text, "");
    EXPECT_EQ(call.filter_macro, "");
    EXPECT_EQ(call.results_pending, 1u);
    EXPECT_EQ(call.last_query_valid, 1u);
    EXPECT_EQ(client->results_pending, 1u);
}

TEST_F(SearchQueryTest, SearchPassesEveryOptionInItsPosition) {
    const char* words[] = {"case", "whole_word", "path", "diacritics", "prefix", "suffix",
                           "ignore_punctuation", "ignore_whitespace", "regex", "hide_empty_search_results"};
    for (const char* word : words) send(word, "1");
    send("search", "a b");
    send("filter_search", "c");
    send("filter_regex", "1");
    send("filter_suffix", "1");
    send("sort", "date_created_descending");
    send("size_column", "1");
    send("offset", "3");
    send("count", "9");
    settings.allow_disk_access = 0;
    EXPECT_EQ(send("query"), "");
    ASSERT_EQ(host.searches.size(), 1u);
    const SearchCall& call = host.searches[0];
    for (int position = 2; position <= 11; position++) {
        EXPECT_EQ(call.arguments[position], 1u) << "argument " << position;
    }
    EXPECT_EQ(call.search_text, "a b");
    EXPECT_EQ(call.last_search_text, "a b");
    EXPECT_EQ(call.arguments[15], 0x50u);
    EXPECT_EQ(call.filter_search_text, "c");
    EXPECT_EQ(call.arguments[20], 0xFFFFFFFFu);  // the window never reaches the host
    EXPECT_EQ(call.arguments[22], reinterpret_cast<uintptr_t>(fake_property(6)));
    EXPECT_EQ(call.arguments[23], 0u);
    EXPECT_EQ(call.arguments[36], 0u);
    // The copies were taken before the call.
    EXPECT_EQ(client->last_match_regex, 1u);
    EXPECT_EQ(client->last_filter_flags, 0x50u);
    EXPECT_EQ(client->last_size_column, 1u);
    EXPECT_EQ(client->last_sort_property, fake_property(6));
    EXPECT_EQ(client->last_sort_ascending, 0u);
    EXPECT_STREQ(client->last_filter_search_text, "c");
    EXPECT_NE(client->last_search_text, client->search_text);  // a copy of its own
}

TEST_F(SearchQueryTest, UnchangedOptionsResendAtOnce) {
    host.results = {fake_result("a.txt", "root", false), fake_result("b", "root", true),
                    fake_result("c.txt", "root\\b", false)};
    search_and_complete();
    EXPECT_EQ(send("query"),
              "200-Query results\r\n RESULT_COUNT 3\r\n FILE a.txt\r\n FOLDER b\r\n FILE c.txt\r\n200 End.\r\n");
    EXPECT_EQ(client->results_pending, 0u);
    // A new window, the same text set again and an equal sort are no change either.
    send("offset", "1");
    send("count", "1");
    send("search", "");
    send("sort", "NAME_ASCENDING");
    EXPECT_EQ(send("query"), "200-Query results\r\n RESULT_COUNT 3\r\n FOLDER b\r\n200 End.\r\n");
    EXPECT_EQ(host.searches.size(), 1u);
    EXPECT_TRUE(host.sorts.empty());
}

TEST_F(SearchQueryTest, AscendingFlagsCompareAsTruthValues) {
    search_and_complete();
    client->sort_ascending = 2;
    EXPECT_EQ(send("query"), EMPTY_RESULTS);
    EXPECT_TRUE(host.sorts.empty());
}

TEST_F(SearchQueryTest, SortOnlyChangeResorts) {
    search_and_complete();
    send("sort", "size_descending");
    EXPECT_EQ(send("query"), "");
    EXPECT_EQ(host.searches.size(), 1u);
    ASSERT_EQ(host.sorts.size(), 1u);
    const SortCall& call = host.sorts[0];
    const uint64_t expected[12] = {0, reinterpret_cast<uintptr_t>(fake_query()),
                                   reinterpret_cast<uintptr_t>(fake_property(2)), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int position = 1; position <= 11; position++) {
        EXPECT_EQ(call.arguments[position], expected[position]) << "argument " << position;
    }
    EXPECT_EQ(call.results_pending, 1u);
    EXPECT_EQ(call.last_sort_property, reinterpret_cast<uintptr_t>(fake_property(2)));
    EXPECT_EQ(call.last_sort_ascending, 0u);
    // Only the direction: a re-sort too. Then the reply comes from the event, once.
    query_event_callback(client, DB_QUERY_EVENT_SORT_DONE);
    fake_client_take_replies(client);
    send("sort", "inverse_size_descending");
    EXPECT_EQ(send("query"), "");
    ASSERT_EQ(host.sorts.size(), 2u);
    EXPECT_EQ(host.sorts[1].arguments[3], 1u);
    EXPECT_EQ(host.searches.size(), 1u);
    // Back to a sort equal to the last one: re-sent at once.
    query_event_callback(client, DB_QUERY_EVENT_SORT_DONE);
    fake_client_take_replies(client);
    send("sort", "size_ascending");
    EXPECT_EQ(send("query"), EMPTY_RESULTS);
    EXPECT_EQ(host.sorts.size(), 2u);
}

TEST_F(SearchQueryTest, EveryOptionChangeSearchesAnew) {
    const struct {
        const char* word;
        const char* value;
    } changes[] = {
        {"case", "1"}, {"whole_word", "1"}, {"path", "1"}, {"diacritics", "1"}, {"prefix", "1"},
        {"suffix", "1"}, {"ignore_punctuation", "1"}, {"ignore_whitespace", "1"}, {"regex", "1"},
        {"hide_empty_search_results", "1"}, {"search", "x"}, {"filter_search", "y"}, {"filter_case", "1"},
        {"filter_whole_word", "1"}, {"filter_path", "1"}, {"filter_diacritics", "1"}, {"filter_regex", "1"},
        {"filter_prefix", "1"}, {"filter_suffix", "1"}, {"filter_ignore_punctuation", "1"},
        {"filter_ignore_whitespace", "1"}, {"filter_case", "0"}, {"size_column", "1"}, {"size_column", "2"},
        {"attributes_column", "1"}, {"date_modified_column", "1"}, {"date_created_column", "1"},
        {"path_column", "1"}, {"file_list_filename_column", "1"}, {"date_recently_changed_column", "1"},
    };
    search_and_complete();
    for (const auto& change : changes) {
        SCOPED_TRACE(std::string(change.word) + " " + change.value);
        send(change.word, change.value);
        search_and_complete();
    }
    // A search also carries a sort change along, without a separate re-sort.
    send("sort", "path_descending");
    send("case", "0");
    search_and_complete();
    EXPECT_TRUE(host.sorts.empty());
    EXPECT_EQ(host.searches.back().arguments[22], reinterpret_cast<uintptr_t>(fake_property(1)));
    EXPECT_EQ(send("query"), EMPTY_RESULTS);
}

TEST_F(SearchQueryTest, AbortedResultsAreResentByTheNextUnchangedQuery) {
    host.results = {fake_result("z.mp3", "root", false)};
    EXPECT_EQ(send("query"), "");
    // The dispatcher cancels owed results when a command line arrives first.
    client->results_pending = 0;
    query_event_callback(client, DB_QUERY_EVENT_SEARCH_DONE);
    EXPECT_EQ(fake_client_take_replies(client), "");
    EXPECT_EQ(send("query"), "200-Query results\r\n RESULT_COUNT 1\r\n FILE z.mp3\r\n200 End.\r\n");
    EXPECT_EQ(host.searches.size(), 1u);
}

// Results of a search or sort still running are owed, not read at once: reading them would wait
// for the host on the user-interface thread.
TEST_F(SearchQueryTest, UnchangedQueryBeforeTheRunningSearchEndsOwesTheResults) {
    const std::string reply = "200-Query results\r\n RESULT_COUNT 1\r\n FILE z.mp3\r\n200 End.\r\n";
    host.results = {fake_result("z.mp3", "root", false)};
    EXPECT_EQ(send("query"), "");
    std::vector<char> noop = {'N', 'O', 'O', 'P', '\0'};
    client_execute(client, noop.data());
    EXPECT_EQ(fake_client_take_replies(client), "426 Query aborted.\r\n200 OK.\r\n");

    EXPECT_EQ(send("query"), "");
    EXPECT_EQ(client->results_pending, 1u);
    EXPECT_EQ(host.result_count_reads, 0u);
    client_execute(client, noop.data());  // the 426 rule holds for these owed results too
    EXPECT_EQ(fake_client_take_replies(client), "426 Query aborted.\r\n200 OK.\r\n");
    EXPECT_EQ(send("query"), "");
    query_event_callback(client, DB_QUERY_EVENT_SEARCH_DONE);
    EXPECT_EQ(fake_client_take_replies(client), reply);
    EXPECT_EQ(send("query"), reply);  // finished now: re-sent at once

    // The same for a re-sort.
    send("sort", "size_descending");
    EXPECT_EQ(send("query"), "");
    client->results_pending = 0;
    EXPECT_EQ(send("query"), "");
    EXPECT_EQ(host.sorts.size(), 1u);
    query_event_callback(client, DB_QUERY_EVENT_SORT_DONE);
    EXPECT_EQ(fake_client_take_replies(client), reply);
    EXPECT_EQ(host.searches.size(), 1u);
}

}  // namespace
