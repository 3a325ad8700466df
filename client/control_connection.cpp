#include "client/control_connection.h"

#include <cstring>

#include "client/socket_words.h"

namespace client {
namespace {

constexpr size_t RECEIVE_CHUNK = 64 * 1024;
// Far above any line a server has reason to send (a path of 32,767 characters is under 100 KiB),
// so that a server that never ends a line cannot make the client hold all it sends.
constexpr size_t LINE_MAX_BYTES = 1024 * 1024;

bool try_connect(Connection* connection, const ADDRINFOA* address, int* error) {
    SOCKET socket_handle = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket_handle == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return false;
    }
    if (connect(socket_handle, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        *error = WSAGetLastError();
        closesocket(socket_handle);
        return false;
    }
    int on = 1;
    setsockopt(socket_handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    connection->socket = socket_handle;
    std::memcpy(&connection->peer, address->ai_addr, address->ai_addrlen);
    connection->peer_length = static_cast<int>(address->ai_addrlen);
    return true;
}

// Makes room for at least one more chunk at the end of the buffer, moving unread bytes to its start.
void input_make_room(Connection* connection) {
    std::vector<char>& input = connection->input;
    size_t unread = connection->input_end - connection->input_start;
    if (connection->input_start != 0) {
        std::memmove(input.data(), input.data() + connection->input_start, unread);
        connection->input_start = 0;
        connection->input_end = unread;
    }
    if (input.size() - connection->input_end < RECEIVE_CHUNK) input.resize(connection->input_end + RECEIVE_CHUNK);
}

bool input_fill(Connection* connection, std::string* error) {
    input_make_room(connection);
    size_t room = connection->input.size() - connection->input_end;
    int got = recv(connection->socket, connection->input.data() + connection->input_end,
                   static_cast<int>(room > RECEIVE_CHUNK * 16 ? RECEIVE_CHUNK * 16 : room), 0);
    if (got <= 0) {
        *error = connection_lost_words(got == 0 ? 0 : WSAGetLastError());
        return false;
    }
    connection->input_end += static_cast<size_t>(got);
    return true;
}

}  // namespace

std::string Reply::last_line() const {
    size_t at = text.rfind('\n');
    return at == std::string::npos ? text : text.substr(at + 1);
}

std::string connection_lost_words(int error) {
    if (error == 0) return "the server closed the connection";
    return "the connection failed: " + socket_error_words(error);
}

bool connection_open(Connection* connection, const std::string& host, const std::string& port, std::string* error) {
    connection->where = host + " port " + port;
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* addresses = nullptr;
    int lookup = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    if (lookup != 0) {
        *error = "cannot find the host " + host + ": " + socket_error_words(lookup);
        return false;
    }
    int last_error = WSAECONNREFUSED;
    for (const ADDRINFOA* address = addresses; address; address = address->ai_next)
        if (try_connect(connection, address, &last_error)) break;
    freeaddrinfo(addresses);
    if (connection->socket != INVALID_SOCKET) return true;
    *error = "cannot connect to " + connection->where + ": " + socket_error_words(last_error);
    return false;
}

void connection_close(Connection* connection) {
    if (connection->socket != INVALID_SOCKET) closesocket(connection->socket);
    connection->socket = INVALID_SOCKET;
}

bool connection_send(Connection* connection, std::string_view bytes, std::string* error) {
    while (!bytes.empty()) {
        int piece = bytes.size() > (1u << 30) ? (1 << 30) : static_cast<int>(bytes.size());
        int sent = send(connection->socket, bytes.data(), piece, 0);
        if (sent <= 0) {
            *error = connection_lost_words(sent == 0 ? 0 : WSAGetLastError());
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool connection_read_line(Connection* connection, std::string_view* line, std::string* error) {
    size_t scanned = connection->input_start;
    for (;;) {
        const char* begin = connection->input.data();
        size_t unscanned = connection->input_end - scanned;
        const void* found = unscanned == 0 ? nullptr : std::memchr(begin + scanned, '\n', unscanned);
        if (found) {
            size_t end = static_cast<const char*>(found) - begin;
            size_t length = end - connection->input_start;
            if (length > 0 && begin[end - 1] == '\r') --length;
            *line = std::string_view(begin + connection->input_start, length);
            connection->input_start = end + 1;
            return true;
        }
        size_t scanned_offset = connection->input_end - connection->input_start;
        if (scanned_offset > LINE_MAX_BYTES) {
            *error = "the server sent a line longer than 1 MiB";
            return false;
        }
        if (!input_fill(connection, error)) return false;
        scanned = connection->input_start + scanned_offset;
    }
}

int reply_code(std::string_view line) {
    if (line.size() < 3) return 0;
    int code = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return 0;
    return code;
}

bool reply_continues(std::string_view line) { return reply_code(line) != 0 && line.size() > 3 && line[3] == '-'; }

bool connection_read_reply(Connection* connection, Reply* reply, std::string* error) {
    std::string_view line;
    if (!connection_read_line(connection, &line, error)) return false;
    reply->code = reply_code(line);
    reply->text = std::string(line);
    if (reply->code == 0) {
        *error = "the server does not speak FTP: it sent \"" + reply->text.substr(0, 80) + "\"";
        return false;
    }
    if (!reply_continues(line)) return true;
    std::string closing = reply->text.substr(0, 3) + " ";
    do {
        if (!connection_read_line(connection, &line, error)) return false;
        if (reply->text.size() > LINE_MAX_BYTES) {
            *error = "the server sent a reply longer than 1 MiB";
            return false;
        }
        reply->text += "\n";
        reply->text += line;
    } while (line.substr(0, 4) != closing);
    return true;
}

}  // namespace client
