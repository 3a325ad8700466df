#include "client/data_connection.h"

#include <cstring>
#include <vector>

#include "client/socket_words.h"

namespace client {
namespace {

bool command(Connection* control, const char* line, Reply* reply, std::string* error) {
    return connection_send(control, std::string(line) + "\r\n", error) && connection_read_reply(control, reply, error);
}

// The numbers of a reply between its "(" and ")", separated by any of `separators`.
std::vector<long> numbers_in_parentheses(const std::string& text, const char* separators) {
    std::vector<long> numbers;
    size_t open = text.find('(');
    size_t close = text.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return numbers;
    long value = -1;
    for (size_t at = open + 1; at <= close; ++at) {
        char c = text[at];
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value) * 10 + (c - '0');
            if (value > 65535) return {};
        } else if (std::strchr(separators, c) != nullptr || c == ')') {
            if (value >= 0) numbers.push_back(value);
            value = -1;
        } else {
            return {};
        }
    }
    return numbers;
}

bool connect_to_port(const Connection& control, int port, SOCKET* data, std::string* error) {
    SOCKADDR_STORAGE address = control.peer;
    uint16_t network_port = htons(static_cast<uint16_t>(port));
    if (address.ss_family == AF_INET) reinterpret_cast<SOCKADDR_IN*>(&address)->sin_port = network_port;
    else reinterpret_cast<SOCKADDR_IN6*>(&address)->sin6_port = network_port;
    SOCKET socket_handle = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_handle == INVALID_SOCKET ||
        connect(socket_handle, reinterpret_cast<const SOCKADDR*>(&address), control.peer_length) != 0) {
        *error = "cannot open a data connection to port " + std::to_string(port) + ": " +
                 socket_error_words(WSAGetLastError());
        if (socket_handle != INVALID_SOCKET) closesocket(socket_handle);
        return false;
    }
    *data = socket_handle;
    return true;
}

}  // namespace

int passive_reply_port(const std::string& text) {
    if (text.compare(0, 4, "229 ") == 0) {
        std::vector<long> numbers = numbers_in_parentheses(text, "|");
        return numbers.size() == 1 && numbers[0] > 0 ? static_cast<int>(numbers[0]) : 0;
    }
    if (text.compare(0, 4, "227 ") == 0) {
        std::vector<long> numbers = numbers_in_parentheses(text, ",");
        if (numbers.size() != 6 || numbers[4] > 255 || numbers[5] > 255) return 0;
        return static_cast<int>(numbers[4] * 256 + numbers[5]);
    }
    return 0;
}

DataOpen data_connection_open(Connection* control, SOCKET* data, std::string* error) {
    Reply reply;
    if (!command(control, "EPSV", &reply, error)) return DataOpen::LOST;
    if (reply.code != 229 && control->peer.ss_family == AF_INET && !command(control, "PASV", &reply, error))
        return DataOpen::LOST;
    int port = passive_reply_port(reply.text);
    if (port == 0) {
        *error = "the server opens no data connection: \"" + reply.last_line() + "\"";
        return DataOpen::REFUSED;
    }
    return connect_to_port(*control, port, data, error) ? DataOpen::OPEN : DataOpen::REFUSED;
}

}  // namespace client
