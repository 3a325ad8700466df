// The plug-in's one exported function: the host's message switch.
#include <cstdint>

#include "plugin/host_services.h"
#include "plugin/options_page.h"
#include "plugin/settings.h"
#include "server/server.h"

namespace {

constexpr char PLUGIN_AUTHOR[] = "larchmere";
constexpr char PLUGIN_VERSION[] = "1.0.1.3";

constexpr int LOC_PLUGIN_NAME = 177;
constexpr int LOC_PLUGIN_INFO = 2399;
constexpr int LOC_PLUGIN_INFO_2 = 2402;

constexpr uint32_t PLUGIN_MSG_UNNAMED_2 = 2;

uintptr_t text_result(const char* text) { return reinterpret_cast<uintptr_t>(text); }

uintptr_t localized_result(int id) { return text_result(localization_get_string(id)); }

// Binds every host service; only a complete table gets the setting strings.
uintptr_t plugin_init(uintptr_t data) {
    if (!host_services_bind(reinterpret_cast<SorrelwickServiceLookup>(data))) return 0;
    settings_alloc_strings();
    return 1;
}

// The messages that carry a record for the options page.
uintptr_t plugin_options_page(uint32_t message, uintptr_t data) {
    void* record = reinterpret_cast<void*>(data);
    switch (message) {
        case PLUGIN_MSG_OPTIONS_PAGE_CREATE:
            options_page_create(static_cast<PluginOptionsPageCreate*>(record));
            break;
        case PLUGIN_MSG_OPTIONS_PAGE_APPLY:
            options_page_apply(static_cast<PluginOptionsPageApply*>(record));
            break;
        case PLUGIN_MSG_OPTIONS_PAGE_GET_MIN_SIZE:
            options_page_get_min_size(static_cast<PluginOptionsPageMinSize*>(record));
            break;
        case PLUGIN_MSG_OPTIONS_PAGE_LAYOUT:
            options_page_layout(static_cast<PluginOptionsPageLayout*>(record));
            break;
        case PLUGIN_MSG_OPTIONS_PAGE_COMMAND:
            options_page_command(static_cast<PluginOptionsPageCommand*>(record));
            break;
    }
    return 1;
}

}  // namespace

extern "C" SORRELWICK_EXPORT uintptr_t sorrelwick_plugin_proc(uint32_t message, uintptr_t data) {
    switch (message) {
        case PLUGIN_MSG_INIT:
            return plugin_init(data);
        case PLUGIN_MSG_UNNAMED_2:
            return 1;
        case PLUGIN_MSG_GET_NAME:
            return localized_result(LOC_PLUGIN_NAME);
        case PLUGIN_MSG_GET_INFO_TEXT:
            return localized_result(LOC_PLUGIN_INFO);
        case PLUGIN_MSG_GET_AUTHOR:
            return text_result(PLUGIN_AUTHOR);
        case PLUGIN_MSG_GET_VERSION:
            return text_result(PLUGIN_VERSION);
        case PLUGIN_MSG_GET_INFO_TEXT_2:
            return localized_result(LOC_PLUGIN_INFO_2);
        case PLUGIN_MSG_START:
            settings_load(reinterpret_cast<void*>(data));
            server_apply_settings();  // a failed start is reported by the server itself
            return 1;
        case PLUGIN_MSG_STOP:
            server_stop();
            return 1;
        case PLUGIN_MSG_UNINIT:
            settings_free();
            return 1;
        case PLUGIN_MSG_ADD_OPTIONS_PAGES:
            ui_options_add_plugin_page(reinterpret_cast<void*>(data), 0, localization_get_string(LOC_PLUGIN_NAME));
            return 1;
        case PLUGIN_MSG_OPTIONS_PAGE_CREATE:
        case PLUGIN_MSG_OPTIONS_PAGE_APPLY:
        case PLUGIN_MSG_OPTIONS_PAGE_GET_MIN_SIZE:
        case PLUGIN_MSG_OPTIONS_PAGE_LAYOUT:
        case PLUGIN_MSG_OPTIONS_PAGE_COMMAND:
            return plugin_options_page(message, data);
        case PLUGIN_MSG_SAVE_SETTINGS:
            settings_save(reinterpret_cast<void*>(data));
            return 1;
        default:
            return 0;
    }
}
