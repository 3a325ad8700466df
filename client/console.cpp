#include "client/console.h"

namespace client {

bool console_is_terminal(DWORD which) {
    DWORD mode = 0;
    HANDLE handle = GetStdHandle(which);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != FALSE;
}

void console_prepare() {
    if (console_is_terminal(STD_OUTPUT_HANDLE) || console_is_terminal(STD_ERROR_HANDLE)) SetConsoleOutputCP(CP_UTF8);
}

bool console_write(DWORD which, std::string_view text, DWORD* error) {
    HANDLE handle = GetStdHandle(which);
    while (!text.empty()) {
        DWORD piece = text.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(text.size());
        DWORD written = 0;
        if (!WriteFile(handle, text.data(), piece, &written, nullptr) || written == 0) {
            if (error) *error = GetLastError();
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

void console_report(const std::string& message) { console_write(STD_ERROR_HANDLE, "swp-search: " + message + "\n"); }

}  // namespace client
