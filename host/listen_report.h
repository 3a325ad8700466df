// What the host tells the user about the server's listening sockets while the plug-in starts the
// server: each socket that starts listening, and each socket call that failed, in words beside its
// Windows Sockets number.
#pragma once

#include <string>
#include <vector>

#include "sdk/platform_api.h"

namespace host {

enum class ListenCall { LOOKUP, SOCKET, BIND, LISTEN };

struct ListenFailure {
    ListenCall call;
    std::string name;     // LOOKUP: the host name looked up, "" for all local addresses
    std::string service;  // LOOKUP: the port text
    std::string address;  // BIND, LISTEN: "127.0.0.1:2121"; SOCKET: the family ("IPv6")
    int port;             // BIND, LISTEN: the port asked for
    int error;            // the Windows Sockets error of the call
};

struct ListenReport {
    int listeners = 0;
    std::string first_url;  // "ftp://127.0.0.1:2121/" for the first listener
    std::vector<ListenFailure> failures;
    std::string dialog;                // the plug-in's error dialog, on one line; empty when none
    std::vector<std::string> console;  // the plug-in's console lines, held until the outcome is known
};

// Between begin and end the socket services announce each listener on stderr and note failures,
// the dialog services note the dialog, and, unless the traces are on (--debug), the plug-in's
// console lines wait in the report: a failed start is then told once, in words, not in each
// layer's own trace.
void listen_watch_begin();
ListenReport listen_watch_end();
bool listen_watch_active();
void listen_watch_note_listener(const std::string& address_text, const std::string& url);
void listen_watch_note_failure(const ListenFailure& failure);
// False when no watch holds the line, which is then the caller's to show.
bool listen_watch_note_dialog(const std::string& one_line);
bool listen_watch_hold_console(const char* text, size_t length);

// "cannot listen on 127.0.0.1:2121: port 2121 is already in use (error 10048)"
std::string listen_failure_explain(const ListenFailure& failure);

// Prints what the user needs to know after a start: with no listener why not (each failure in
// words, then the plug-in's dialog), else a warning for each failure and the console lines the
// start held. Returns whether the server listens.
bool listen_report_show(const ListenReport& report);

// The same after the options page applied or started a server that may as well be disabled: a
// report with neither listener nor failure shows only the console lines it held.
void listen_report_show_applied(const ListenReport& report);

}  // namespace host
