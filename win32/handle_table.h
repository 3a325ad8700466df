// Kernel-object handles shared inside libwin32: the other parts of the layer register what they
// open here, so that one CloseHandle and one WaitForSingleObject serve every kind.
// Not part of the Win32 interface: only win32/*.cpp include it.
#pragma once

#include "win32/win32.h"

// Wraps an open descriptor as a file HANDLE for ReadFile, WriteFile, SetFilePointerEx,
// GetFileSizeEx and CloseHandle. The handle owns the descriptor from then on (closed with it,
// or at once when no handle can be made). INVALID_HANDLE_VALUE on failure, with GetLastError set.
HANDLE win32_file_handle_from_fd(int fd);

// The Windows error code (ERROR_*) for an errno value.
DWORD win32_error_from_errno(int error_number);
