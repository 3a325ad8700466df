// The standard handles and their console modes: GetStdHandle, GetConsoleMode, SetConsoleMode,
// SetConsoleOutputCP.
// A standard handle is a file handle on a copy of descriptor 0, 1 or 2, made once; it is a console
// when its descriptor is a terminal.
#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "win32/handle_table.h"
#include "win32/kernel_objects.h"

namespace {

struct StandardHandles {
    std::once_flag made;
    HANDLE handles[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

StandardHandles& standard_handles() {
    static StandardHandles* handles = new StandardHandles;
    return *handles;
}

bool handle_is_terminal(HANDLE handle) {
    KernelObjectRef file = kernel_handle_get(handle, KernelObjectKind::FILE);
    return file && ::isatty(file->fd) == 1;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
    int fd = which == STD_INPUT_HANDLE ? 0 : which == STD_OUTPUT_HANDLE ? 1 : which == STD_ERROR_HANDLE ? 2 : -1;
    if (fd < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    StandardHandles& standard = standard_handles();
    std::call_once(standard.made, [&standard] {
        for (int number = 0; number < 3; ++number) {
            int copy = ::fcntl(number, F_DUPFD_CLOEXEC, 3);
            if (copy >= 0) standard.handles[number] = win32_file_handle_from_fd(copy);
        }
    });
    return standard.handles[fd];
}

// Reports the mode of a terminal as Windows' defaults; any other handle is no console.
BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
    if (!handle_is_terminal(console)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mode) *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    return TRUE;
}

// A terminal takes any mode (it always interprets escape sequences).
BOOL SetConsoleMode(HANDLE console, DWORD) {
    if (!handle_is_terminal(console)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL SetConsoleOutputCP(UINT code_page) {
    if (code_page == CP_UTF8) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
