// The FTP control connection: connecting to the server, sending command lines, and reading its
// replies line by line from one receive buffer, so that a reply of any length passes through a
// fixed amount of memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/platform_api.h"

namespace client {

struct Connection {
    SOCKET socket = INVALID_SOCKET;
    SOCKADDR_STORAGE peer{};  // the server's address: data connections go to it too
    int peer_length = 0;
    std::vector<char> input;  // received bytes; [input_start, input_end) not yet read
    size_t input_start = 0;
    size_t input_end = 0;
    std::string where;  // "HOST port PORT", for messages
};

// One reply: its code and its lines joined by LF (without CR LF).
struct Reply {
    int code = 0;
    std::string text;
    std::string last_line() const;
};

// Connects to the first address of `host` that accepts; false with *error in words.
bool connection_open(Connection* connection, const std::string& host, const std::string& port, std::string* error);
void connection_close(Connection* connection);

bool connection_send(Connection* connection, std::string_view bytes, std::string* error);

// The next line, without its CR LF; the view stays valid until the next read. False with *error
// when the connection ends or fails.
bool connection_read_line(Connection* connection, std::string_view* line, std::string* error);

// The next whole reply (single or multi-line).
bool connection_read_reply(Connection* connection, Reply* reply, std::string* error);

// The reply code of a line ("200 x" gives 200), or 0 when the line does not start with one.
int reply_code(std::string_view line);
// Whether the line is the first line of a multi-line reply ("200-...").
bool reply_continues(std::string_view line);

// Why a connection ended: its Windows Sockets error in words, or that the server closed it.
std::string connection_lost_words(int error);

}  // namespace client
