// Why the server could not run a regular expression: when a regex search finds nothing, the
// expression is read here with the same engine and options, so that a mistyped expression is an
// error and not an empty result.
#pragma once

#include <string>

namespace client {

// False with *why (the engine's words) when the expression does not compile.
bool regex_compiles(const std::string& expression, bool match_case, std::string* why);

}  // namespace client
