#include "client/login.h"

#include "client/netrc.h"
#include "client/password_prompt.h"

namespace client {
namespace {

constexpr char ANONYMOUS[] = "anonymous";

struct Credentials {
    std::string user;
    std::string password;
    bool has_password = false;
};

// The URL's user and password, completed from the netrc file.
Credentials credentials_of(const FtpUrl& url) {
    Credentials credentials{url.user, url.password, url.has_password};
    if (credentials.has_password) return credentials;
    std::string text;
    std::string path = netrc_path();
    NetrcLogin found;
    if (path.empty() || !netrc_read(path, &text) || !netrc_find(text, url.host, url.user, &found)) return credentials;
    if (credentials.user.empty()) credentials.user = found.login;
    if (found.has_password && (found.login.empty() || found.login == credentials.user)) {
        credentials.password = found.password;
        credentials.has_password = true;
    }
    return credentials;
}

bool command(Connection* connection, const std::string& line, Reply* reply, std::string* error) {
    return connection_send(connection, line + "\r\n", error) && connection_read_reply(connection, reply, error);
}

bool refused(const std::string& user, const Reply& reply, std::string* error) {
    *error = "login refused for user " + user + ": the server says \"" + reply.last_line() + "\"";
    return false;
}

bool password_supply(Credentials* credentials, const FtpUrl& url, std::string* error) {
    if (credentials->has_password) return true;
    std::string prompt = "Password for " + credentials->user + "@" + url.host + ": ";
    if (password_prompt(prompt, &credentials->password)) return true;
    *error = "login refused for user " + credentials->user + ": the server asks for a password; give it in the "
             "URL or the netrc file";
    return false;
}

}  // namespace

bool login_run(Connection* connection, const FtpUrl& url, std::string* error) {
    Reply reply;
    if (!connection_read_reply(connection, &reply, error)) return false;
    if (reply.code != 220) {
        *error = "the server at " + connection->where + " refuses the connection: \"" + reply.last_line() + "\"";
        return false;
    }
    Credentials credentials = credentials_of(url);
    if (credentials.user.empty()) credentials.user = ANONYMOUS;
    if (credentials.user.find_first_of("\r\n") != std::string::npos) {
        *error = "the user name must not hold a line break";
        return false;
    }
    if (!command(connection, "USER " + credentials.user, &reply, error)) return false;
    if (reply.code == 230) return true;
    if (reply.code != 331) return refused(credentials.user, reply, error);
    if (!password_supply(&credentials, url, error)) return false;
    if (credentials.password.find_first_of("\r\n") != std::string::npos) {
        *error = "the password must not hold a line break";
        return false;
    }
    if (!command(connection, "PASS " + credentials.password, &reply, error)) return false;
    return reply.code == 230 || refused(credentials.user, reply, error);
}

void login_quit(Connection* connection) {
    Reply reply;
    std::string ignored;
    if (connection->socket != INVALID_SOCKET) command(connection, "QUIT", &reply, &ignored);
    connection_close(connection);
}

}  // namespace client
