// Files that only their owner may read: the saved index lists the served folders, and the settings
// file may hold the FTP password. Each platform has its own way (private_file_posix.cpp: mode 0600,
// private_file_windows.cpp: a protected access list that names the process's user alone).
#pragma once

#include <string>

namespace host {

// Restricts an existing file to its owner; false when the system refuses.
bool file_make_private(const std::string& path);

}  // namespace host
