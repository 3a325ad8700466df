// The listening sockets of a start, announced, and the failures of a start, explained.
#include "host/listen_report.h"

#include <cstdio>
#include <mutex>

#include "host/debug.h"

namespace host {
namespace {

struct ListenWatch {
    std::mutex lock;
    bool active = false;
    ListenReport report;
};

ListenWatch& watch() {
    static ListenWatch state;
    return state;
}

// The cause of a failed call in words; {port} and {service} stand for the failure's own.
struct ListenCause {
    ListenCall call;
    int error;
    bool privileged_port_only;  // only for ports 1 to 1023
    const char* words;
};

constexpr ListenCause LISTEN_CAUSES[] = {
    {ListenCall::LOOKUP, WSAHOST_NOT_FOUND, false, "the name does not resolve"},
    {ListenCall::LOOKUP, WSANO_DATA, false, "the name has no address"},
    {ListenCall::LOOKUP, WSATRY_AGAIN, false, "the name server gave no answer; try again later"},
    {ListenCall::LOOKUP, WSANO_RECOVERY, false, "the name lookup failed"},
    {ListenCall::LOOKUP, WSATYPE_NOT_FOUND, false, "{service} is not a port number from 0 to 65535"},
    {ListenCall::LOOKUP, WSAEAFNOSUPPORT, false, "the address family is not supported"},
    {ListenCall::SOCKET, WSAEAFNOSUPPORT, false, "this machine offers no sockets of this address family"},
    {ListenCall::SOCKET, WSAEMFILE, false, "too many files and sockets are open"},
    {ListenCall::BIND, WSAEADDRINUSE, false, "port {port} is already in use"},
    {ListenCall::BIND, WSAEADDRNOTAVAIL, false, "the address is not one of this machine's"},
    {ListenCall::BIND, WSAEACCES, true,
     "ports below 1024 need privileges: use --port 2121 or grant CAP_NET_BIND_SERVICE"},
    {ListenCall::BIND, WSAEACCES, false, "permission denied"},
    {ListenCall::LISTEN, WSAEADDRINUSE, false, "port {port} is already in use"},
};

void replace_all(std::string* text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text->find(placeholder); at != std::string::npos; at = text->find(placeholder, at + value.size()))
        text->replace(at, placeholder.size(), value);
}

std::string failure_place(const ListenFailure& failure) {
    switch (failure.call) {
        case ListenCall::LOOKUP: return failure.name.empty() ? "all local addresses" : "\"" + failure.name + "\"";
        case ListenCall::SOCKET: return "an " + failure.address + " address";
        case ListenCall::BIND:
        case ListenCall::LISTEN: return failure.address;
    }
    return "";
}

}  // namespace

void listen_watch_begin() {
    std::lock_guard<std::mutex> guard(watch().lock);
    watch().active = true;
    watch().report = ListenReport();
}

ListenReport listen_watch_end() {
    std::lock_guard<std::mutex> guard(watch().lock);
    watch().active = false;
    return std::move(watch().report);
}

bool listen_watch_active() {
    std::lock_guard<std::mutex> guard(watch().lock);
    return watch().active;
}

void listen_watch_note_listener(const std::string& address_text, const std::string& url) {
    {
        std::lock_guard<std::mutex> guard(watch().lock);
        if (!watch().active) return;
        if (watch().report.listeners++ == 0) watch().report.first_url = url;
    }
    console_printf("swp-host: listening on %s\n", address_text.c_str());
}

void listen_watch_note_failure(const ListenFailure& failure) {
    std::lock_guard<std::mutex> guard(watch().lock);
    if (watch().active) watch().report.failures.push_back(failure);
}

bool listen_watch_note_dialog(const std::string& one_line) {
    std::lock_guard<std::mutex> guard(watch().lock);
    if (!watch().active) return false;
    watch().report.dialog = one_line;
    return true;
}

bool listen_watch_hold_console(const char* text, size_t length) {
    if (debug_traces_on()) return false;
    std::lock_guard<std::mutex> guard(watch().lock);
    if (!watch().active) return false;
    watch().report.console.emplace_back(text, length);
    return true;
}

std::string listen_failure_explain(const ListenFailure& failure) {
    bool privileged = failure.port > 0 && failure.port < 1024;
    std::string words = "the call failed";
    for (const ListenCause& cause : LISTEN_CAUSES) {
        if (cause.call != failure.call || cause.error != failure.error) continue;
        if (cause.privileged_port_only && !privileged) continue;
        words = cause.words;
        break;
    }
    replace_all(&words, "{port}", std::to_string(failure.port));
    replace_all(&words, "{service}", failure.service);
    return "cannot listen on " + failure_place(failure) + ": " + words + " (error " + std::to_string(failure.error) +
           ")";
}

bool listen_report_show(const ListenReport& report) {
    // A start without a listener ends with the server's teardown, whose console lines ("SWP
    // server offline.") would only bury the reason.
    if (report.listeners == 0) {
        if (report.failures.empty()) console_printf("%s", "swp-host: the server opened no listening socket\n");
        for (const ListenFailure& failure : report.failures)
            console_printf("swp-host: %s\n", listen_failure_explain(failure).c_str());
        if (!report.dialog.empty()) console_printf("swp-host: %s\n", report.dialog.c_str());
        return false;
    }
    for (const ListenFailure& failure : report.failures)
        console_printf("swp-host: warning: %s\n", listen_failure_explain(failure).c_str());
    if (!report.dialog.empty()) console_printf("swp-host: warning: %s\n", report.dialog.c_str());
    for (const std::string& line : report.console) console_printf("%s", line.c_str());
    // A person at a terminal gets an address to paste; a service's journal does not need one.
    if (debug_stderr_is_console()) console_printf("swp-host: try: curl %s\n", report.first_url.c_str());
    return true;
}

void listen_report_show_applied(const ListenReport& report) {
    if (report.listeners > 0 || !report.failures.empty() || !report.dialog.empty()) {
        listen_report_show(report);
        return;
    }
    for (const std::string& line : report.console) console_printf("%s", line.c_str());
}

}  // namespace host
