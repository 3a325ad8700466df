// The dialog-control model: child controls of a window found by id, their texts, check states,
// enabled states and rectangles, all kept in the window record that CreateWindowExA fills.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/window_internal.h"

namespace {

// Copies text into a caller's buffer of `size` bytes, always terminated when size > 0; returns
// the bytes copied without the terminator.
int copy_text_out(const std::string& text, char* out, int size) {
    if (!out || size <= 0) return 0;
    size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text.data(), count);
    out[count] = '\0';
    return static_cast<int>(count);
}

// Parses a whole decimal number with optional surrounding blanks (and a minus sign when signed).
// false when the text holds anything else or the value does not fit 32 bits.
bool parse_dialog_int(const std::string& text, bool is_signed, UINT* value) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) at++;
    bool negative = false;
    if (is_signed && at < text.size() && text[at] == '-') {
        negative = true;
        at++;
    }
    size_t digits_start = at;
    uint64_t magnitude = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[at] - '0');
        if (magnitude > 0xFFFFFFFFull) return false;
        at++;
    }
    if (at == digits_start) return false;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) at++;
    if (at != text.size()) return false;
    if (is_signed && magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return false;
    *value = negative ? static_cast<UINT>(0u - static_cast<UINT>(magnitude)) : static_cast<UINT>(magnitude);
    return true;
}

Win32Window* dialog_item(HWND parent, int id) { return win32_window_get(GetDlgItem(parent, id)); }

// Where a window's client area starts on the screen: its rectangle moved by those of its
// ancestors. A null window is the screen itself.
bool window_client_origin(HWND window, POINT* origin) {
    int depth = 0;
    for (HWND at = window; at && depth < 256; ++depth) {
        Win32Window* record = win32_window_get(at);
        if (!record) return false;
        origin->x += record->rect.left;
        origin->y += record->rect.top;
        at = record->parent;
    }
    return true;
}

}  // namespace

HWND GetDlgItem(HWND parent, int id) {
    Win32Window* window = win32_window_get(parent);
    if (!window) return nullptr;
    for (HWND child : window->children) {
        Win32Window* control = win32_window_get(child);
        if (control && control->id == id) return child;
    }
    return nullptr;
}

int GetDlgCtrlID(HWND control) {
    Win32Window* window = win32_window_get(control);
    return window ? window->id : 0;
}

HWND GetParent(HWND window) {
    Win32Window* record = win32_window_get(window);
    return record ? record->parent : nullptr;
}

HWND GetWindow(HWND window, UINT relation) {
    Win32Window* record = win32_window_get(window);
    if (!record) return nullptr;
    if (relation == GW_CHILD) {
        for (HWND child : record->children)
            if (win32_window_get(child)) return child;
        return nullptr;
    }
    if (relation != GW_HWNDNEXT) return nullptr;
    Win32Window* parent = win32_window_get(record->parent);
    if (!parent) return nullptr;
    auto at = std::find(parent->children.begin(), parent->children.end(), window);
    if (at == parent->children.end()) return nullptr;
    for (++at; at != parent->children.end(); ++at)
        if (win32_window_get(*at)) return *at;
    return nullptr;
}

int GetClassNameA(HWND window, char* name, int size) {
    Win32Window* record = win32_window_get(window);
    return record ? copy_text_out(record->class_name, name, size) : 0;
}

LONG GetWindowLongW(HWND window, int index) {
    Win32Window* record = win32_window_get(window);
    if (!record || index != GWL_STYLE) return 0;
    DWORD style = record->enabled ? (record->style & ~WS_DISABLED) : (record->style | WS_DISABLED);
    return static_cast<LONG>(style);
}

BOOL SetWindowTextA(HWND window, const char* text) {
    Win32Window* record = win32_window_get(window);
    if (!record) return FALSE;
    record->text = text ? text : "";
    return TRUE;
}

int GetWindowTextA(HWND window, char* text, int size) {
    Win32Window* record = win32_window_get(window);
    if (!record) return copy_text_out(std::string(), text, size);
    return copy_text_out(record->text, text, size);
}

int GetWindowTextLengthA(HWND window) {
    Win32Window* record = win32_window_get(window);
    return record ? static_cast<int>(record->text.size()) : 0;
}

BOOL SetDlgItemTextA(HWND parent, int id, const char* text) { return SetWindowTextA(GetDlgItem(parent, id), text); }

UINT GetDlgItemTextA(HWND parent, int id, char* text, int size) {
    return static_cast<UINT>(GetWindowTextA(GetDlgItem(parent, id), text, size));
}

// A text that is not a decimal number reads as 0, with *translated cleared.
UINT GetDlgItemInt(HWND parent, int id, BOOL* translated, BOOL is_signed) {
    Win32Window* control = dialog_item(parent, id);
    UINT value = 0;
    bool ok = control && parse_dialog_int(control->text, is_signed != FALSE, &value);
    if (translated) *translated = ok ? TRUE : FALSE;
    return ok ? value : 0;
}

BOOL SetDlgItemInt(HWND parent, int id, UINT value, BOOL is_signed) {
    char text[16];
    if (is_signed)
        std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(value));
    else
        std::snprintf(text, sizeof text, "%u", value);
    return SetDlgItemTextA(parent, id, text);
}

UINT IsDlgButtonChecked(HWND parent, int id) {
    Win32Window* control = dialog_item(parent, id);
    return control ? control->check_state : BST_UNCHECKED;
}

BOOL CheckDlgButton(HWND parent, int id, UINT check) {
    Win32Window* control = dialog_item(parent, id);
    if (!control) return FALSE;
    control->check_state = check;
    return TRUE;
}

// Returns nonzero when the window was disabled before the call, as on Windows.
BOOL EnableWindow(HWND window, BOOL enable) {
    Win32Window* record = win32_window_get(window);
    if (!record) return FALSE;
    bool was_disabled = !record->enabled;
    record->enabled = enable != FALSE;
    if (record->enabled)
        record->style &= ~WS_DISABLED;
    else
        record->style |= WS_DISABLED;
    return was_disabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND window) {
    Win32Window* record = win32_window_get(window);
    return record && record->enabled ? TRUE : FALSE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL) {
    Win32Window* record = win32_window_get(window);
    if (!record) return FALSE;
    record->rect = {x, y, static_cast<LONG>(static_cast<int64_t>(x) + width),
                    static_cast<LONG>(static_cast<int64_t>(y) + height)};
    return TRUE;
}

BOOL GetClientRect(HWND window, RECT* rect) {
    Win32Window* record = win32_window_get(window);
    if (!record || !rect) return FALSE;
    *rect = {0, 0, record->rect.right - record->rect.left, record->rect.bottom - record->rect.top};
    return TRUE;
}

BOOL GetWindowRect(HWND window, RECT* rect) {
    Win32Window* record = win32_window_get(window);
    if (!record || !rect) return FALSE;
    POINT origin = {0, 0};
    window_client_origin(record->parent, &origin);
    *rect = {record->rect.left + origin.x, record->rect.top + origin.y, record->rect.right + origin.x,
             record->rect.bottom + origin.y};
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
    POINT from_origin = {0, 0};
    POINT to_origin = {0, 0};
    if ((from && !window_client_origin(from, &from_origin)) || (to && !window_client_origin(to, &to_origin))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG dx = from_origin.x - to_origin.x;
    LONG dy = from_origin.y - to_origin.y;
    for (UINT index = 0; points && index < count; ++index) {
        points[index].x += dx;
        points[index].y += dy;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint16_t>(dx)) |
                            (static_cast<uint32_t>(static_cast<uint16_t>(dy)) << 16));
}
