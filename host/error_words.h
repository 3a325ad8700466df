// Words for the Win32 error numbers the host reports, so that a message names the cause and not
// only the number.
#pragma once

#include <string>

#include "sdk/platform_api.h"

namespace host {

// "permission denied (error 5)", or "error 1234" for a number without words.
std::string error_words(DWORD error);

}  // namespace host
