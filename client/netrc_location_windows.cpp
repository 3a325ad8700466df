// The netrc file of Windows: %USERPROFILE%\_netrc.
#include <cstdlib>

#include "client/netrc.h"

namespace client {

std::string netrc_path() {
    const char* profile = std::getenv("USERPROFILE");
    if (profile == nullptr || profile[0] == 0) return "";
    return std::string(profile) + "\\_netrc";
}

}  // namespace client
