#include "client/socket_words.h"

#include "sdk/platform_api.h"

namespace client {
namespace {

struct SocketWords {
    int error;
    const char* words;
};

constexpr SocketWords SOCKET_WORDS[] = {
    {WSAECONNREFUSED, "connection refused"},
    {WSAETIMEDOUT, "no answer (timed out)"},
    {WSAEHOSTUNREACH, "the host cannot be reached"},
    {WSAENETUNREACH, "the network cannot be reached"},
    {WSAECONNRESET, "the connection was reset"},
    {WSAECONNABORTED, "the connection was aborted"},
    {WSAEADDRNOTAVAIL, "the address is not available"},
    {WSAEAFNOSUPPORT, "the address family is not supported"},
    {WSAEMFILE, "too many files and sockets are open"},
    {WSAENOBUFS, "no buffer space (out of memory or ports)"},
    {WSAHOST_NOT_FOUND, "the name does not resolve"},
    {WSANO_DATA, "the name has no address"},
    {WSATRY_AGAIN, "the name server gave no answer; try again later"},
    {WSANO_RECOVERY, "the name lookup failed"},
    {WSATYPE_NOT_FOUND, "the port is not valid"},
};

}  // namespace

std::string socket_error_words(int error) {
    std::string number = "error " + std::to_string(error);
    for (const SocketWords& entry : SOCKET_WORDS)
        if (entry.error == error) return std::string(entry.words) + " (" + number + ")";
    return number;
}

}  // namespace client
