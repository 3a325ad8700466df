#include "host/services.h"

namespace host {
const char* localization_get_string(int) { return ""; }
void version_get_text(Utf8Buf*) {}
}  // namespace host
