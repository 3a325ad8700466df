// Helpers of the folder scan that are not Win32 calls (the Win32 ones are in win32/win32.h).
#pragma once

#include "win32/win32.h"

// Reported by FindFirstFileA/FindNextFileA for a file that is neither regular, a folder nor a
// symbolic link (a device, a pipe, a socket). Same value as on Windows.
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;

// Entries of the folder that FindFirstFileA/FindNextFileA passed over because they could not be
// examined (vanished or unreadable between the folder read and their stat).
DWORD FindSkippedCount(HANDLE find);
