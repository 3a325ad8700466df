// SetConsoleCtrlHandler over SIGINT (Ctrl+C), SIGHUP (Ctrl+Break) and SIGTERM (close).
//
// The signal handler only writes the signal number to a pipe; a thread of this layer reads it and
// runs the handlers there, newest first, until one returns TRUE. When none does, the signal's
// default action ends the process, as the default console handler would.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "win32/win32.h"

namespace {

struct ConsoleSignal {
    int signal_number;
    DWORD control_type;
};
constexpr ConsoleSignal CONSOLE_SIGNALS[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGHUP, CTRL_BREAK_EVENT},
    {SIGTERM, CTRL_CLOSE_EVENT},
};

struct ConsoleControl {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // in the order they were added
    bool ignore_ctrl_c = false;
    bool installed = false;
    int pipe_read = -1;
    int pipe_write = -1;
};

ConsoleControl& console_control() {
    static ConsoleControl* control = new ConsoleControl;
    return *control;
}

// Written by the signal handler, so read once at installation and never changed.
int signal_pipe_write = -1;

void console_signal_handler(int signal_number) {
    int saved = errno;
    unsigned char code = static_cast<unsigned char>(signal_number);
    ssize_t ignored = ::write(signal_pipe_write, &code, 1);
    (void)ignored;
    errno = saved;
}

bool console_run_handlers(DWORD control_type) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        ConsoleControl& control = console_control();
        std::lock_guard<std::mutex> guard(control.lock);
        if (control_type == CTRL_C_EVENT && control.ignore_ctrl_c) return true;
        handlers = control.handlers;
    }
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler)
        if ((*handler)(control_type)) return true;
    return false;
}

void console_default_action(int signal_number) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void console_signal_thread(int pipe_read) {
    for (;;) {
        unsigned char code;
        ssize_t got = ::read(pipe_read, &code, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (const ConsoleSignal& console_signal : CONSOLE_SIGNALS)
            if (console_signal.signal_number == code && !console_run_handlers(console_signal.control_type))
                console_default_action(code);
    }
}

// Called with the lock held, once.
bool console_install(ConsoleControl& control) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    // A burst of signals that fills the pipe loses signals rather than blocking the handler.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    control.pipe_read = ends[0];
    control.pipe_write = ends[1];
    signal_pipe_write = ends[1];
    std::thread(console_signal_thread, ends[0]).detach();
    struct sigaction action = {};
    action.sa_handler = console_signal_handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const ConsoleSignal& console_signal : CONSOLE_SIGNALS) ::sigaction(console_signal.signal_number, &action, nullptr);
    control.installed = true;
    return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    ConsoleControl& control = console_control();
    std::lock_guard<std::mutex> guard(control.lock);
    if (!control.installed && !console_install(control)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!handler) {
        control.ignore_ctrl_c = add != FALSE;
        return TRUE;
    }
    auto& handlers = control.handlers;
    if (add) {
        handlers.push_back(handler);
        return TRUE;
    }
    auto found = std::find(handlers.rbegin(), handlers.rend(), handler);
    if (found == handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    handlers.erase(std::next(found).base());
    return TRUE;
}
