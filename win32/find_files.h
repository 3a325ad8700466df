// Helpers of the folder scan that are not Win32 calls (the Win32 ones are in win32/win32.h).
#pragma once

#include "win32/win32.h"

// Reported by FindFirstFileA/FindNextFileA for a file that is neither regular, a folder nor a
// symbolic link (a device, a pipe, a socket). Same value as on Windows.
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;

// Entries of the folder that FindFirstFileA/FindNextFileA passed over because they could not be
// examined (vanished or unreadable between the folder read and their stat).
DWORD FindSkippedCount(HANDLE find);

// FindFirstFileA for a pattern relative to root_folder ("a/b/*" or "a/b/name", "/" separators, no
// "." or ".." part), reached without following any symbolic link on the way: a link there fails
// with ERROR_CANT_RESOLVE_FILENAME, a missing folder on the way with ERROR_PATH_NOT_FOUND.
// Not a Windows call: it stands for FindFirstFile under a folder handle with reparse points refused.
HANDLE FindFirstFileBeneathA(const char* root_folder, const char* relative_pattern, WIN32_FIND_DATAA* data);
