// What swp-host sets for its whole process before it serves: the range that binds to port 0 take
// their ports from, and how many handles it may hold. Each platform has its own way
// (process_limits_posix.cpp, process_limits_windows.cpp).
#pragma once

#include <cstdint>

namespace host {

// Binds of stream sockets to port 0 take their ports from [first, last]. False when the platform
// gives no single process a range of its own.
bool process_passive_ports_set(uint16_t first, uint16_t last);
// Lifts the limit on open handles as far as the system lets this process.
void process_handle_limit_raise();

}  // namespace host
