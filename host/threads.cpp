// Waiting for plug-in threads and making events: the same on every platform. How a thread is
// started differs: threads_posix.cpp and threads_windows.cpp.
#include "host/services.h"

namespace host {

void os_thread_wait_and_close(HANDLE thread) {
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Manual-reset, not signalled.
HANDLE os_event_create() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace host
