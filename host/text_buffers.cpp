#include "host/services.h"

namespace host {
void utf8_buf_init(Utf8Buf*) {}
void utf8_buf_kill(Utf8Buf*) {}
void utf8_buf_printf(Utf8Buf*, const char*, ...) {}
void utf8_buf_vprintf(Utf8Buf*, const char*, va_list) {}
void utf8_buf_copy_utf8_string(Utf8Buf*, const char*) {}
void utf8_buf_copy_utf8_string_n(Utf8Buf*, const char*, size_t) {}
void utf8_buf_grow_length(Utf8Buf*, size_t) {}
void ansi_buf_init(AnsiBuf*) {}
void ansi_buf_kill(AnsiBuf*) {}
void ansi_buf_copy_utf8_string(AnsiBuf*, const char*) {}
}  // namespace host
