#include "host/services.h"

namespace host {
int32_t plugin_get_setting_int(void*, const char*, int32_t current_value) { return current_value; }
char* plugin_get_setting_string(void*, const char*, char* current_value) { return current_value; }
void plugin_set_setting_int(void*, const char*, int32_t) {}
void plugin_set_setting_string(void*, const char*, const char*) {}
}  // namespace host
