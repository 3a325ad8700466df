// The standard handles and their console modes: GetStdHandle, GetConsoleMode, SetConsoleMode,
// SetConsoleOutputCP.
// A standard handle is a file handle on a copy of descriptor 0, 1 or 2, made once; it is a console
// when its descriptor is a terminal. The standard input's console modes are its terminal's
// settings, so that a program can read a password without echo as it would on Windows.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
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

// The terminal descriptor behind a handle, with a reference that keeps it open, or -1.
int terminal_fd(HANDLE handle, KernelObjectRef* hold) {
    *hold = kernel_handle_get(handle, KernelObjectKind::FILE);
    return *hold && ::isatty((*hold)->fd) == 1 ? (*hold)->fd : -1;
}

// A handle is only obtained from GetStdHandle, whose once-flag has then made the table.
bool handle_is_standard_input(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle == standard_handles().handles[0];
}

struct InputModeFlag {
    DWORD mode;
    tcflag_t local_flag;
};
constexpr InputModeFlag INPUT_MODE_FLAGS[] = {
    {ENABLE_PROCESSED_INPUT, ISIG},
    {ENABLE_LINE_INPUT, ICANON},
    {ENABLE_ECHO_INPUT, ECHO},
};

BOOL input_mode_get(int fd, DWORD* mode) {
    termios settings;
    if (::tcgetattr(fd, &settings) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD found = 0;
    for (const InputModeFlag& flag : INPUT_MODE_FLAGS)
        if (settings.c_lflag & flag.local_flag) found |= flag.mode;
    if (mode) *mode = found;
    return TRUE;
}

BOOL input_mode_set(int fd, DWORD mode) {
    termios settings;
    if (::tcgetattr(fd, &settings) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (const InputModeFlag& flag : INPUT_MODE_FLAGS) {
        if (mode & flag.mode) settings.c_lflag |= flag.local_flag;
        else settings.c_lflag &= ~flag.local_flag;
    }
    int result;
    do {
        result = ::tcsetattr(fd, TCSANOW, &settings);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
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

// Reports an output terminal's mode as Windows' defaults, the standard input's from its terminal;
// any other handle is no console.
BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
    KernelObjectRef hold;
    int fd = terminal_fd(console, &hold);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle_is_standard_input(console)) return input_mode_get(fd, mode);
    if (mode) *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    return TRUE;
}

// An output terminal takes any mode (it always interprets escape sequences); the standard input's
// terminal is set to the mode.
BOOL SetConsoleMode(HANDLE console, DWORD mode) {
    KernelObjectRef hold;
    int fd = terminal_fd(console, &hold);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle_is_standard_input(console)) return input_mode_set(fd, mode);
    return TRUE;
}

BOOL SetConsoleOutputCP(UINT code_page) {
    if (code_page == CP_UTF8) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
