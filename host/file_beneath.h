// Opening an indexed file for reading below its indexed folder, so that no index path leads outside
// the indexed folders: no link or reparse point is followed on the way, and "." and ".." are
// refused. Each platform has its own way (file_beneath_posix.cpp, file_beneath_windows.cpp).
#pragma once

#include <string>

#include "sdk/platform_api.h"

namespace host {

// root_folder: a folder of this machine without links in its path; relative_path: names joined by
// backslashes. A regular file's handle, or INVALID_HANDLE_VALUE.
HANDLE file_open_beneath(const std::string& root_folder, const std::string& relative_path);

}  // namespace host
