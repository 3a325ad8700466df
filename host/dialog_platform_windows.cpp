// The dialog services' platform part on Windows: controls take their page's font, texts are
// measured in it, tooltips are tools of the host's tooltip control and files are chosen in the
// common save-file dialog.
#include "host/dialog_platform.h"  // first: the common control headers need <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include <string>

#include "host/services.h"
#include "host/utf16_windows.h"

namespace host {
namespace {

constexpr int LAYOUT_UNITS_PER_INCH = 96;
constexpr DWORD SAVE_FILE_BUFFER_CHARACTERS = 32768;  // the longest path Windows handles

}  // namespace

int dialog_logical_per_inch(bool across) {
    HDC screen = GetDC(nullptr);
    int per_inch = GetDeviceCaps(screen, across ? LOGPIXELSX : LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return per_inch > 0 ? per_inch : LAYOUT_UNITS_PER_INCH;
}

void dialog_control_created(HWND page, HWND control) {
    LRESULT font = SendMessageW(page, WM_GETFONT, 0, 0);
    if (font) SendMessageW(control, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
}

int dialog_text_width(HWND page, const char* text) {
    std::wstring wide = utf16_from_utf8(text);
    HDC context = GetDC(page);
    auto font = reinterpret_cast<HFONT>(SendMessageW(page, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(context, font) : nullptr;
    RECT extent = {0, 0, 0, 0};
    DrawTextW(context, wide.c_str(), static_cast<int>(wide.size()), &extent, DT_CALCRECT | DT_NOPREFIX | DT_SINGLELINE);
    int per_inch = GetDeviceCaps(context, LOGPIXELSX);
    if (previous) SelectObject(context, previous);
    ReleaseDC(page, context);
    if (per_inch <= 0) per_inch = LAYOUT_UNITS_PER_INCH;
    // Rounded up, so that the text always fits the width the page gives it.
    return static_cast<int>((static_cast<int64_t>(extent.right - extent.left) * LAYOUT_UNITS_PER_INCH + per_inch - 1) /
                            per_inch);
}

void dialog_tooltip_attach(HWND tooltip, HWND page, HWND control, const char* text) {
    if (!tooltip) return;
    std::wstring wide = utf16_from_utf8(text);  // the control keeps its own copy
    TTTOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = page;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = wide.data();
    SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

int dialog_save_file_name(HWND owner, const char* title, const char* start_file, const char* filter,
                          size_t filter_length, int filter_index, const char* default_extension, uint32_t flags,
                          Utf8Buf* chosen_file) {
    std::wstring wide_title = utf16_from_utf8(title ? title : "");
    std::wstring wide_filter = utf16_from_utf8(std::string_view(filter ? filter : "", filter ? filter_length : 0));
    std::wstring wide_extension = utf16_from_utf8(default_extension ? default_extension : "");
    std::wstring file = utf16_from_utf8(start_file ? start_file : "");
    file.resize(SAVE_FILE_BUFFER_CHARACTERS, L'\0');

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = wide_filter.empty() ? nullptr : wide_filter.c_str();
    dialog.nFilterIndex = static_cast<DWORD>(filter_index);
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = SAVE_FILE_BUFFER_CHARACTERS;
    dialog.lpstrTitle = wide_title.empty() ? nullptr : wide_title.c_str();
    dialog.lpstrDefExt = wide_extension.empty() ? nullptr : wide_extension.c_str();
    dialog.Flags = flags | OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameW(&dialog)) return 0;
    std::string chosen = utf8_from_utf16(file.c_str());
    utf8_buf_copy_utf8_string_n(chosen_file, chosen.data(), chosen.size());
    return 1;
}

void dialog_show_message(HWND owner, const char* caption, const char* text) {
    MessageBoxW(owner, utf16_from_utf8(text).c_str(), utf16_from_utf8(caption).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace host
