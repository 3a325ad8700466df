#include "host/services.h"

namespace host {
uint64_t os_get_system_time_as_file_time() { return 0; }
void os_filetime_to_localtime(SYSTEMTIME*, uint64_t) {}
void utf8_buf_format_filetime(Utf8Buf*, uint64_t) {}
}  // namespace host
