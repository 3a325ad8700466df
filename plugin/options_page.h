// The plug-in's page in the host's options window.
#pragma once

#include "sdk/sorrelwick_plugin.h"

void options_page_create(PluginOptionsPageCreate* record);
void options_page_apply(PluginOptionsPageApply* record);
void options_page_get_min_size(PluginOptionsPageMinSize* record);
void options_page_layout(PluginOptionsPageLayout* record);
void options_page_command(PluginOptionsPageCommand* record);
void options_page_update_enabled(HWND page);
