#include "host/services.h"

namespace host {
void utf8_buf_path_cat_filename(Utf8Buf*, const char*, const char*) {}
void utf8_buf_path_canonicalize(Utf8Buf*) {}
}  // namespace host
