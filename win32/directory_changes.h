// What change notification needs beyond the Win32 calls (those are in win32/win32.h).
#pragma once

#include "win32/win32.h"

// Folders below a folder watched with ReadDirectoryChangesW (subtree) whose changes cannot be
// reported because the system's limit of watches was reached (Linux: the per-user limit of inotify
// watches). The call first tries again to watch them. It fills `paths` with the topmost folders
// that were unwatched when it began, relative to the watched folder with backslashes, each followed
// by a zero byte, as many as fit in `size` bytes, and returns how many topmost folders there were;
// *unwatched_folders (when not null) receives how many folders they hold, themselves included.
// Not a Windows call: there a subtree is watched as a whole.
DWORD GetUnwatchedFoldersA(HANDLE directory, char* paths, DWORD size, DWORD* unwatched_folders);
