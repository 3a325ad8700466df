// Window classes, windows and task dialogs. Without a window system a task dialog is shown as
// text on stderr.
#include "host/window_services.h"

#include <cstdio>
#include <mutex>

#include "host/services.h"

namespace host {
namespace {

std::mutex dialog_lock;
std::string last_dialog_text;
int dialog_count = 0;

}  // namespace

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
    window_class.hIcon = reinterpret_cast<HANDLE>(icon);
    window_class.hCursor = reinterpret_cast<HANDLE>(cursor);
    window_class.hbrBackground = reinterpret_cast<HANDLE>(background);
    window_class.lpszClassName = class_name;
    window_class.hIconSm = reinterpret_cast<HANDLE>(small_icon);
    return RegisterClassExA(&window_class);
}

HWND os_create_window(DWORD extended_style, const char* class_name, const char* title, DWORD style, int x, int y,
                      int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* parameter) {
    return CreateWindowExA(extended_style, class_name, title, style, x, y, width, height, parent, menu, instance,
                           parameter);
}

int ui_task_dialog_show(HWND, uint32_t, const char* caption, uintptr_t, const char* main_instruction,
                        const char* content) {
    std::string text;
    for (const char* part : {caption, main_instruction, content})
        if (part != nullptr && part[0] != '\0') text += std::string(part) + "\n";
    {
        std::lock_guard<std::mutex> guard(dialog_lock);
        last_dialog_text = text;
        ++dialog_count;
    }
    std::fprintf(stderr, "swp-host: dialog:\n%s", text.c_str());
    std::fflush(stderr);
    return 1;  // the OK button
}

}  // namespace host
