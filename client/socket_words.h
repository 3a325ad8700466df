// Windows Sockets error codes in words, so that a message names the cause and not only the number.
#pragma once

#include <string>

namespace client {

// "connection refused (error 10061)", or "error 12345" for a code without words.
std::string socket_error_words(int error);

}  // namespace client
