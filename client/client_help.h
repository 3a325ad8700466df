// The --help text and the manual page of swp-search, both made from the flag table, the search
// syntax of the host and the sections of client_help.cpp.
#pragma once

#include <string>

namespace client {

std::string client_help();
std::string client_manual_page(const std::string& version);

}  // namespace client
