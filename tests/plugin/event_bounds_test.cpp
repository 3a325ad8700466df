// What one socket event may do, over the scripted socket. A long results reply is written as the
// queue drains and reaches the client byte for byte as the whole reply, with the unsent replies
// within their bound; lines sent meanwhile run after its closing line; a client that leaves
// mid-reply leaks nothing; and a control or data event that stops at its bound kicks itself.
#include <algorithm>
#include <string>

#include "ftp/data_connection.h"
#include "ftp/listing.h"
#include "search/query_results.h"
#include "server/server_window.h"
#include "tests/plugin/client_fixture.h"

using namespace client_test;
using namespace test_support;

namespace {

constexpr size_t RESULTS = 50000;  // about 2.5 MB with the path column: well over the bound
constexpr size_t LONGEST_GROUP = 64;

std::string result_name(size_t index) { return "file_" + std::to_string(index) + ".dat"; }
std::string result_path(size_t index) { return "root\\folder_" + std::to_string(index / 100); }
bool result_is_folder(size_t index) { return index % 7 == 0; }

size_t fake_result_count(SorrelwickDbQuery*) { return RESULTS; }
void fake_result_name(SorrelwickDbQuery*, size_t index, Utf8Buf* name) {
    utf8_buf_copy_utf8_string(name, result_name(index).c_str());
}
void fake_result_path(SorrelwickDbQuery*, size_t index, Utf8Buf* path) {
    utf8_buf_copy_utf8_string(path, result_path(index).c_str());
}
int fake_is_folder(SorrelwickDbQuery*, size_t index) { return result_is_folder(index) ? 1 : 0; }
int fake_folder_sizes(SorrelwickDb*) { return 1; }

// The reply as one piece, built from the same fake results.
std::string whole_reply(size_t offset, size_t count) {
    std::string reply = "200-Query results\r\n RESULT_COUNT " + std::to_string(RESULTS) + "\r\n";
    for (size_t i = offset; i < RESULTS && i < offset + count; i++) {
        reply += " PATH " + result_path(i) + "\r\n";
        reply += std::string(result_is_folder(i) ? " FOLDER " : " FILE ") + result_name(i) + "\r\n";
    }
    return reply + "200 End.\r\n";
}

class ResultsReply : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        lookup_replace("db_query_get_result_count", reinterpret_cast<void*>(&fake_result_count));
        lookup_replace("db_query_get_result_name", reinterpret_cast<void*>(&fake_result_name));
        lookup_replace("db_query_get_result_path", reinterpret_cast<void*>(&fake_result_path));
        lookup_replace("db_query_is_folder_result", reinterpret_cast<void*>(&fake_is_folder));
        lookup_replace("db_is_index_folder_size", reinterpret_cast<void*>(&fake_folder_sizes));
        ASSERT_EQ(host_services_bind(&lookup), 1);
        settings.logging_enabled = 0;
        client_ = connect();
        // A finished search with the path column, so that the query verb re-sends at once.
        client_->login_state = LOGIN_LOGGED_ON;
        client_->path_column = client_->last_path_column = 1;
        client_->last_query_valid = 1;
        client_->query_results_ready = 1;
    }

    // One write event with `room` bytes of socket space; checks what a single event may do.
    bool write_event(size_t room) {
        scripted().send_room = room;
        size_t before = scripted().sent.size();
        take_kicks();
        bool stays = control_event(client_);
        EXPECT_LE(scripted().sent.size() - before, CONTROL_EVENT_SEND_BYTES);
        if (stays) {
            EXPECT_LE(client_->reply_unsent_bytes, RESULTS_UNSENT_MARK + LONGEST_GROUP);
        }
        return stays;
    }

    FtpClient* client_ = nullptr;
};

TEST_F(ResultsReply, WrittenAsTheQueueDrainsAndFollowedByTheLinesSentMeanwhile) {
    scripted().incoming = {"SORRELWICK query\r\nNOOP\r\nSORRELWICK count 2\r\nSORRELWICK query\r\nQUIT\r\n"};
    ASSERT_TRUE(write_event(100000));
    EXPECT_EQ(client_->results_writing, 1u);
    EXPECT_EQ(client_->recv_paused, 1u);
    // A reply that comes from elsewhere meanwhile (a refused data connection) waits for the end.
    client_printf(client_, "500 Failed to connect to IP.\r\n");
    int events = 1;
    while (events < 10000 && write_event(100000)) events++;
    EXPECT_FALSE(alive(client_));
    client_ = nullptr;
    EXPECT_GT(events, 10);
    EXPECT_TRUE(scripted().sent == whole_reply(0, RESULTS) + "500 Failed to connect to IP.\r\n200 OK.\r\n" +
                                       "200 Count set to (2).\r\n" + whole_reply(0, 2) + "221 Goodbye.\r\n");
    EXPECT_EQ(scripted().shutdowns, 1);
}

TEST_F(ResultsReply, ClientLeavingMidReplyLeaksNothing) {
    scripted().incoming = {"SORRELWICK query\r\nNOOP\r\n"};
    ASSERT_TRUE(write_event(100000));
    client_printf(client_, "500 Failed to connect to IP.\r\n");
    ASSERT_TRUE(write_event(100000));
    ASSERT_EQ(client_->results_writing, 1u);
    ASSERT_NE(client_->held_head, nullptr);
    drop(client_);  // the fixture checks that every block was freed
    client_ = nullptr;
}

// A socket that takes everything: each event sends at most its bound and kicks while more is left.
TEST_F(ResultsReply, OneEventSendsAtMostItsBoundAndKicks) {
    const std::string whole = whole_reply(0, RESULTS);
    scripted().incoming = {"SORRELWICK query\r\n"};
    size_t events = 0;
    size_t kicks = 0;
    do {
        size_t before = scripted().sent.size();
        ASSERT_TRUE(control_event(client_));
        events++;
        EXPECT_EQ(scripted().sent.size() - before,
                  std::min(CONTROL_EVENT_SEND_BYTES, whole.size() - before));
        kicks = take_kicks();
    } while (kicks == 1 && events < 1000);
    EXPECT_EQ(kicks, 0u);
    // Full events, and at most one more turn that resumes the reading paused during the reply.
    size_t full_events = (whole.size() + CONTROL_EVENT_SEND_BYTES - 1) / CONTROL_EVENT_SEND_BYTES;
    EXPECT_GE(events, full_events);
    EXPECT_LE(events, full_events + 1);
    EXPECT_TRUE(scripted().sent == whole);
}

class ListingEvents : public ClientTest {};

TEST_F(ListingEvents, OneDataEventSendsAtMostItsBound) {
    FtpClient* client = connect();
    client->transfer_kind = TRANSFER_LIST;
    client->transfer_path = utf8_string_alloc_utf8_string("");
    data_socket_set(client, SCRIPTED_SOCKET);
    client->data_started = 1;
    std::string listing;
    for (size_t line = 0; listing.size() < 3 * DATA_EVENT_SEND_BYTES; line++) {
        listing += "-r--r--r-- 1 ftp ftp 12 Jan 05  2024 entry " + std::to_string(line) + "\r\n";
    }
    data_write(client, listing.data(), listing.size());
    size_t events = 0;
    size_t posted = 1;  // the write event below stands for the first one
    while (posted == 1 && events < 100) {
        size_t before = scripted().sent.size();
        server_wndproc(server_.window, MSG_DATA_SOCKET, SCRIPTED_SOCKET, events == 0 ? FD_WRITE : 0);
        events++;
        EXPECT_EQ(scripted().sent.size() - before, std::min(DATA_EVENT_SEND_BYTES, listing.size() - before));
        posted = 0;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) posted += message.message == MSG_DATA_SOCKET;
    }
    EXPECT_EQ(events, (listing.size() + DATA_EVENT_SEND_BYTES - 1) / DATA_EVENT_SEND_BYTES);
    EXPECT_TRUE(scripted().sent == listing);
    EXPECT_EQ(client->transfer_kind, TRANSFER_NONE);
    EXPECT_EQ(scripted().shutdowns, 1);
}

}  // namespace
