#include "host/services.h"

namespace host {
char* utf8_string_alloc_utf8_string(const char*) { return nullptr; }
char* utf8_string_realloc_utf8_string(char*, const char*) { return nullptr; }
char* utf8_string_copy_utf8_string(char* destination, const char*) { return destination; }
size_t utf8_string_get_length_in_bytes(const char*) { return 0; }
int utf8_string_compare(const char*, const char*) { return 0; }
int utf8_string_compare_nocase_s_sla(const char*, const char*) { return 0; }
int32_t utf8_string_to_int(const char*) { return 0; }
uint32_t utf8_string_to_dword(const char*) { return 0; }
uint64_t utf8_string_to_qword(const char*) { return 0; }
const char* utf8_string_parse_csv_item(const char*, Utf8Buf*) { return nullptr; }
int utf8_string_parse_sockaddr_in(const char*, void*) { return 0; }
int utf8_string_parse_sockaddr_in6(const char*, void*) { return 0; }
int unicode_is_ascii_ws(int) { return 0; }
}  // namespace host
