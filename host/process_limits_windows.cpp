// On Windows the dynamic port range belongs to the whole machine (netsh int ipv4 set dynamicport
// tcp), and a process has no small limit on its handles.
#include "host/process_limits.h"

namespace host {

bool process_passive_ports_set(uint16_t, uint16_t) { return false; }

void process_handle_limit_raise() {}

}  // namespace host
