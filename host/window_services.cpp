// Window classes, windows and task dialogs. A task dialog's texts go to stderr on one line (held by
// the listen report while the server starts), and to a message box as well while the host shows a
// window of its own to own one.
#include "host/window_services.h"

#include <cstdio>
#include <mutex>

#include "host/debug.h"
#include "host/dialog_platform.h"
#include "host/listen_report.h"
#include "host/services.h"

namespace host {
namespace {

std::mutex dialog_lock;
std::string last_dialog_text;
int dialog_count = 0;
HWND dialog_owner = nullptr;

}  // namespace

void host_set_dialog_owner(HWND owner) {
    std::lock_guard<std::mutex> guard(dialog_lock);
    dialog_owner = owner;
}

std::string host_last_dialog_text() {
    std::lock_guard<std::mutex> guard(dialog_lock);
    return last_dialog_text;
}

int host_dialog_count() {
    std::lock_guard<std::mutex> guard(dialog_lock);
    return dialog_count;
}

ATOM os_register_class(UINT style, const char* class_name, WNDPROC window_procedure, uintptr_t icon,
                       uintptr_t cursor, uintptr_t background, uintptr_t small_icon) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = style;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hIcon = reinterpret_cast<HICON>(icon);
    window_class.hCursor = reinterpret_cast<HCURSOR>(cursor);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(background);
    window_class.lpszClassName = class_name;
    window_class.hIconSm = reinterpret_cast<HICON>(small_icon);
    return RegisterClassExA(&window_class);
}

// A hidden window without a parent (the server's) is made message-only: it needs no desktop.
HWND os_create_window(DWORD extended_style, const char* class_name, const char* title, DWORD style, int x, int y,
                      int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* parameter) {
    if (parent == nullptr && !(style & WS_VISIBLE)) parent = HWND_MESSAGE;
    return CreateWindowExA(extended_style, class_name, title, style, x, y, width, height, parent, menu, instance,
                           parameter);
}

int ui_task_dialog_show(HWND, uint32_t, const char* caption, uintptr_t, const char* main_instruction,
                        const char* content) {
    std::string text;
    for (const char* part : {caption, main_instruction, content})
        if (part != nullptr && part[0] != '\0') text += std::string(part) + "\n";
    HWND owner;
    {
        std::lock_guard<std::mutex> guard(dialog_lock);
        last_dialog_text = text;
        ++dialog_count;
        owner = dialog_owner;
    }
    // On the console the title (the application's name) goes, and the two texts share one line.
    std::string line = std::string(main_instruction ? main_instruction : "");
    if (content != nullptr && content[0] != '\0') line += (line.empty() ? "" : " ") + std::string(content);
    if (!listen_watch_note_dialog(line)) {
        console_printf("swp-host: %s\n", line.c_str());
    }
    if (owner) {
        std::string message = std::string(main_instruction ? main_instruction : "") + "\n\n" + (content ? content : "");
        dialog_show_message(owner, caption ? caption : "", message.c_str());
    }
    return 1;  // the OK button
}

}  // namespace host
