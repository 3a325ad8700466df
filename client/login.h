// Logging on: the banner, USER, and PASS with the password from the URL, the netrc file or a
// prompt on the terminal.
#pragma once

#include <string>

#include "client/control_connection.h"
#include "client/ftp_url.h"

namespace client {

// False with *error in words when the server refuses the connection or the login.
bool login_run(Connection* connection, const FtpUrl& url, std::string* error);

// Says goodbye (QUIT, its reply read) and closes the connection.
void login_quit(Connection* connection);

}  // namespace client
