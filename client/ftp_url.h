// The server's URL as the command line gives it: ftp://[user[:password]@]host[:port][/].
#pragma once

#include <string>
#include <string_view>

namespace client {

struct FtpUrl {
    std::string user;       // percent-decoded; empty when the URL names none
    std::string password;   // percent-decoded
    bool has_password = false;
    std::string host;       // without the brackets of an IPv6 address
    std::string port;       // "21" unless the URL gives one
    std::string base;       // "ftp://[user@]host[:port]" as written, without the password: for --url
};

// False with *error in words when the text is no such URL.
bool ftp_url_parse(std::string_view text, FtpUrl* url, std::string* error);

// The path with every byte that may not stand in a URL path percent-encoded ("/" stays).
std::string url_path_encode(std::string_view path);

}  // namespace client
