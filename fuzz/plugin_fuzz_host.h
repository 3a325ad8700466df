// The plug-in bound for fuzzing: the real host services and a real index of a small tree, except
// for the sockets, the host query and the debug console, which are fakes that never reach the
// network. A socket event is a message posted to the real server window, as the host's
// asynchronous select would post it, so the plug-in runs the very paths it runs when served.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "server/client.h"

namespace fuzz_host {

constexpr SOCKET CONTROL_SOCKET = 0x5A5A;

// How the fake network behaves for one input; reset by fuzz_host_begin.
struct NetworkScript {
    std::deque<std::string> incoming;  // control segments; one recv returns at most one
    bool peer_closed = false;          // with nothing left, recv returns 0 instead of blocking
    size_t send_room = SIZE_MAX;       // bytes the control socket takes in each control event
    bool peer_ipv6 = false;            // the control connection's family
    bool data_peer_elsewhere = false;  // data connections come from another address
    int connect_error = 0;             // the error a pending connect ends with, 0 for success
    std::string sent;                  // what the control socket took
};

NetworkScript& fuzz_script();

// Binds the services, indexes the tree and creates the server window; once per process.
void fuzz_host_setup();
// Resets the script and the settings for one input; `flags` picks login, PORT, the data-peer rule,
// download and verbosity.
void fuzz_host_begin(unsigned flags);
// A connection arrives on the server's listener; returns its client, banner queued and sent.
FtpClient* fuzz_host_connect();
// Posts a read event for the control socket and dispatches until nothing is left to do.
void fuzz_host_control_event();
// Raises the search-done event of every client that owes results.
void fuzz_host_results_arrive();
// Dispatches posted messages until none is left and no download waits for its reader.
void fuzz_host_pump();
// Destroys what is left as a server stop would, then checks that every socket was closed.
void fuzz_host_end();

// Reports a broken invariant and ends the run as a crash, so that the input is kept.
[[noreturn]] void fuzz_fail(const char* what);

enum FuzzHostFlag : unsigned {
    FUZZ_LOGIN_REQUIRED = 0x01,
    FUZZ_PORT_ALLOWED = 0x02,
    FUZZ_CHECK_DATA_PEER = 0x04,
    FUZZ_DOWNLOAD_ALLOWED = 0x08,
    FUZZ_PEER_IPV6 = 0x10,
    FUZZ_DATA_PEER_ELSEWHERE = 0x20,
    FUZZ_CONNECT_REFUSED = 0x40,
    FUZZ_VERBOSE = 0x80,
};

}  // namespace fuzz_host
