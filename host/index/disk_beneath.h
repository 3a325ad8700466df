// What the live index asks of the disk beyond reading a folder (folder_read.h): entries found below
// an indexed folder without following a link on the way, and the folders that change notification
// could not watch. Each platform answers its own way (disk_beneath_posix.cpp,
// disk_beneath_windows.cpp).
#pragma once

#include <string>

#include "sdk/platform_api.h"
#ifndef _WIN32
#include "win32/find_files.h"  // FILE_ATTRIBUTE_DEVICE, as Windows' headers define it
#endif

namespace host {

// FindFirstFileA for `relative_pattern` ("a/b/*" or "a/b/name", "/" separators, no "." or ".."
// part) below `root_folder`, reached without following any link on the way, the root included: a
// link there fails with ERROR_CANT_RESOLVE_FILENAME, a missing folder with ERROR_PATH_NOT_FOUND.
HANDLE disk_find_first_beneath(const std::string& root_folder, const std::string& relative_pattern,
                               WIN32_FIND_DATAA* data);

// Entries the search passed over because they vanished or could not be examined meanwhile.
DWORD disk_find_skipped(HANDLE find);

// The folders below a folder watched as a subtree whose changes cannot be reported for want of
// system watches, as GetUnwatchedFoldersA gives them on Linux (see win32/directory_changes.h).
// Windows watches a subtree as a whole: none.
DWORD disk_unwatched_folders(HANDLE directory, char* paths, DWORD size, DWORD* unwatched_folders);

}  // namespace host
