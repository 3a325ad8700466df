#include "plugin/options_page.h"

#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/server.h"

void options_page_create(PluginOptionsPageCreate*) {}
void options_page_apply(PluginOptionsPageApply*) {}
void options_page_get_min_size(PluginOptionsPageMinSize* record) {
    record->min_width = 200;
    record->min_height = 298;
}
void options_page_layout(PluginOptionsPageLayout*) {}
void options_page_command(PluginOptionsPageCommand*) {}
void options_page_update_enabled(HWND) {}
