// Folder enumeration and opening files beneath a folder (first version: nothing found).
#include "win32/win32.h"

HANDLE FindFirstFileA(const char*, WIN32_FIND_DATAA*) { return INVALID_HANDLE_VALUE; }
BOOL FindNextFileA(HANDLE, WIN32_FIND_DATAA*) { return FALSE; }
BOOL FindClose(HANDLE) { return TRUE; }
HANDLE CreateFileBeneathA(const char*, const char*) { return INVALID_HANDLE_VALUE; }
