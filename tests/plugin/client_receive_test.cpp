// The receive chain and the reply queue over a scripted control socket: line framing across
// receives and chunks, the line bound, the pause while replies wait unsent, sending in parts,
// QUIT, and what reaches the activity log.
#include <string>
#include <vector>

#include "ftp/dispatcher.h"
#include "tests/plugin/client_fixture.h"

using namespace client_test;
using namespace test_support;

namespace {

const std::string OK = "200 OK.\r\n";
const std::string UNKNOWN = "500 Syntax error, command unrecognized.\r\n";

std::string repeat(const std::string& text, size_t count) {
    std::string out;
    out.reserve(text.size() * count);
    for (size_t i = 0; i < count; i++) out += text;
    return out;
}

// The command lines that reached the log, as "WORD ARGUMENT" without the CR LF.
std::vector<std::string> command_lines(const std::vector<std::string>& logged) {
    std::vector<std::string> lines;
    for (const std::string& line : logged) {
        if (line == "Connected.\r\n" || line == "Disconnected.\r\n" || line == "Line too long.\r\n") continue;
        if (line.size() > 3 && line[0] >= '0' && line[0] <= '9' && line[3] == ' ') continue;  // a reply
        lines.push_back(line.substr(0, line.size() - 2));
    }
    return lines;
}

class ControlReceive : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        client_ = connect();
        clear_logged();
    }
    std::vector<std::string> executed() const { return command_lines(logged()); }
    // Long lines are a logged-on client's: one that has not logged on may send a few KiB only.
    void log_on(FtpClient* client) {
        EXPECT_EQ(run(client, "USER u"), "230 Logged on.\r\n");
        clear_logged();
    }
    // A connection that has logged on and holds an unfinished line of `length` bytes.
    FtpClient* holding(size_t length) {
        FtpClient* client = connect();
        log_on(client);
        scripted().incoming = {std::string(length, 'H')};
        EXPECT_EQ(client_recv(client), 1);
        return client;
    }
    FtpClient* client_ = nullptr;
};

TEST_F(ControlReceive, LongLineIsJoinedFromItsChunks) {
    log_on(client_);
    const std::string word(100000, 'A');
    scripted().incoming = {word, "\r\nNOOP\r\n"};
    ASSERT_EQ(client_recv(client_), 1);
    EXPECT_EQ(executed(), (std::vector<std::string>{word + " ", "NOOP "}));
    EXPECT_EQ(flush(client_), UNKNOWN + OK);
    EXPECT_EQ(client_->recv_chunk_count, 1u);
}

TEST_F(ControlReceive, LineFeedOpeningANewChunkJoinsTheEarlierChunksAlone) {
    log_on(client_);
    const std::string word(RECEIVE_CHUNK_DATA, 'B');  // fills the first chunk exactly
    scripted().incoming = {word, "\nNOOP\n"};
    ASSERT_EQ(client_recv(client_), 1);
    EXPECT_EQ(executed(), (std::vector<std::string>{word + " ", "NOOP "}));
    EXPECT_EQ(flush(client_), UNKNOWN + OK);
}

TEST_F(ControlReceive, LineOverTheBoundEndsTheConnection) {
    log_on(client_);
    scripted().incoming = {std::string(MAX_COMMAND_LINE + 1, 'D')};
    EXPECT_EQ(client_recv(client_), 0);
    EXPECT_EQ(logged(), (std::vector<std::string>{"Line too long.\r\n"}));
    // The chain stopped growing near the bound instead of taking everything offered.
    EXPECT_LE(client_->recv_chunk_count, MAX_COMMAND_LINE / RECEIVE_CHUNK_DATA + 2);
}

TEST_F(ControlReceive, CompleteLineOverTheBoundIsRefusedToo) {
    log_on(client_);
    scripted().incoming = {std::string(MAX_COMMAND_LINE + 1, 'E') + "\nNOOP\n"};
    EXPECT_EQ(client_recv(client_), 0);
    EXPECT_EQ(logged(), (std::vector<std::string>{"Line too long.\r\n"}));
}

// Before login a line may fill one small chunk but not outgrow it, whatever the client offers;
// the login lifts the bound for the lines that follow it, even within the same segment.
TEST_F(ControlReceive, LineBeforeLoginIsBoundedToAFewKilobytes) {
    set_login("u", "p");
    const std::string longest = "USER " + std::string(MAX_PRE_LOGIN_LINE - 5, 'u');
    scripted().incoming = {longest + "\n" + "USER " + std::string(1000000, 'v')};
    EXPECT_EQ(client_recv(client_), 0);
    EXPECT_EQ(executed(), (std::vector<std::string>{longest.substr(0, 4) + " " + longest.substr(5)}));
    EXPECT_EQ(logged().back(), "Line too long.\r\n");
    EXPECT_LE(client_->recv_chunk_count, 1u);
    EXPECT_GT(scripted().incoming.front().size(), 990000u) << "read on past its bound";

    FtpClient* client = connect();
    clear_logged();
    const std::string word(200000, 'W');
    scripted() = ScriptedSocket{};
    scripted().incoming = {"USER u\r\nPASS p\r\n" + word + "\n"};
    EXPECT_EQ(client_recv(client), 1);
    EXPECT_EQ(executed(), (std::vector<std::string>{"USER u", "PASS ****", word + " "}));
}

// All clients together may hold so many received bytes; past that the longest chain goes, be it
// another client's or the one that just received.
TEST_F(ControlReceive, UnfinishedLinesOfAllClientsAreBoundTogether) {
    settings.logging_enabled = 0;
    constexpr size_t HOLDERS = 100;
    constexpr size_t HELD = 670000;  // 100 of them stay just under the bound
    static_assert(HOLDERS * HELD + 30000 < MAX_UNFINISHED_LINES && 800000 < MAX_COMMAND_LINE);
    std::vector<FtpClient*> holders;
    for (size_t i = 0; i < HOLDERS; i++) holders.push_back(holding(i == 7 ? HELD + 30000 : HELD));
    FtpClient* sender = holding(100000);
    EXPECT_FALSE(alive(holders[7]));
    for (size_t i = 0; i < HOLDERS; i++) EXPECT_EQ(alive(holders[i]), i != 7) << i;
    EXPECT_TRUE(alive(sender));

    scripted().incoming = {std::string(700000, 'S')};  // its line is the longest now
    EXPECT_EQ(client_recv(sender), 0);
    EXPECT_FALSE(scripted().incoming.empty()) << "read on past the bound";
    for (size_t i = 0; i < HOLDERS; i++) EXPECT_EQ(alive(holders[i]), i != 7) << i;
    drop(sender);
    EXPECT_EQ(server_.recv_waiting_bytes, (HOLDERS - 1) * HELD);
}

TEST_F(ControlReceive, PeerCloseAndErrorsEndTheConnection) {
    scripted().incoming = {"NOOP\r\n"};
    scripted().peer_closed = true;
    EXPECT_EQ(client_recv(client_), 0);
    EXPECT_EQ(executed(), (std::vector<std::string>{"NOOP "}));

    scripted() = ScriptedSocket{};
    scripted().recv_error = WSAECONNRESET;
    EXPECT_EQ(client_recv(client_), 0);
}

// A client that sends commands without reading: once more than the bound waits unsent, lines
// stay in the chain and the socket is not read; as the queue drains, the held lines run first.
TEST_F(ControlReceive, PipelinedCommandsPauseReadingAndResumeInOrder) {
    settings.logging_enabled = 0;  // hundreds of thousands of lines
    const size_t lines = MAX_UNSENT_REPLY_BYTES / OK.size() + 5000;
    std::string input;
    for (size_t i = 0; i < lines; i++) input += (i % 7 == 3) ? "REST " + std::to_string(i) + "\r\n" : "NOOP\r\n";
    input += "QUIT\r\nNOOP\r\n";
    scripted().incoming = {input.substr(0, 300000), input.substr(300000)};
    scripted().send_room = 0;
    std::vector<char> user = {'U', 'S', 'E', 'R', ' ', 'u', '\0'};
    client_execute(client_, user.data());

    ASSERT_TRUE(control_event(client_));
    run_kicks(client_, lines);
    EXPECT_EQ(client_->recv_paused, 1u);
    EXPECT_GT(client_->reply_unsent_bytes, MAX_UNSENT_REPLY_BYTES);
    EXPECT_LT(client_->reply_unsent_bytes, MAX_UNSENT_REPLY_BYTES + 64);
    EXPECT_FALSE(scripted().incoming.empty()) << "the socket was read while paused";
    size_t recv_calls = scripted().recv_calls;
    ASSERT_TRUE(control_event(client_));  // a write event with a full socket changes nothing
    EXPECT_EQ(scripted().recv_calls, recv_calls);
    EXPECT_EQ(take_kicks(), 0u);

    // The socket takes everything now: the events drain, resume, and end with the QUIT.
    scripted().send_room = SIZE_MAX;
    scripted().send_piece = 4096;
    if (control_event(client_)) run_kicks(client_, lines);
    EXPECT_FALSE(alive(client_));
    client_ = nullptr;

    std::string expected = "230 Logged on.\r\n";
    for (size_t i = 0; i < lines; i++) {
        expected += (i % 7 == 3) ? "350 Restarting at " + std::to_string(i) + ".\r\n" : OK;
    }
    expected += "221 Goodbye.\r\n" + OK;
    ASSERT_EQ(scripted().sent.size(), expected.size());
    EXPECT_TRUE(scripted().sent == expected);
    EXPECT_TRUE(scripted().incoming.empty());
    EXPECT_EQ(scripted().shutdowns, 1);
    EXPECT_EQ(scripted().closes, 1);
}

// One event executes a bounded number of lines and kicks itself for the rest, which run in order.
TEST_F(ControlReceive, OneEventExecutesAtMostItsLinesAndKicks) {
    settings.logging_enabled = 0;
    const size_t lines = 3 * CONTROL_EVENT_LINES + 5;
    scripted().incoming = {repeat("NOOP\r\n", lines - 1) + "USER x\r\n"};
    ASSERT_TRUE(control_event(client_));
    EXPECT_TRUE(scripted().sent == repeat(OK, CONTROL_EVENT_LINES));
    for (size_t events = 1; take_kicks() != 0 && events < lines; events++) {
        size_t before = scripted().sent.size();
        ASSERT_TRUE(control_event(client_));
        EXPECT_LE(scripted().sent.size() - before, CONTROL_EVENT_LINES * OK.size());
    }
    EXPECT_TRUE(scripted().sent == repeat(OK, lines - 1) + "230 Logged on.\r\n");
}

// The QUIT that pushes the queue over the bound must not end the connection before the lines
// held behind it have run and been answered.
TEST_F(ControlReceive, QuitAtThePauseStillRunsTheHeldLines) {
    settings.logging_enabled = 0;  // hundreds of thousands of lines
    const size_t noops = (MAX_UNSENT_REPLY_BYTES - 14) / OK.size() + 1;
    ASSERT_LE(noops * OK.size(), MAX_UNSENT_REPLY_BYTES);
    scripted().incoming = {repeat("NOOP\r\n", noops) + "QUIT\r\nNOOP\r\n"};
    scripted().send_room = 0;
    ASSERT_TRUE(control_event(client_));
    run_kicks(client_, noops);
    ASSERT_EQ(client_->recv_paused, 1u);
    ASSERT_EQ(client_->quit_requested, 1u);
    scripted().send_room = SIZE_MAX;
    if (control_event(client_)) run_kicks(client_, noops);
    EXPECT_FALSE(alive(client_));
    client_ = nullptr;
    EXPECT_TRUE(scripted().sent == repeat(OK, noops) + "221 Goodbye.\r\n" + OK);
    EXPECT_EQ(scripted().shutdowns, 1);
}

// Drained bit by bit over many write events, the connection never stalls and loses nothing.
TEST_F(ControlReceive, PausedClientDrainsOverManyEvents) {
    settings.logging_enabled = 0;  // hundreds of thousands of lines
    const size_t lines = 3 * MAX_UNSENT_REPLY_BYTES / OK.size();
    scripted().incoming = {repeat("NOOP\n", lines)};
    scripted().send_room = 0;
    ASSERT_TRUE(control_event(client_));
    run_kicks(client_, lines);
    ASSERT_EQ(client_->recv_paused, 1u);
    for (int event = 0; event < 10000 && scripted().sent.size() < lines * OK.size(); event++) {
        scripted().send_room = 256 * 1024;
        ASSERT_TRUE(control_event(client_));
        run_kicks(client_, lines);
    }
    EXPECT_TRUE(scripted().sent == repeat(OK, lines));
    EXPECT_EQ(client_->recv_paused, 0u);
    EXPECT_EQ(client_->reply_unsent_bytes, 0u);
}

class ControlReplyQueue : public ClientTest {};

TEST_F(ControlReplyQueue, PeerCloseDestroysTheClientInTheEvent) {
    FtpClient* client = connect();
    scripted().incoming = {"NOOP\r\n"};
    scripted().peer_closed = true;
    EXPECT_FALSE(control_event(client));
    EXPECT_EQ(scripted().sent, "") << "replies still queued are not sent";
    EXPECT_EQ(debug_lines(), (std::vector<std::string>{"recv failed\n"}));
    EXPECT_EQ(logged().back(), "Disconnected.\r\n");
}

TEST_F(ControlReplyQueue, OnlyAReplyEnteringAnEmptyQueuePostsAKick) {
    FtpClient* client = connect();
    EXPECT_EQ(take_kicks(), 0u);
    client_printf(client, "%s", OK.c_str());
    client_printf(client, "%s", OK.c_str());
    client_queue_reply(client, "x\r\n", 3);
    EXPECT_EQ(take_kicks(), 1u);
    EXPECT_EQ(flush(client), OK + OK + "x\r\n");
    client_printf(client, "%s", OK.c_str());
    EXPECT_EQ(take_kicks(), 1u);
    EXPECT_EQ(client->reply_unsent_bytes, OK.size());
}

TEST_F(ControlReplyQueue, ZeroByteSendEndsTheConnectionAndFullSocketDoesNot) {
    FtpClient* client = connect();
    client_printf(client, "%s", OK.c_str());
    scripted().send_room = 0;
    EXPECT_EQ(client_send(client), 1);
    scripted().send_returns_zero = true;
    EXPECT_EQ(client_send(client), 0);
    std::lock_guard<std::mutex> guard(recording().lock);
    EXPECT_EQ(recording().debug_lines, (std::vector<std::string>{"send closed\n"}));
}

TEST_F(ControlReplyQueue, LogRuleTakesSingleAndClosingLinesOnly) {
    FtpClient* client = connect();
    clear_logged();
    client_printf(client, "200 OK.\r\n");
    client_printf(client, "211-Features:\r\n MDTM\r\n211 End\r\n");
    client_printf(client, "200-Query results\r\n");
    client_printf(client, " indented\r\n");
    client_printf(client, "200 End.\r\n");
    client_printf(client, "12\r\n");
    client_printf(client, "226 Transfer complete.\r\n");
    EXPECT_EQ(logged(), (std::vector<std::string>{"200 OK.\r\n", "200 End.\r\n", "226 Transfer complete.\r\n"}));
    EXPECT_EQ(flush(client), "200 OK.\r\n211-Features:\r\n MDTM\r\n211 End\r\n200-Query results\r\n indented\r\n"
                             "200 End.\r\n12\r\n226 Transfer complete.\r\n");
}

TEST_F(ControlReplyQueue, CreateAndDestroyLogAroundTheConnection) {
    scripted().local_family = AF_INET6;
    FtpClient* client = connect();
    EXPECT_EQ(client->is_ipv6, 1u);
    EXPECT_EQ(client->data_socket, INVALID_SOCKET);
    EXPECT_EQ(client->utf8_mode, 1u);
    EXPECT_EQ(client->result_count, 0xFFFFFFFFu);
    EXPECT_STREQ(client->current_directory, "");
    EXPECT_EQ(server_.clients_head, client);
    FtpClient* second = connect();
    EXPECT_EQ(server_.clients_tail, second);
    EXPECT_EQ(second->prev, client);
    client_printf(client, "%s", OK.c_str());  // dropped unsent
    drop(client);
    EXPECT_EQ(server_.clients_head, second);
    EXPECT_EQ(second->prev, nullptr);
    drop(second);
    EXPECT_EQ(server_.clients_head, nullptr);
    EXPECT_EQ(server_.clients_tail, nullptr);
    EXPECT_EQ(logged(), (std::vector<std::string>{"Connected.\r\n", "Connected.\r\n", OK, "Disconnected.\r\n",
                                                  "Disconnected.\r\n"}));
    EXPECT_EQ(scripted().closes, 2);
}

}  // namespace

TEST_F(ControlReplyQueue, GatheredSendsStopMidBlockAndResumeInOrder) {
    FtpClient* client = connect();
    std::string expected;
    for (int line = 0; line < 3000; ++line) {
        client_printf(client, " line %d of a long reply\r\n", line);
        expected += " line " + std::to_string(line) + " of a long reply\r\n";
    }
    scripted().send_piece = 1000;  // every send ends inside some block
    scripted().send_room = 7777;
    EXPECT_EQ(client_send(client), 1);
    EXPECT_EQ(scripted().sent, expected.substr(0, 7777));
    EXPECT_EQ(client->reply_unsent_bytes, expected.size() - 7777);
    scripted().send_room = SIZE_MAX;
    EXPECT_EQ(client_send(client), 1);
    EXPECT_EQ(scripted().sent, expected);
    EXPECT_EQ(client->reply_head, nullptr);
    EXPECT_EQ(client->reply_tail, nullptr);
    EXPECT_EQ(client->reply_unsent_bytes, 0u);
}
