#include "host/services.h"

namespace host {
ATOM os_register_class(UINT, const char*, WNDPROC, uintptr_t, uintptr_t, uintptr_t, uintptr_t) { return 0; }
HWND os_create_window(DWORD, const char*, const char*, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, void*) {
    return nullptr;
}
int ui_task_dialog_show(HWND, uint32_t, const char*, uintptr_t, const char*, const char*) { return 0; }
}  // namespace host
