#include "host/services.h"

namespace host {
void os_get_local_app_data_path_cat_filename(const char*, Utf8Buf*) {}
void os_get_local_app_data_path_cat_make_filename(const char*, const char*, Utf8Buf*) {}
int os_make_sure_path_to_file_exists(const char*) { return 0; }
int os_resize_file(const char*, int64_t, int64_t) { return 0; }
int os_set_file_pointer(HANDLE, uint64_t, uint32_t) { return 0; }
SorrelwickOutputStream* output_stream_append_file(const char*) { return nullptr; }
void output_stream_write_printf(SorrelwickOutputStream*, const char*, ...) {}
void output_stream_close(SorrelwickOutputStream*) {}
}  // namespace host
