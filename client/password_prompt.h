// Asks for a password on the terminal, without showing what is typed.
#pragma once

#include <string>

namespace client {

// Shows `prompt` on stderr and reads one line from the console with echo off; false when the
// standard input is no console or the line cannot be read.
bool password_prompt(const std::string& prompt, std::string* password);

}  // namespace client
