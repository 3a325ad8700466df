// Window classes and windows: RegisterClassExA, CreateWindowExA, DestroyWindow, IsWindow, and the
// calls that hand a message to a window procedure.
//
// A window handle is a number from a counter that only grows, so a destroyed window's handle never
// names a later window. The table is locked for every look-up because PostMessageW asks from any
// thread; the records themselves are touched only by their owner thread.
#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "win32/message_queue.h"
#include "win32/window_internal.h"

namespace {

constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;

struct WindowClass {
    ATOM atom;
    WNDPROC procedure;
};

struct WindowTable {
    std::mutex lock;
    std::unordered_map<std::string, WindowClass> classes;  // by upper-case name
    std::unordered_map<uintptr_t, std::unique_ptr<Win32Window>> windows;
    uintptr_t next_handle = 0x10000;
    ATOM next_atom = 0xC000;
};

WindowTable& window_table() {
    static WindowTable* table = new WindowTable;
    return *table;
}

// The predefined control classes, spelt as GetClassNameA reports them.
constexpr const char* PREDEFINED_CLASSES[] = {"Button", "Edit", "Static"};

// Class names compare without regard to case.
std::string class_key(const char* name) {
    std::string key(name);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// The Windows spelling of a predefined class, or null.
const char* predefined_class(const std::string& key) {
    for (const char* name : PREDEFINED_CLASSES)
        if (class_key(name) == key) return name;
    return nullptr;
}

Win32Window* window_find_locked(WindowTable& table, HWND window) {
    auto found = table.windows.find(reinterpret_cast<uintptr_t>(window));
    if (found == table.windows.end() || found->second->magic != WIN32_WINDOW_MAGIC) return nullptr;
    return found->second.get();
}

// The window and its descendants, parents before children.
void window_collect_tree(HWND window, std::vector<HWND>* tree) {
    Win32Window* record = win32_window_get(window);
    if (!record) return;
    tree->push_back(window);
    for (HWND child : record->children) window_collect_tree(child, tree);
}

void window_unlink_from_parent(HWND parent, HWND child) {
    Win32Window* record = win32_window_get(parent);
    if (!record) return;
    auto& children = record->children;
    children.erase(std::remove(children.begin(), children.end(), child), children.end());
}

}  // namespace

Win32Window* win32_window_get(HWND window) {
    WindowTable& table = window_table();
    std::lock_guard<std::mutex> guard(table.lock);
    return window_find_locked(table, window);
}

DWORD win32_window_owner(HWND window) {
    WindowTable& table = window_table();
    std::lock_guard<std::mutex> guard(table.lock);
    Win32Window* record = window_find_locked(table, window);
    return record ? record->thread_id : 0;
}

ATOM RegisterClassExA(const WNDCLASSEXA* window_class) {
    if (!window_class || !window_class->lpszClassName || !window_class->lpszClassName[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string key = class_key(window_class->lpszClassName);
    WindowTable& table = window_table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.classes.find(key);
    if (found != table.classes.end()) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return found->second.atom;
    }
    ATOM atom = table.next_atom++;
    table.classes.emplace(key, WindowClass{atom, window_class->lpfnWndProc});
    return atom;
}

HMODULE GetModuleHandleW(const wchar_t* module_name) {
    static const char process_module = 0;
    if (module_name) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(const_cast<char*>(&process_module));
}

HWND CreateWindowExA(DWORD, const char* class_name, const char* title, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE, void*) {
    if (!class_name) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto record = std::make_unique<Win32Window>();
    std::string key = class_key(class_name);
    record->class_name = class_name;
    record->text = title ? title : "";
    record->style = style;
    record->thread_id = GetCurrentThreadId();
    record->rect = RECT{x, y, x + width, y + height};
    record->enabled = (style & WS_DISABLED) == 0;
    if (parent) record->id = static_cast<int>(reinterpret_cast<intptr_t>(menu));
    // Made now, so that messages posted before the first GetMessageW have a queue to wait in.
    win32_queue_of_thread(record->thread_id);

    WindowTable& table = window_table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (const char* predefined = predefined_class(key)) {
        record->class_name = predefined;
    } else {
        auto found = table.classes.find(key);
        if (found == table.classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        record->procedure = found->second.procedure;
    }
    // A message-only window is a top-level window that is never shown.
    if (parent == HWND_MESSAGE) parent = nullptr;
    Win32Window* parent_record = parent ? window_find_locked(table, parent) : nullptr;
    if (parent && !parent_record) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    record->parent = parent;
    HWND window = reinterpret_cast<HWND>(table.next_handle);
    table.next_handle += 0x10;
    if (parent_record) parent_record->children.push_back(window);
    table.windows.emplace(reinterpret_cast<uintptr_t>(window), std::move(record));
    return window;
}

BOOL DestroyWindow(HWND window) {
    std::vector<HWND> tree;
    window_collect_tree(window, &tree);
    if (tree.empty()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Each window hears WM_DESTROY while it and its children still exist, parents first.
    for (HWND member : tree) SendMessageW(member, WM_DESTROY, 0, 0);
    Win32Window* record = win32_window_get(window);
    if (record) window_unlink_from_parent(record->parent, window);

    WindowTable& table = window_table();
    std::vector<std::unique_ptr<Win32Window>> released;  // freed after the lock
    std::lock_guard<std::mutex> guard(table.lock);
    for (HWND member : tree) {
        auto found = table.windows.find(reinterpret_cast<uintptr_t>(member));
        if (found == table.windows.end()) continue;
        found->second->magic = 0;
        released.push_back(std::move(found->second));
        table.windows.erase(found);
    }
    return TRUE;
}

BOOL IsWindow(HWND window) { return win32_window_get(window) ? TRUE : FALSE; }

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    Win32Window* record = win32_window_get(window);
    if (!record) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    WNDPROC procedure = record->procedure;
    return procedure ? procedure(window, message, wparam, lparam) : 0;
}

LRESULT DispatchMessageW(const MSG* message) {
    if (!message) return 0;
    if (message->message == WM_TIMER && message->lParam != 0) {
        reinterpret_cast<TIMERPROC>(message->lParam)(message->hwnd, WM_TIMER, message->wParam,
                                                     static_cast<DWORD>(GetTickCount64()));
        return 0;
    }
    if (!message->hwnd) return 0;
    return SendMessageW(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL TranslateMessage(const MSG*) { return FALSE; }
