#include "host/services.h"

namespace host {
int debug_is_verbose() { return 0; }
void debug_printf(const char*, ...) {}
void debug_error_printf(const char*, ...) {}
void debug_color_printf(uint32_t, const char*, ...) {}
}  // namespace host
