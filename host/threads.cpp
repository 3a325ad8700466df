#include "host/services.h"

namespace host {
HANDLE os_thread_create(PluginThreadProc, void*) { return nullptr; }
void os_thread_wait_and_close(HANDLE) {}
HANDLE os_event_create() { return nullptr; }
}  // namespace host
