// In-process fixture for the control channel: the plug-in bound to the real host services except
// for one scripted control socket (what recv returns, how much send takes), a server record of
// the test's own, and the activity log's console echoes as the record of executed lines.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"
#include "tests/support/plugin_harness.h"

namespace client_test {

constexpr SOCKET SCRIPTED_SOCKET = 0x5A5A;
constexpr uint32_t LOG_COLOR = 0xff00ffff;

// The one control socket the fake socket services know about.
struct ScriptedSocket {
    std::deque<std::string> incoming;  // one element per segment; recv returns at most one
    bool peer_closed = false;          // with nothing left: recv returns 0 instead of blocking
    int recv_error = 0;                // with nothing left and nonzero: recv fails with this error
    size_t recv_calls = 0;
    size_t send_room = SIZE_MAX;       // bytes send takes before it would block
    size_t send_piece = SIZE_MAX;      // most bytes one send call takes
    bool send_returns_zero = false;    // send takes nothing and reports no error
    std::string sent;
    size_t send_calls = 0;
    int last_error = 0;
    int shutdowns = 0;
    int closes = 0;
    int peer_family = AF_INET;
    int local_family = AF_INET;
};

ScriptedSocket& scripted();

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A client made by client_create on the scripted socket.
    FtpClient* connect();
    // Drops the client the way a failed event does.
    void drop(FtpClient* client);
    // Runs one control event as the window procedure does; false when it destroyed the client.
    bool control_event(FtpClient* client);
    // True while the client is in the server's list.
    bool alive(const FtpClient* client) const;
    // Executes one line and returns what it queued, sent through the unlimited scripted socket.
    std::string run(FtpClient* client, const std::string& line);
    // Sends what is queued and returns it, leaving the record of sent bytes empty.
    std::string flush(FtpClient* client);
    // The activity-log lines echoed so far, in order (message part only).
    std::vector<std::string> logged() const;
    void clear_logged();
    // Removes every message posted to the test thread; returns how many were control kicks.
    size_t take_kicks();
    // Handles the client's kicks as the message loop would, one control event each, until none
    // is posted or `most` events ran or the client is gone; returns the number of events.
    size_t run_kicks(FtpClient* client, size_t most);
    std::vector<std::string> debug_lines() const;

    ServerInstance server_{};
    Settings saved_settings_{};
    std::string username_;
    std::string password_;
    std::string welcome_;
    std::string log_name_;

public:
    // Replaces the configured user name and password for this test ("" for none).
    void set_login(const std::string& username, const std::string& password);
};

}  // namespace client_test
