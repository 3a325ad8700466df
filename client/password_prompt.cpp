#include "client/password_prompt.h"

#include <atomic>

#include "client/console.h"

namespace client {
namespace {

// The console mode to restore when Ctrl+C ends the program while echo is off. Set and cleared on
// the main thread around the read; read by the console's control handler thread.
std::atomic<HANDLE> g_prompt_input{INVALID_HANDLE_VALUE};
std::atomic<DWORD> g_prompt_saved_mode{0};

BOOL prompt_restore_on_ctrl(DWORD) {
    HANDLE input = g_prompt_input.load();
    if (input != INVALID_HANDLE_VALUE) SetConsoleMode(input, g_prompt_saved_mode.load());
    return FALSE;  // the default action still ends the program
}

// One line of console input, without its CR LF; a line longer than the limit is cut.
bool read_console_line(HANDLE input, std::string* line) {
    constexpr size_t LINE_LIMIT = 4096;
    line->clear();
    char c = 0;
    DWORD got = 0;
    while (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') return true;
        if (c != '\r' && line->size() < LINE_LIMIT) line->push_back(c);
    }
    return !line->empty();
}

}  // namespace

bool password_prompt(const std::string& prompt, std::string* password) {
    if (!console_is_terminal(STD_INPUT_HANDLE)) return false;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    g_prompt_saved_mode = mode;
    g_prompt_input = input;
    SetConsoleCtrlHandler(prompt_restore_on_ctrl, TRUE);
    // Echo goes off before the prompt shows, so that nothing typed after it can be echoed.
    SetConsoleMode(input, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
    console_write(STD_ERROR_HANDLE, prompt);
    bool read = read_console_line(input, password);
    SetConsoleMode(input, mode);
    g_prompt_input = INVALID_HANDLE_VALUE;
    SetConsoleCtrlHandler(prompt_restore_on_ctrl, FALSE);
    console_write(STD_ERROR_HANDLE, "\n");  // the Enter that echo did not show
    return read;
}

}  // namespace client
