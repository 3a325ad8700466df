#include "client/netrc.h"

#include <vector>

#include "sdk/platform_api.h"

namespace client {
namespace {

constexpr DWORD NETRC_MAX_BYTES = 1 << 20;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads the next token: a word, or a double-quoted text with backslash escapes. A line that
// begins with "#" is a comment. False at the end.
bool next_token(std::string_view text, size_t* at, std::string* token) {
    token->clear();
    while (*at < text.size()) {
        char c = text[*at];
        if (is_blank(c)) {
            ++*at;
            continue;
        }
        bool line_start = *at == 0 || text[*at - 1] == '\n';
        if (c == '#' && line_start) {
            size_t end = text.find('\n', *at);
            *at = end == std::string_view::npos ? text.size() : end;
            continue;
        }
        break;
    }
    if (*at >= text.size()) return false;
    if (text[*at] == '"') {
        for (++*at; *at < text.size() && text[*at] != '"'; ++*at) {
            if (text[*at] == '\\' && *at + 1 < text.size()) ++*at;
            token->push_back(text[*at]);
        }
        if (*at < text.size()) ++*at;
        return true;
    }
    while (*at < text.size() && !is_blank(text[*at])) token->push_back(text[(*at)++]);
    return true;
}

// A macro's body runs to the first empty line.
void skip_macro(std::string_view text, size_t* at) {
    size_t end = text.find("\n\n", *at);
    *at = end == std::string_view::npos ? text.size() : end + 2;
}

struct NetrcEntry {
    bool is_default = false;
    std::string machine;
    NetrcLogin login;
};

std::vector<NetrcEntry> netrc_entries(std::string_view text) {
    std::vector<NetrcEntry> entries;
    std::string token, value;
    size_t at = 0;
    while (next_token(text, &at, &token)) {
        if (token == "machine" || token == "default") {
            entries.emplace_back();
            entries.back().is_default = token == "default";
            if (token == "machine" && next_token(text, &at, &value)) entries.back().machine = value;
            continue;
        }
        if (token == "macdef") {
            next_token(text, &at, &value);
            skip_macro(text, &at);
            continue;
        }
        bool known = token == "login" || token == "password" || token == "account";
        if (!known || !next_token(text, &at, &value) || entries.empty()) continue;
        NetrcLogin& login = entries.back().login;
        if (token == "login") login.login = value;
        if (token == "password") {
            login.password = value;
            login.has_password = true;
        }
    }
    return entries;
}

bool host_names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool netrc_find(std::string_view text, std::string_view machine, std::string_view user, NetrcLogin* found) {
    std::vector<NetrcEntry> entries = netrc_entries(text);
    auto fits = [&](const NetrcEntry& entry) {
        return user.empty() || entry.login.login.empty() || entry.login.login == user;
    };
    for (bool want_default : {false, true})
        for (const NetrcEntry& entry : entries) {
            if (entry.is_default != want_default || !fits(entry)) continue;
            if (!want_default && !host_names_equal(entry.machine, machine)) continue;
            *found = entry.login;
            return true;
        }
    return false;
}

bool netrc_read(const std::string& path, std::string* text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    text->assign(NETRC_MAX_BYTES, '\0');
    DWORD got = 0;
    BOOL read = ReadFile(file, text->data(), NETRC_MAX_BYTES, &got, nullptr);
    CloseHandle(file);
    text->resize(read ? got : 0);
    return read != FALSE;
}

}  // namespace client
