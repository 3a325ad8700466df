// The host's dialog and control services over the dialog-control model of win32/: controls are
// child windows of the predefined classes, texts are measured with a fixed advance per character,
// and the save-file dialog answers what it was told to.
#include "host/dialog_services.h"

#include <map>
#include <mutex>
#include <optional>

#include "host/options_preview.h"
#include "host/services.h"

namespace host {
namespace {

constexpr int LOGICAL_PER_INCH = 96;
constexpr int LAYOUT_UNITS_PER_INCH = 96;

// Everything the services remember between calls. Controls are touched on one thread, but the
// tests and the preview read this from wherever they run, so one lock guards it.
struct DialogState {
    std::mutex lock;
    std::map<HWND, std::string> tooltips;
    DialogTextMeasure measure = nullptr;
    std::optional<std::string> save_file_answer;
    SaveFileRequest last_request;
};

DialogState& dialog_state() {
    static DialogState state;
    return state;
}

// A control's handle may be reused after its window was destroyed: a new control starts with no
// tooltip.
void forget_tooltip(HWND control) {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    state.tooltips.erase(control);
}

HWND create_control(HWND page, int id, const char* class_name, DWORD style, const char* text) {
    HMENU menu = reinterpret_cast<HMENU>(static_cast<intptr_t>(id));
    HWND control = CreateWindowExA(0, class_name, text ? text : "", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                   page, menu, nullptr, nullptr);
    if (control) forget_tooltip(control);
    return control;
}

int scale_to_pixels(int units, int logical_per_inch) {
    return static_cast<int>(static_cast<int64_t>(units) * logical_per_inch / LAYOUT_UNITS_PER_INCH);
}

int count_code_points(const char* text) {
    int count = 0;
    for (const char* at = text; *at; at++)
        if ((static_cast<unsigned char>(*at) & 0xC0) != 0x80) count++;
    return count;
}

int text_width_in_units(const char* text) {
    DialogTextMeasure measure;
    {
        DialogState& state = dialog_state();
        std::lock_guard<std::mutex> guard(state.lock);
        measure = state.measure;
    }
    const char* measured = text ? text : "";
    return measure ? measure(measured) : count_code_points(measured) * DIALOG_TEXT_ADVANCE;
}

}  // namespace

int os_get_logical_wide() { return LOGICAL_PER_INCH; }
int os_get_logical_high() { return LOGICAL_PER_INCH; }

void os_set_dlg_rect(HWND page, int id, int x, int y, int width, int height) {
    int wide = os_get_logical_wide();
    int high = os_get_logical_high();
    MoveWindow(GetDlgItem(page, id), scale_to_pixels(x, wide), scale_to_pixels(y, high), scale_to_pixels(width, wide),
               scale_to_pixels(height, high), TRUE);
}

void os_set_dlg_text(HWND page, int id, const char* text) { SetDlgItemTextA(page, id, text ? text : ""); }

void os_get_dlg_text(HWND page, int id, Utf8Buf* text) {
    HWND control = GetDlgItem(page, id);
    std::string content(static_cast<size_t>(GetWindowTextLengthA(control)), '\0');
    if (!content.empty()) GetWindowTextA(control, content.data(), static_cast<int>(content.size() + 1));
    utf8_buf_copy_utf8_string_n(text, content.data(), content.size());
}

void os_enable_or_disable_dlg_item(HWND window, int id, int enable) {
    EnableWindow(GetDlgItem(window, id), enable ? TRUE : FALSE);
}

int os_get_save_file_name(HWND owner, const char* title, const char* start_file, const char* filter,
                          size_t filter_length, int filter_index, const char* default_extension, uint32_t flags,
                          Utf8Buf* chosen_file) {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    SaveFileRequest& request = state.last_request;
    request.calls++;
    request.owner = owner;
    request.title = title ? title : "";
    request.start_file = start_file ? start_file : "";
    request.filter = filter ? std::string(filter, filter_length) : std::string();
    request.filter_length = filter_length;
    request.filter_index = filter_index;
    request.default_extension = default_extension ? default_extension : "";
    request.flags = flags;
    if (!state.save_file_answer) return 0;
    utf8_buf_copy_utf8_string(chosen_file, state.save_file_answer->c_str());
    return 1;
}

HWND os_create_checkbox(HWND page, int id, uint32_t style, int checked, const char* text) {
    HWND control = create_control(page, id, "BUTTON", style | BS_AUTOCHECKBOX, text);
    CheckDlgButton(page, id, checked ? BST_CHECKED : BST_UNCHECKED);
    return control;
}

HWND os_create_static(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "STATIC", style, text);
}

HWND os_create_edit(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL, text);
}

HWND os_create_number_edit(HWND page, int id, uint32_t style, int32_t value) {
    std::string text = std::to_string(value);
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL | ES_NUMBER, text.c_str());
}

HWND os_create_password_edit(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "EDIT", style | ES_AUTOHSCROLL | ES_PASSWORD, text);
}

HWND os_create_button(HWND page, int id, uint32_t style, const char* text) {
    return create_control(page, id, "BUTTON", style | BS_PUSHBUTTON, text);
}

void os_add_tooltip(HWND, HWND page, int id, const char* text) {
    HWND control = GetDlgItem(page, id);
    if (!control) return;
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    state.tooltips[control] = text ? text : "";
}

int os_expand_dialog_text_logical_wide_no_prefix(HWND, const char* text, int running_width) {
    int width = text_width_in_units(text);
    return width > running_width ? width : running_width;
}

int dialog_text_width(const char* text) { return scale_to_pixels(text_width_in_units(text), os_get_logical_wide()); }

void ui_options_add_plugin_page(void* add_pages_record, uintptr_t user_data, const char* name) {
    auto* list = static_cast<OptionsPageList*>(add_pages_record);
    if (!list || list->tag != OPTIONS_PAGE_LIST_TAG) return;
    list->pages.push_back({user_data, name ? name : ""});
}

void dialog_set_text_measure(DialogTextMeasure measure) {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    state.measure = measure;
}

std::string dialog_tooltip_text(HWND control) {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.tooltips.find(control);
    return found == state.tooltips.end() ? std::string() : found->second;
}

SaveFileRequest dialog_last_save_file_request() {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.last_request;
}

void dialog_set_save_file_answer(const char* chosen_file_or_null) {
    DialogState& state = dialog_state();
    std::lock_guard<std::mutex> guard(state.lock);
    if (chosen_file_or_null)
        state.save_file_answer = chosen_file_or_null;
    else
        state.save_file_answer.reset();
}

}  // namespace host
