// The host's dialog and control services: controls are child windows of the predefined classes,
// placed in layout units; how texts are measured, tooltips shown and files chosen is the
// platform's (dialog_platform.h).
#include "host/dialog_services.h"

#include <map>
#include <mutex>
#include <string>

#include "host/dialog_platform.h"
#include "host/services.h"

namespace host {
namespace {

constexpr int LAYOUT_UNITS_PER_INCH = 96;

// The tooltip text of each control, for the page preview and the tests. Controls are touched on
// one thread, but the tests and the preview read this from wherever they run, so one lock guards it.
struct TooltipTexts {
    std::mutex lock;
    std::map<HWND, std::string> texts;
};

TooltipTexts& tooltip_texts() {
    static TooltipTexts texts;
    return texts;
}

// A control's handle may be reused after its window was destroyed: a new control starts with no
// tooltip.
void forget_tooltip(HWND control) {
    TooltipTexts& tooltips = tooltip_texts();
    std::lock_guard<std::mutex> guard(tooltips.lock);
    tooltips.texts.erase(control);
}

HWND create_control(HWND page, int id, const char* class_name, DWORD style, DWORD extended_style, const char* text) {
    HMENU menu = reinterpret_cast<HMENU>(static_cast<intptr_t>(id));
    HWND control = CreateWindowExA(extended_style, class_name, text ? text : "", WS_CHILD | WS_VISIBLE | style, 0,
                                   0, 0, 0, page, menu, nullptr, nullptr);
    if (!control) return nullptr;
    forget_tooltip(control);
    dialog_control_created(page, control);
    return control;
}

int scale_to_pixels(int units, int logical_per_inch) {
    return static_cast<int>(static_cast<int64_t>(units) * logical_per_inch / LAYOUT_UNITS_PER_INCH);
}

}  // namespace

int os_get_logical_wide() { return dialog_logical_per_inch(true); }
int os_get_logical_high() { return dialog_logical_per_inch(false); }

void os_set_dlg_rect(HWND page, int id, int x, int y, int width, int height) {
    int wide = os_get_logical_wide();
    int high = os_get_logical_high();
    MoveWindow(GetDlgItem(page, id), scale_to_pixels(x, wide), scale_to_pixels(y, high), scale_to_pixels(width, wide),
               scale_to_pixels(height, high), TRUE);
}

void os_set_dlg_text(HWND page, int id, const char* text) { SetDlgItemTextA(page, id, text ? text : ""); }

void os_get_dlg_text(HWND page, int id, Utf8Buf* text) {
    HWND control = GetDlgItem(page, id);
    // The length is an upper bound when the code page has multi-byte characters; the copy counts.
    std::string content(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    int copied = GetWindowTextA(control, content.data(), static_cast<int>(content.size()));
    utf8_buf_copy_utf8_string_n(text, content.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

void os_enable_or_disable_dlg_item(HWND window, int id, int enable) {
    EnableWindow(GetDlgItem(window, id), enable ? TRUE : FALSE);
}

int os_get_save_file_name(HWND owner, const char* title, const char* start_file, const char* filter,
                          size_t filter_length, int filter_index, const char* default_extension, uint32_t flags,
                          Utf8Buf* chosen_file) {
    return dialog_save_file_name(owner, title, start_file, filter, filter_length, filter_index, default_extension,
                                 flags, chosen_file);
}

HWND os_create_checkbox(HWND page, int id, uint32_t style, int checked, const char* text) {
    HWND control = create_control(page, id, "BUTTON", style | BS_AUTOCHECKBOX | WS_TABSTOP, 0, text);
    CheckDlgButton(page, id, checked ? BST_CHECKED : BST_UNCHECKED);
    return control;
}

HWND os_create_static(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "STATIC", style, 0, text);
}

HWND os_create_edit(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, text);
}

HWND os_create_number_edit(HWND page, int id, uint32_t style, int32_t value) {
    std::string text = std::to_string(value);
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL | ES_NUMBER | WS_TABSTOP, WS_EX_CLIENTEDGE,
                          text.c_str());
}

HWND os_create_password_edit(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL | ES_PASSWORD | WS_TABSTOP, WS_EX_CLIENTEDGE, text);
}

HWND os_create_button(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "BUTTON", style | BS_PUSHBUTTON | WS_TABSTOP, 0, text);
}

void os_add_tooltip(HWND tooltip, HWND page, int id, const char* text) {
    HWND control = GetDlgItem(page, id);
    if (!control) return;
    {
        TooltipTexts& tooltips = tooltip_texts();
        std::lock_guard<std::mutex> guard(tooltips.lock);
        tooltips.texts[control] = text ? text : "";
    }
    dialog_tooltip_attach(tooltip, page, control, text ? text : "");
}

int os_expand_dialog_text_logical_wide_no_prefix(HWND page, const char* text, int running_width) {
    int width = dialog_text_width(page, text ? text : "");
    return width > running_width ? width : running_width;
}

int dialog_text_width_pixels(const char* text) {
    return scale_to_pixels(dialog_text_width(nullptr, text ? text : ""), os_get_logical_wide());
}

void ui_options_add_plugin_page(void* add_pages_record, uintptr_t user_data, const char* name) {
    auto* list = static_cast<OptionsPageList*>(add_pages_record);
    if (!list || list->tag != OPTIONS_PAGE_LIST_TAG) return;
    list->pages.push_back({user_data, name ? name : ""});
}

std::string dialog_tooltip_text(HWND control) {
    TooltipTexts& tooltips = tooltip_texts();
    std::lock_guard<std::mutex> guard(tooltips.lock);
    auto found = tooltips.texts.find(control);
    return found == tooltips.texts.end() ? std::string() : found->second;
}

}  // namespace host
