// The plug-in's page in the host's options window: its controls, the rule that greys out what does
// not apply, apply, layout and the page's commands. The page keeps no state of its own: the
// controls hold the edited values until apply writes them into the settings.
#include "plugin/options_page.h"

#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/server.h"

namespace {

// Control ids of the page.
constexpr int ID_ENABLED = 1000;
constexpr int ID_BINDINGS_LABEL = 1001;
constexpr int ID_BINDINGS = 1002;
constexpr int ID_LOGGING = 1003;
constexpr int ID_DOWNLOAD = 1004;
constexpr int ID_PORT_LABEL = 1005;
constexpr int ID_PORT = 1006;
constexpr int ID_USERNAME_LABEL = 1007;
constexpr int ID_USERNAME = 1008;
constexpr int ID_PASSWORD_LABEL = 1009;
constexpr int ID_PASSWORD = 1010;
constexpr int ID_LOG_FILE = 1011;
constexpr int ID_BROWSE = 1012;
constexpr int ID_LOG_SIZE = 1013;
constexpr int ID_LOG_FILE_LABEL = 1014;
constexpr int ID_LOG_SIZE_LABEL = 1015;
constexpr int ID_LOG_SIZE_UNIT = 1016;
constexpr int ID_RESTORE = 1017;

// Item of the host's options window that shows the page has unsaved changes.
constexpr int ID_OPTIONS_WINDOW_CHANGED = 1001;

constexpr uint32_t STYLE_CONTROL = 0x20000;  // WS_GROUP
constexpr uint32_t STYLE_LABEL = 0x2000C;    // WS_GROUP | SS_LEFTNOWORDWRAP
constexpr UINT MESSAGE_COMMAND = 273;        // WM_COMMAND
constexpr UINT NOTIFY_EDIT_CHANGE = 768;     // EN_CHANGE

// Localization ids of the texts the page measures or passes to dialogs.
constexpr int TEXT_BINDINGS = 1094;
constexpr int TEXT_PORT = 260;
constexpr int TEXT_USERNAME = 358;
constexpr int TEXT_PASSWORD = 262;
constexpr int TEXT_BROWSE = 1097;
constexpr int TEXT_LOG_SIZE = 1096;
constexpr int TEXT_RESTORE = 1098;
constexpr int TEXT_FILTER_TEXT_FILES = 112;
constexpr int TEXT_FILTER_ALL_FILES = 113;
constexpr int TEXT_BROWSE_TITLE = 277;

enum ControlKind {
    KIND_CHECKBOX,
    KIND_LABEL,
    KIND_EDIT,
    KIND_PASSWORD,
    KIND_NUMBER,
    KIND_NUMBER_KIB,
    KIND_BUTTON,
};

// One control of the page; `flag`, `string` and `number` name the setting it shows, if any.
struct PageControl {
    int id;
    ControlKind kind;
    int text_id;     // caption of checkboxes, labels and buttons; 0 for edits
    int tooltip_id;  // 0 for labels
    int32_t Settings::*flag;
    char* Settings::*string;
    int32_t Settings::*number;
};

// In creation order.
constexpr PageControl PAGE_CONTROLS[] = {
    {ID_ENABLED, KIND_CHECKBOX, 1156, 1157, &Settings::enabled, nullptr, nullptr},
    {ID_BINDINGS_LABEL, KIND_LABEL, TEXT_BINDINGS, 0, nullptr, nullptr, nullptr},
    {ID_BINDINGS, KIND_EDIT, 0, 1095, nullptr, &Settings::bindings, nullptr},
    {ID_PORT_LABEL, KIND_LABEL, TEXT_PORT, 0, nullptr, nullptr, nullptr},
    {ID_PORT, KIND_NUMBER, 0, 261, nullptr, nullptr, &Settings::port},
    {ID_USERNAME_LABEL, KIND_LABEL, TEXT_USERNAME, 0, nullptr, nullptr, nullptr},
    {ID_USERNAME, KIND_EDIT, 0, 359, nullptr, &Settings::username, nullptr},
    {ID_PASSWORD_LABEL, KIND_LABEL, TEXT_PASSWORD, 0, nullptr, nullptr, nullptr},
    {ID_PASSWORD, KIND_PASSWORD, 0, 263, nullptr, &Settings::password, nullptr},
    {ID_LOGGING, KIND_CHECKBOX, 268, 269, &Settings::logging_enabled, nullptr, nullptr},
    {ID_LOG_FILE_LABEL, KIND_LABEL, 270, 0, nullptr, nullptr, nullptr},
    {ID_LOG_FILE, KIND_EDIT, 0, 271, nullptr, &Settings::log_file_name, nullptr},
    {ID_BROWSE, KIND_BUTTON, TEXT_BROWSE, 274, nullptr, nullptr, nullptr},
    {ID_LOG_SIZE_LABEL, KIND_LABEL, TEXT_LOG_SIZE, 0, nullptr, nullptr, nullptr},
    {ID_LOG_SIZE, KIND_NUMBER_KIB, 0, 275, nullptr, nullptr, &Settings::log_max_size},
    {ID_LOG_SIZE_UNIT, KIND_LABEL, 114, 0, nullptr, nullptr, nullptr},
    {ID_DOWNLOAD, KIND_CHECKBOX, 352, 353, &Settings::allow_file_download, nullptr, nullptr},
    {ID_RESTORE, KIND_BUTTON, TEXT_RESTORE, 1099, nullptr, nullptr, nullptr},
};

// Greyed out unless the server checkbox is on, in this order.
constexpr int SERVER_CONTROLS[] = {ID_LOGGING,        ID_DOWNLOAD,       ID_PORT_LABEL, ID_PORT,
                                   ID_USERNAME_LABEL, ID_USERNAME,       ID_PASSWORD_LABEL,
                                   ID_PASSWORD,       ID_BINDINGS_LABEL, ID_BINDINGS};

// Greyed out unless both the server and the logging checkbox are on, in this order.
constexpr int LOG_CONTROLS[] = {ID_LOG_FILE,       ID_BROWSE,         ID_LOG_SIZE,
                                ID_LOG_FILE_LABEL, ID_LOG_SIZE_LABEL, ID_LOG_SIZE_UNIT};

// The labels whose widest text sets the label column, in measuring order.
constexpr int LABEL_COLUMN_TEXTS[] = {TEXT_BINDINGS, TEXT_PORT, TEXT_USERNAME, TEXT_PASSWORD};

// Edits whose typing marks the page changed.
constexpr int TYPED_CONTROLS[] = {ID_BINDINGS, ID_PORT, ID_USERNAME, ID_PASSWORD, ID_LOG_FILE, ID_LOG_SIZE};

const char* text_of(int localization_id) { return localization_get_string(localization_id); }

bool is_checked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }

// Bytes shown in whole KiB, a partial KiB counting as a whole one. Computed in 64 bits so that
// sizes near the 32-bit limit do not overflow; every other size gives the 32-bit quotient.
int32_t log_size_to_kib(int32_t bytes) { return static_cast<int32_t>((static_cast<int64_t>(bytes) + 1023) / 1024); }

// The KiB field back in bytes, wrapping in unsigned 32-bit arithmetic for fields above 2,097,151.
int32_t log_size_from_kib(UINT kib) { return static_cast<int32_t>(kib << 10); }

void options_page_create_edit(const PluginOptionsPageCreate* record, int id, int tooltip_id, const char* text) {
    os_create_edit(record->page, id, STYLE_CONTROL, text);
    os_add_tooltip(record->tooltip, record->page, id, text_of(tooltip_id));
}

void options_page_create_number_edit(const PluginOptionsPageCreate* record, int id, int tooltip_id, int32_t value) {
    os_create_number_edit(record->page, id, STYLE_CONTROL, value);
    os_add_tooltip(record->tooltip, record->page, id, text_of(tooltip_id));
}

void options_page_create_control(const PluginOptionsPageCreate* record, const PageControl& control) {
    HWND page = record->page;
    switch (control.kind) {
        case KIND_CHECKBOX:
            os_create_checkbox(page, control.id, STYLE_CONTROL, settings.*control.flag != 0 ? 1 : 0,
                               text_of(control.text_id));
            break;
        case KIND_LABEL:
            os_create_static(page, control.id, STYLE_LABEL, text_of(control.text_id));
            return;
        case KIND_EDIT:
            options_page_create_edit(record, control.id, control.tooltip_id, settings.*control.string);
            return;
        case KIND_PASSWORD:
            os_create_password_edit(page, control.id, STYLE_CONTROL, settings.*control.string);
            break;
        case KIND_NUMBER:
            options_page_create_number_edit(record, control.id, control.tooltip_id, settings.*control.number);
            return;
        case KIND_NUMBER_KIB:
            options_page_create_number_edit(record, control.id, control.tooltip_id,
                                            log_size_to_kib(settings.*control.number));
            return;
        case KIND_BUTTON:
            os_create_button(page, control.id, STYLE_CONTROL, text_of(control.text_id));
            break;
    }
    os_add_tooltip(record->tooltip, page, control.id, text_of(control.tooltip_id));
}

// Replaces `current` (which must not be used afterwards) by the control's text.
char* options_page_get_text(HWND page, int id, char* current) {
    ScopedUtf8Buf text;
    os_get_dlg_text(page, id, text.get());
    return utf8_string_realloc_utf8_string(current, text.text());
}

void options_page_mark_changed(HWND options_window) {
    os_enable_or_disable_dlg_item(options_window, ID_OPTIONS_WINDOW_CHANGED, 1);
}

// Larger of the running width and the width of the text.
int measure_text(HWND page, int localization_id, int running_width) {
    int width = os_expand_dialog_text_logical_wide_no_prefix(page, text_of(localization_id), running_width);
    return width > running_width ? width : running_width;
}

// Client size in layout units (96 to the logical inch). Computed in 64 bits; a page of ordinary
// size gives the same figure as 32-bit arithmetic.
int32_t to_layout_units(LONG pixels, int logical_per_inch) {
    if (logical_per_inch == 0) return pixels;
    return static_cast<int32_t>(static_cast<int64_t>(pixels) * 96 / logical_per_inch);
}

struct ControlRect {
    int id;
    int x;
    int y;
    int width;
    int height;
};

void options_page_browse(HWND options_window, HWND page) {
    ScopedUtf8Buf current;
    os_get_dlg_text(page, ID_LOG_FILE, current.get());
    ScopedUtf8Buf start_file;
    if (current.length() != 0)
        os_get_local_app_data_path_cat_filename(current.text(), start_file.get());
    else
        os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", start_file.get());

    // A Windows filter list: pairs of display name and pattern, each ended by a zero byte, and one
    // more zero byte after the last pair.
    ScopedUtf8Buf filter;
    utf8_buf_printf(filter.get(), "%s (*.txt)%c*.txt%c%s (*.*)%c*.*%c%c", text_of(TEXT_FILTER_TEXT_FILES), 0, 0,
                    text_of(TEXT_FILTER_ALL_FILES), 0, 0, 0);

    ScopedUtf8Buf chosen;
    if (os_get_save_file_name(options_window, text_of(TEXT_BROWSE_TITLE), start_file.text(), filter.text(),
                              filter.length(), 1, "txt", 0, chosen.get()))
        os_set_dlg_text(page, ID_LOG_FILE, chosen.text());
}

void options_page_restore_defaults(HWND options_window, HWND page) {
    CheckDlgButton(page, ID_ENABLED, BST_UNCHECKED);
    CheckDlgButton(page, ID_LOGGING, BST_CHECKED);
    CheckDlgButton(page, ID_DOWNLOAD, BST_CHECKED);
    os_set_dlg_text(page, ID_LOG_FILE, "");
    os_set_dlg_text(page, ID_USERNAME, "");
    os_set_dlg_text(page, ID_PASSWORD, "");
    os_set_dlg_text(page, ID_BINDINGS, "");
    SetDlgItemInt(page, ID_PORT, 21, FALSE);
    SetDlgItemInt(page, ID_LOG_SIZE, 4096, FALSE);
    options_page_update_enabled(page);
    options_page_mark_changed(options_window);
}

bool is_typed_control(int id) {
    for (int typed : TYPED_CONTROLS)
        if (typed == id) return true;
    return false;
}

}  // namespace

void options_page_create(PluginOptionsPageCreate* record) {
    for (const PageControl& control : PAGE_CONTROLS) options_page_create_control(record, control);
    options_page_update_enabled(record->page);
}

void options_page_update_enabled(HWND page) {
    bool on = is_checked(page, ID_ENABLED);
    bool log_on = on && is_checked(page, ID_LOGGING);
    for (int id : SERVER_CONTROLS) os_enable_or_disable_dlg_item(page, id, on ? 1 : 0);
    for (int id : LOG_CONTROLS) os_enable_or_disable_dlg_item(page, id, log_on ? 1 : 0);
}

void options_page_apply(PluginOptionsPageApply* record) {
    HWND page = record->page;
    settings.bindings = options_page_get_text(page, ID_BINDINGS, settings.bindings);
    settings.port = static_cast<int32_t>(GetDlgItemInt(page, ID_PORT, nullptr, FALSE));
    settings.username = options_page_get_text(page, ID_USERNAME, settings.username);
    settings.password = options_page_get_text(page, ID_PASSWORD, settings.password);
    settings.logging_enabled = is_checked(page, ID_LOGGING) ? 1 : 0;
    settings.allow_file_download = is_checked(page, ID_DOWNLOAD) ? 1 : 0;
    settings.enabled = is_checked(page, ID_ENABLED) ? 1 : 0;
    settings.log_file_name = options_page_get_text(page, ID_LOG_FILE, settings.log_file_name);
    settings.log_max_size = log_size_from_kib(GetDlgItemInt(page, ID_LOG_SIZE, nullptr, FALSE));
    if (server_apply_settings() == 0) record->server_not_running = 1;
}

void options_page_get_min_size(PluginOptionsPageMinSize* record) {
    record->min_width = 200;
    record->min_height = 298;
}

void options_page_layout(PluginOptionsPageLayout* record) {
    HWND page = record->page;
    RECT client = {0, 0, 0, 0};
    GetClientRect(page, &client);
    int32_t width = to_layout_units(client.right - client.left, os_get_logical_wide());
    int32_t height = to_layout_units(client.bottom - client.top, os_get_logical_high());
    int cw = width - 24;

    int label_column = 0;
    for (int text_id : LABEL_COLUMN_TEXTS) label_column = measure_text(page, text_id, label_column);
    int l = label_column + 6;
    int b = measure_text(page, TEXT_BROWSE, 51) + 24;
    int s = measure_text(page, TEXT_LOG_SIZE, 0) + 6;
    int r = measure_text(page, TEXT_RESTORE, 51) + 24;

    const ControlRect rects[] = {
        {ID_ENABLED, 12, 12, cw, 15},
        {ID_BINDINGS_LABEL, 12, 36, l, 15},
        {ID_BINDINGS, l + 12, 33, cw - l, 21},
        {ID_PORT_LABEL, 12, 63, l, 15},
        {ID_PORT, l + 12, 60, 75, 21},
        {ID_USERNAME_LABEL, 12, 90, l, 15},
        {ID_USERNAME, l + 12, 87, cw - l, 21},
        {ID_PASSWORD_LABEL, 12, 117, l, 15},
        {ID_PASSWORD, l + 12, 114, cw - l, 21},
        {ID_LOGGING, 12, 141, cw, 15},
        {ID_LOG_FILE_LABEL, 12, 162, cw, 15},
        {ID_LOG_FILE, 12, 181, cw - b - 6, 21},
        {ID_BROWSE, cw - b + 12, 180, b, 23},
        {ID_LOG_SIZE_LABEL, 12, 212, s, 15},
        {ID_LOG_SIZE, s + 12, 209, 75, 21},
        {ID_LOG_SIZE_UNIT, s + 94, 212, s, 15},
        {ID_DOWNLOAD, 12, 236, cw, 15},
        {ID_RESTORE, cw - r + 12, height - 35, r, 23},
    };
    for (const ControlRect& rect : rects) os_set_dlg_rect(page, rect.id, rect.x, rect.y, rect.width, rect.height);
}

void options_page_command(PluginOptionsPageCommand* record) {
    if (record->message != MESSAGE_COMMAND) return;
    int id = LOWORD(record->wparam);
    UINT code = HIWORD(record->wparam);
    HWND page = record->page;
    if (id == ID_ENABLED || id == ID_LOGGING) {
        options_page_update_enabled(page);
        options_page_mark_changed(record->options_window);
    } else if (id == ID_DOWNLOAD) {
        options_page_mark_changed(record->options_window);
    } else if (is_typed_control(id)) {
        if (code == NOTIFY_EDIT_CHANGE) options_page_mark_changed(record->options_window);
    } else if (id == ID_BROWSE) {
        options_page_browse(record->options_window, page);
    } else if (id == ID_RESTORE) {
        options_page_restore_defaults(record->options_window, page);
    }
}
