// The dispatcher in-process: the display form of paths, line preparation as seen through the
// replies, and the two guards that come before every command.
#include <string>
#include <utility>
#include <vector>

#include "ftp/dispatcher.h"
#include "tests/plugin/client_fixture.h"

using namespace client_test;
using namespace test_support;

namespace {

using Exchange = std::vector<std::pair<std::string, std::string>>;  // line sent, reply expected

const char NOT_LOGGED_ON[] = "530 Not logged on.\r\n";
const char UNKNOWN[] = "500 Syntax error, command unrecognized.\r\n";
const char BAD_SEQUENCE[] = "503 Invalid sequence of commands.\r\n";

class ControlDispatcher : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        client_ = connect();
        clear_logged();
    }
    void expect_exchange(const Exchange& exchange) {
        for (const auto& [line, reply] : exchange) EXPECT_EQ(run(client_, line), reply) << "for line " << line;
    }
    void log_on() {
        client_->login_state = LOGIN_LOGGED_ON;
    }
    FtpClient* client_ = nullptr;
};

TEST_F(ControlDispatcher, PathDisplayForms) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "/"},
        {"C:", "/C:"},
        {"C:\\Users\\me", "/C:/Users/me"},
        {"\\\\server\\share\\dir", "/\\\\server/share/dir"},
        {"\\\\\\x", "/\\\\\\x"},
        {"a\\\\b\\", "/a//b/"},
        {"C:\\caf\xc3\xa9", "/C:/caf\xc3\xa9"},
    };
    for (const auto& [index_path, display] : cases) {
        ScopedUtf8Buf out;
        path_display(out.get(), index_path);
        EXPECT_EQ(std::string(out.text(), out.length()), display) << "for " << index_path;
    }
}

// A client reads a 257 path up to the first lone '"'.
TEST_F(ControlDispatcher, PwdDoublesEveryQuoteOfThePath) {
    log_on();
    client_->current_directory = utf8_string_realloc_utf8_string(client_->current_directory, "share\\dq\"dir\\\"");
    const std::string reply = "257 \"/share/dq\"\"dir/\"\"\" is current directory.\r\n";
    expect_exchange({{"PWD", reply}, {"XPWD", reply}});
}

TEST_F(ControlDispatcher, ArgumentKeepsItsWhitespace) {
    log_on();
    expect_exchange({{"MODE  S", "501 Invalid mode  S.\r\n"},
                     {"MODE S ", "501 Invalid mode S .\r\n"},
                     {"mode\ts", "504 Mode s not implemented.\r\n"},
                     {" NOOP", UNKNOWN},
                     {"NoOp\r", "200 OK.\r\n"},
                     {"noop extra words", "200 OK.\r\n"},
                     {"\r", UNKNOWN}});
}

TEST_F(ControlDispatcher, OwedResultsAreAbortedFirst) {
    log_on();
    client_->results_pending = 1;
    expect_exchange({{"NOOP", "426 Query aborted.\r\n200 OK.\r\n"}, {"NOOP", "200 OK.\r\n"}});
    EXPECT_EQ(client_->results_pending, 0u);
    client_->results_pending = 1;
    client_->login_state = LOGIN_NONE;
    expect_exchange({{"SYST", std::string("426 Query aborted.\r\n") + NOT_LOGGED_ON}});
}

TEST_F(ControlDispatcher, EveryCommandRefusedDuringATransfer) {
    log_on();
    client_->transfer_kind = TRANSFER_RETR;
    client_->results_pending = 1;
    expect_exchange({{"QUIT", std::string("426 Query aborted.\r\n") + BAD_SEQUENCE},
                     {"NOOP", BAD_SEQUENCE},
                     {"USER x", BAD_SEQUENCE},
                     {"REST 5", BAD_SEQUENCE},
                     {"BOGUS", BAD_SEQUENCE}});
    EXPECT_EQ(client_->quit_requested, 0u);
    EXPECT_EQ(client_->rest_offset, 0u);
    EXPECT_EQ(client_->login_state, LOGIN_LOGGED_ON);
    client_->transfer_kind = TRANSFER_NONE;
}

}  // namespace
