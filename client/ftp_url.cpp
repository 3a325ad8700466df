#include "client/ftp_url.h"

namespace client {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX sequences become bytes; a line break or NUL, which would end an FTP command, is refused.
bool percent_decode(std::string_view text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\r' || c == '\n' || c == 0) return false;
        out->push_back(c);
    }
    return true;
}

bool port_valid(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

// Splits "host[:port]" or "[v6]:port"; false when it is malformed.
bool host_port_split(std::string_view text, std::string* host, std::string* port) {
    std::string_view port_text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        *host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) port_text = rest.substr(1);
        if (!rest.empty() && port_text.empty()) return false;
    } else {
        size_t colon = text.find(':');
        *host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = text.substr(colon + 1);
            if (port_text.empty()) return false;
        }
    }
    if (host->empty()) return false;
    if (!port_text.empty() && !port_valid(port_text)) return false;
    *port = port_text.empty() ? "21" : std::string(port_text);
    return true;
}

}  // namespace

bool ftp_url_parse(std::string_view text, FtpUrl* url, std::string* error) {
    constexpr std::string_view SCHEME = "ftp://";
    auto refuse = [&](const char* why) {
        *error = std::string("not an ftp:// URL of a server: ") + why;
        return false;
    };
    if (text.size() < SCHEME.size() || text.substr(0, SCHEME.size()) != SCHEME)
        return refuse("it must begin with ftp://");
    std::string_view rest = text.substr(SCHEME.size());
    size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        if (slash + 1 != rest.size()) return refuse("it names a path; give only ftp://[user@]host[:port]");
        rest = rest.substr(0, slash);
    }
    *url = FtpUrl();
    std::string_view authority = rest;
    size_t at = rest.rfind('@');
    std::string_view user_text;
    if (at != std::string_view::npos) {
        std::string_view user_info = rest.substr(0, at);
        authority = rest.substr(at + 1);
        size_t colon = user_info.find(':');
        user_text = user_info.substr(0, colon);
        if (!percent_decode(user_text, &url->user)) return refuse("its user name is not well encoded");
        if (colon != std::string_view::npos) {
            url->has_password = true;
            if (!percent_decode(user_info.substr(colon + 1), &url->password))
                return refuse("its password is not well encoded");
        }
    }
    if (!host_port_split(authority, &url->host, &url->port)) return refuse("its host or port is not valid");
    url->base = std::string(SCHEME);
    if (!user_text.empty()) url->base += std::string(user_text) + "@";
    url->base += std::string(authority);
    return true;
}

std::string url_path_encode(std::string_view path) {
    constexpr char HEX[] = "0123456789ABCDEF";
    constexpr std::string_view KEPT = "-._~/!$&'()*+,=:@";
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                     KEPT.find(c) != std::string_view::npos;
        if (plain) {
            out.push_back(c);
            continue;
        }
        out.push_back('%');
        out.push_back(HEX[byte >> 4]);
        out.push_back(HEX[byte & 15]);
    }
    return out;
}

}  // namespace client
