#include "host/options_preview.h"
#include "host/services.h"

namespace host {

int os_get_logical_wide() { return 96; }
int os_get_logical_high() { return 96; }
void os_set_dlg_rect(HWND, int, int, int, int, int) {}
void os_set_dlg_text(HWND, int, const char*) {}
void os_get_dlg_text(HWND, int, Utf8Buf*) {}
void os_enable_or_disable_dlg_item(HWND, int, int) {}
int os_get_save_file_name(HWND, const char*, const char*, const char*, size_t, int, const char*, uint32_t,
                          Utf8Buf*) {
    return 0;
}
HWND os_create_checkbox(HWND, int, uint32_t, int, const char*) { return nullptr; }
HWND os_create_static(HWND, int, uint32_t, const char*) { return nullptr; }
HWND os_create_edit(HWND, int, uint32_t, const char*) { return nullptr; }
HWND os_create_number_edit(HWND, int, uint32_t, int32_t) { return nullptr; }
HWND os_create_password_edit(HWND, int, uint32_t, const char*) { return nullptr; }
HWND os_create_button(HWND, int, uint32_t, const char*) { return nullptr; }
void os_add_tooltip(HWND, HWND, int, const char*) {}
int os_expand_dialog_text_logical_wide_no_prefix(HWND, const char*, int running_width) { return running_width; }
void ui_options_add_plugin_page(void*, uintptr_t, const char*) {}

}  // namespace host
