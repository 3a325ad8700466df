// Threads and events for plug-in code on Windows: one system thread per create. (The parked pool
// of threads_posix.cpp would keep the handles of its threads' locks open for good.)
#include "host/services.h"

namespace host {

HANDLE os_thread_create(PluginThreadProc function, void* argument) {
    return CreateThread(nullptr, 0, function, argument, 0, nullptr);
}

void os_thread_wait_and_close(HANDLE thread) {
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Manual-reset, not signalled.
HANDLE os_event_create() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace host
