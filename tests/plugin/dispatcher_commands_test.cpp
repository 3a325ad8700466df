// The dispatcher in-process: the display form of paths, line preparation as seen through the
// replies, the guards, the login table row by row and the small commands with their odd arguments.
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
const char WRONG_LOGIN[] = "530 Login or password incorrect!\r\n";
const char BAD_SEQUENCE[] = "503 Invalid sequence of commands.\r\n";

class DispatcherTest : public ClientTest {
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

TEST_F(DispatcherTest, PathDisplayForms) {
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

TEST_F(DispatcherTest, LinesAreLoggedAsTypedBeforeAnyCheck) {
    set_login("bob", "secret");
    expect_exchange({{"NOOP", "200 OK.\r\n"},
                     {"FEAT", NOT_LOGGED_ON},
                     {"USER bob", "331 Password required for bob\r\n"},
                     {"PASS  secret\r", WRONG_LOGIN},
                     {"", UNKNOWN}});
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "NOOP \r\n", "200 OK.\r\n", "FEAT \r\n", NOT_LOGGED_ON, "USER bob\r\n",
                            "331 Password required for bob\r\n", "PASS  secret\r\n", WRONG_LOGIN, " \r\n", UNKNOWN}));
}

TEST_F(DispatcherTest, ArgumentKeepsItsWhitespace) {
    log_on();
    expect_exchange({{"MODE  S", "501 Invalid mode  S.\r\n"},
                     {"MODE S ", "501 Invalid mode S .\r\n"},
                     {"mode\ts", "504 Mode s not implemented.\r\n"},
                     {" NOOP", UNKNOWN},
                     {"NoOp\r", "200 OK.\r\n"},
                     {"noop extra words", "200 OK.\r\n"},
                     {"\r", UNKNOWN}});
}

TEST_F(DispatcherTest, LoginIsNeededOnlyForMatchedWords) {
    const char* guarded[] = {"FEAT", "HELP", "SYST", "CDUP", "REST 1", "OPTS utf8 on", "PORT 1,2,3,4,5,6", "MODE S",
                             "STRU F", "SIZE x", "MDTM x", "RETR x", "LIST", "MLSD", "MLST", "PASV", "EPSV",
                             "EPRT |1|127.0.0.1|1|", "TYPE I", "CWD x", "PWD", "XPWD", "SORRELWICK case 1", "SITE"};
    for (const char* line : guarded) EXPECT_EQ(run(client_, line), NOT_LOGGED_ON) << "for " << line;
    expect_exchange({{"NOOP", "200 OK.\r\n"}, {"BOGUS", UNKNOWN}, {"PASS x", NOT_LOGGED_ON}});
    EXPECT_EQ(client_->rest_offset, 0u);
    EXPECT_EQ(client_->utf8_mode, 1u);
}

struct LoginRow {
    const char* name;
    const char* username;
    const char* password;
    Exchange exchange;
    LoginState final_state;
};

TEST_F(DispatcherTest, LoginTableRowByRow) {
    const std::string ask_bob = "331 Password required for bob\r\n";
    const LoginRow rows[] = {
        {"no user, no password", "", "", {{"USER anyone", "230 Logged on.\r\n"}, {"PASS x", BAD_SEQUENCE}},
         LOGIN_LOGGED_ON},
        {"no user, password", "", "pw",
         {{"USER who", "331 Password required for who\r\n"}, {"PASS PW", WRONG_LOGIN}, {"PASS pw", "230 Logged on.\r\n"}},
         LOGIN_LOGGED_ON},
        {"right user, wrong then right password", "bob", "pw",
         {{"USER bob", ask_bob}, {"PASS nope", WRONG_LOGIN}, {"PASS pw", "230 Logged on.\r\n"}, {"PASS pw", BAD_SEQUENCE}},
         LOGIN_LOGGED_ON},
        {"wrong user is refused whatever the password", "bob", "pw",
         {{"USER alice", "331 Password required for alice\r\n"}, {"PASS pw", WRONG_LOGIN}, {"PASS pw", WRONG_LOGIN},
          {"LIST", NOT_LOGGED_ON}, {"USER bob", ask_bob}, {"PASS pw", "230 Logged on.\r\n"}},
         LOGIN_LOGGED_ON},
        {"user name compared exactly", "bob", "pw",
         {{"USER Bob", "331 Password required for Bob\r\n"}, {"PASS pw", WRONG_LOGIN},
          {"USER bob \r", "331 Password required for bob \r\n"}, {"PASS pw", WRONG_LOGIN}},
         LOGIN_USER_REJECTED},
        {"user without password", "bob", "", {{"USER bob", "230 Logged on.\r\n"}}, LOGIN_LOGGED_ON},
        {"PASS first", "bob", "pw", {{"PASS pw", NOT_LOGGED_ON}}, LOGIN_NONE},
        {"USER again while logged on", "bob", "pw",
         {{"USER bob", ask_bob}, {"PASS pw", "230 Logged on.\r\n"}, {"USER eve", "331 Password required for eve\r\n"},
          {"PWD", NOT_LOGGED_ON}},
         LOGIN_USER_REJECTED},
        {"USER again asks for the password anew", "", "pw",
         {{"USER a", "331 Password required for a\r\n"}, {"PASS pw", "230 Logged on.\r\n"},
          {"USER a", "331 Password required for a\r\n"}},
         LOGIN_NEED_PASSWORD},
    };
    for (const LoginRow& row : rows) {
        SCOPED_TRACE(row.name);
        client_->login_state = LOGIN_NONE;
        set_login(row.username, row.password);
        expect_exchange(row.exchange);
        EXPECT_EQ(client_->login_state, row.final_state);
    }
}

TEST_F(DispatcherTest, SmallCommandsAndTheirOddArguments) {
    log_on();
    expect_exchange({
        {"FEAT", "211-Features:\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n MLST type*;size*;modify*;\r\n MLSD\r\n UTF8\r\n"
                 " SORRELWICK\r\n211 End\r\n"},
        {"help", "214-Site commands:\r\n SORRELWICK\r\n214 End\r\n"},
        {"SYST", "215 UNIX emulated by Sorrelwick\r\n"},
        {"MODE S", "504 Mode S not implemented.\r\n"},
        {"MODE b", "504 Mode b not implemented.\r\n"},
        {"MODE C", "504 Mode C not implemented.\r\n"},
        {"MODE X", "501 Invalid mode X.\r\n"},
        {"MODE", "501 Invalid mode .\r\n"},
        {"STRU F", "504 File structure F not implemented.\r\n"},
        {"STRU r", "504 File structure r not implemented.\r\n"},
        {"STRU P", "504 File structure P not implemented.\r\n"},
        {"STRU x", "501 Invalid file structure x.\r\n"},
        {"TYPE A", "200 Type set to ASCII (A).\r\n"},
        {"type i", "200 Type set to Image (I).\r\n"},
        {"TYPE e", "504 Type E not implemented.\r\n"},
        {"TYPE A N", "500 Type A N not supported.\r\n"},
        {"TYPE L 8", "500 Type L 8 not supported.\r\n"},
        {"TYPE", "500 Type  not supported.\r\n"},
        {"PWD", "257 \"/\" is current directory.\r\n"},
        {"XPWD", "257 \"/\" is current directory.\r\n"},
        {"SITE", "500 SITE: Missing argument.\r\n"},
        {"SITE  CHMOD", "500 SITE: Missing argument.\r\n"},
        {"SITE CHMOD 644 x", "500 Unknown SITE command.\r\n"},
        {"SORRELWICK", "500 Unknown Sorrelwick command.\r\n"},
        {"SITE sorrelwick", "500 Unknown Sorrelwick command.\r\n"},
        {"SITE sorrelwick case 1", "200 Case set to (1).\r\n"},
        {"SORRELWICK search a  b", "200 Search set to (a  b).\r\n"},
        {"SITE SORRELWICK search c d", "200 Search set to (c d).\r\n"},
    });
    EXPECT_STREQ(client_->search_text, "c d");
    EXPECT_EQ(client_->match_case, 1u);
}

TEST_F(DispatcherTest, OptsRestAndPwdChangeOrReadTheirFields) {
    log_on();
    expect_exchange({{"OPTS utf8 off", "200 UTF8 mode disabled.\r\n"}});
    EXPECT_EQ(client_->utf8_mode, 0u);
    expect_exchange({{"OPTS UTF8 ON", "200 UTF8 mode enabled.\r\n"}});
    EXPECT_EQ(client_->utf8_mode, 1u);
    expect_exchange({{"OPTS UTF8  ON", "501 Invalid option.\r\n"},
                     {"OPTS MLST type;", "501 Invalid option.\r\n"},
                     {"OPTS", "501 Invalid option.\r\n"}});
    EXPECT_EQ(client_->utf8_mode, 1u);

    expect_exchange({{"REST 100", "350 Restarting at 100.\r\n"}});
    EXPECT_EQ(client_->rest_offset, 100u);
    expect_exchange({{"REST 18446744073709551615", "350 Restarting at 18446744073709551615.\r\n"}});
    expect_exchange({{"NOOP", "200 OK.\r\n"}});
    EXPECT_EQ(client_->rest_offset, 18446744073709551615u) << "only RETR or REST change it";

    client_->current_directory = utf8_string_realloc_utf8_string(client_->current_directory, "C:\\Users\\me");
    expect_exchange({{"PWD", "257 \"/C:/Users/me\" is current directory.\r\n"}});
}

TEST_F(DispatcherTest, PortAndEprtRefusedWhenNotAllowed) {
    log_on();
    settings.allow_ftp_port = 0;
    expect_exchange({{"PORT 127,0,0,1,4,1", "501 Invalid option.\r\n"}, {"EPRT |1|127.0.0.1|1025|", "501 Invalid option.\r\n"}});
    EXPECT_EQ(client_->data_mode, DATA_MODE_NONE);
}

TEST_F(DispatcherTest, OwedResultsAreAbortedFirst) {
    log_on();
    client_->results_pending = 1;
    expect_exchange({{"NOOP", "426 Query aborted.\r\n200 OK.\r\n"}, {"NOOP", "200 OK.\r\n"}});
    EXPECT_EQ(client_->results_pending, 0u);
    client_->results_pending = 1;
    client_->login_state = LOGIN_NONE;
    expect_exchange({{"SYST", std::string("426 Query aborted.\r\n") + NOT_LOGGED_ON}});
}

TEST_F(DispatcherTest, EveryCommandRefusedDuringATransfer) {
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

TEST_F(DispatcherTest, QuitOnlyQueuesItsReplyAndSetsTheFlag) {
    expect_exchange({{"quit", "221 Goodbye.\r\n"}, {"NOOP", "200 OK.\r\n"}});
    EXPECT_EQ(client_->quit_requested, 1u);
}

}  // namespace
