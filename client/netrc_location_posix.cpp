// The netrc file of POSIX systems: ~/.netrc.
#include <cstdlib>

#include "client/netrc.h"

namespace client {

std::string netrc_path() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == 0) return "";
    return std::string(home) + "/.netrc";
}

}  // namespace client
