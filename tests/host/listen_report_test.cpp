// The listen report: what a start's socket calls tell the user, and the words for their failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/listen_report.h"
#include "host/services.h"

namespace {

host::ListenFailure failure(host::ListenCall call, int error, int port = 0, const char* name = "") {
    return {call, name, "99999", "127.0.0.1:" + std::to_string(port), port, error};
}

TEST(ListenFailureWords, EachCauseInWordsBesideItsNumber) {
    using host::ListenCall;
    struct Case {
        host::ListenFailure failure;
        const char* expected;
    };
    const Case cases[] = {
        {failure(ListenCall::BIND, WSAEADDRINUSE, 2121),
         "cannot listen on 127.0.0.1:2121: port 2121 is already in use (error 10048)"},
        {failure(ListenCall::BIND, WSAEACCES, 21),
         "cannot listen on 127.0.0.1:21: ports below 1024 need privileges: use --port 2121 or grant "
         "CAP_NET_BIND_SERVICE (error 10013)"},
        {failure(ListenCall::BIND, WSAEACCES, 2121), "cannot listen on 127.0.0.1:2121: permission denied (error 10013)"},
        {failure(ListenCall::LOOKUP, WSAHOST_NOT_FOUND, 0, "ftp.example.invalid"),
         "cannot listen on \"ftp.example.invalid\": the name does not resolve (error 11001)"},
        {failure(ListenCall::LOOKUP, WSATYPE_NOT_FOUND),
         "cannot listen on all local addresses: 99999 is not a port number from 0 to 65535 (error 10109)"},
        {failure(ListenCall::LISTEN, WSAENOBUFS, 2121), "cannot listen on 127.0.0.1:2121: the call failed (error 10055)"},
    };
    for (const Case& c : cases) EXPECT_EQ(host::listen_failure_explain(c.failure), c.expected);
}

// The watch sees the calls of the host's socket services, and the caller still reads its error.
TEST(ListenWatch, NotesListenersAndFailuresAndKeepsTheCallersError) {
    WSADATA data;
    ASSERT_EQ(host::os_winsock_WSAStartup(257, &data), 0);
    ADDRINFOA hints = {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* list = nullptr;
    ASSERT_EQ(host::os_winsock_getaddrinfo("127.0.0.1", "0", &hints, &list), 0);
    SOCKET first = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET second = host::os_winsock_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(host::os_winsock_bind(first, list->ai_addr, static_cast<int>(list->ai_addrlen)), 0);
    host::os_winsock_freeaddrinfo(list);
    SOCKADDR_STORAGE address = {};
    int length = sizeof address;
    ASSERT_EQ(host::os_winsock_getsockname(first, reinterpret_cast<SOCKADDR*>(&address), &length), 0);
    int port = host::os_winsock_ntohs(reinterpret_cast<SOCKADDR_IN&>(address).sin_port);

    testing::internal::CaptureStderr();
    host::listen_watch_begin();
    ASSERT_EQ(host::os_winsock_listen(first, 4), 0);
    EXPECT_EQ(host::os_winsock_bind(second, reinterpret_cast<SOCKADDR*>(&address), length), -1);
    EXPECT_EQ(host::os_winsock_WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(host::os_winsock_getaddrinfo(nullptr, "65536", &hints, &list), WSATYPE_NOT_FOUND);
    EXPECT_EQ(host::os_winsock_WSAGetLastError(), WSATYPE_NOT_FOUND);
    host::ListenReport report = host::listen_watch_end();
    std::string console = testing::internal::GetCapturedStderr();

    std::string where = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(console, "swp-host: listening on " + where + "\n");
    EXPECT_EQ(report.listeners, 1);
    EXPECT_EQ(report.first_url, "ftp://" + where + "/");
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(host::listen_failure_explain(report.failures[0]),
              "cannot listen on " + where + ": port " + std::to_string(port) + " is already in use (error 10048)");
    EXPECT_EQ(report.failures[1].call, host::ListenCall::LOOKUP);
    EXPECT_EQ(report.failures[1].service, "65536");

    // Outside a start nothing is announced or noted.
    EXPECT_EQ(host::os_winsock_bind(second, reinterpret_cast<SOCKADDR*>(&address), length), -1);
    EXPECT_TRUE(host::listen_watch_end().failures.empty());
    host::os_winsock_closesocket(second);
    host::os_winsock_closesocket(first);
    host::os_winsock_WSACleanup();
}

// A failed start speaks once: the plug-in's dialog and console lines wait in the report, which shows
// the failure in words and the dialog beneath it on one line; its traces stay behind --debug.
TEST(ListenWatch, AFailedStartShowsTheFailureInWordsThenTheDialogOnOneLine) {
    testing::internal::CaptureStderr();
    host::listen_watch_begin();
    host::debug_error_printf("bind failed %d\n", 10048);
    host::ui_task_dialog_show(nullptr, 16, "Sorrelwick", 0, "Unable to start the FTP server.",
                              "Unable to bind the listening socket: error 10048.");
    host::debug_color_printf(0xff00ffff, "SWP server offline.\r\n");
    host::ListenReport report = host::listen_watch_end();
    report.failures.push_back(failure(host::ListenCall::BIND, WSAEADDRINUSE, 2121));
    EXPECT_FALSE(host::listen_report_show(report));
    host::ui_task_dialog_show(nullptr, 16, "Sorrelwick", 0, "Outside a start", "it shows at once.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "swp-host: cannot listen on 127.0.0.1:2121: port 2121 is already in use (error 10048)\n"
              "swp-host: Unable to start the FTP server. Unable to bind the listening socket: error 10048.\n"
              "swp-host: Outside a start it shows at once.\n");
    EXPECT_EQ(report.console, std::vector<std::string>{"SWP server offline.\r\n"});
}

}  // namespace
