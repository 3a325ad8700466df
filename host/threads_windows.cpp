// Starting plug-in threads on Windows: one system thread per create. (The parked pool
// of threads_posix.cpp would keep the handles of its threads' locks open for good.)
#include "host/services.h"

namespace host {

HANDLE os_thread_create(PluginThreadProc function, void* argument) {
    return CreateThread(nullptr, 0, function, argument, 0, nullptr);
}

}  // namespace host
