// swp-search: finds files on an SWP server as locate finds them here, and downloads them.
#include <string>

#include "client/client_help.h"
#include "client/client_options.h"
#include "client/console.h"
#include "client/control_connection.h"
#include "client/ftp_url.h"
#include "client/login.h"
#include "client/search_session.h"

namespace {

// As grep: something found, nothing found, an error.
constexpr int EXIT_FOUND = 0;
constexpr int EXIT_NOTHING = 1;
constexpr int EXIT_ERROR = 2;

int usage_error(const std::string& message) {
    client::console_report(message);
    client::console_write(STD_ERROR_HANDLE, "Try 'swp-search --help' for more information.\n");
    return EXIT_ERROR;
}

int failure(const std::string& message) {
    client::console_report(message);
    return EXIT_ERROR;
}

int search(const client::ClientOptions& options, const client::FtpUrl& url) {
    client::Connection connection;
    std::string error;
    if (!client::connection_open(&connection, url.host, url.port, &error)) return failure(error);
    client::SearchOutcome outcome;
    if (!client::login_run(&connection, url, &error) || !client::search_run(&connection, options, &outcome, &error)) {
        client::connection_close(&connection);
        return failure(error);
    }
    client::login_quit(&connection);
    if (outcome.failed_downloads != 0)
        return failure(std::to_string(outcome.failed_downloads) + " download(s) failed");
    return outcome.printed != 0 ? EXIT_FOUND : EXIT_NOTHING;
}

}  // namespace

int main(int argc, char** argv) {
    client::console_prepare();
    client::ClientOptions options;
    std::string error;
    if (!client::client_options_parse(argc, argv, &options, &error)) return usage_error(error);
    if (options.show_help) return client::console_write(STD_OUTPUT_HANDLE, client::client_help()) ? 0 : EXIT_ERROR;
    if (options.show_manual)
        return client::console_write(STD_OUTPUT_HANDLE, client::client_manual_page(SWP_VERSION)) ? 0 : EXIT_ERROR;
    if (options.show_version)
        return client::console_write(STD_OUTPUT_HANDLE, "swp-search " SWP_VERSION "\n") ? 0 : EXIT_ERROR;
    client::FtpUrl url;
    if (!client::ftp_url_parse(options.url, &url, &error)) return usage_error(error);
    options.style.url_base = url.base;
    WSADATA winsock;
    int started = WSAStartup(MAKEWORD(2, 2), &winsock);
    if (started != 0) return failure("cannot start Windows Sockets: error " + std::to_string(started));
    int status = search(options, url);
    WSACleanup();
    return status;
}
