// The process's port range and handle limit through the socket layer's own calls.
#include "host/process_limits.h"

#include "sdk/platform_api.h"

namespace host {

bool process_passive_ports_set(uint16_t first, uint16_t last) { return WSASetDynamicPortRange(first, last) == 0; }

// Every client holds a descriptor or more: the soft limit (often 1,024) would cap them.
void process_handle_limit_raise() { RaiseHandleLimit(); }

}  // namespace host
