// The fourteen settings, their built-in defaults, and their load and save through the host's
// settings store.
#include "plugin/settings.h"

#include "plugin/host_services.h"

Settings settings = {
    .enabled = 0,
    .welcome_message = nullptr,
    .port = 21,
    .username = nullptr,
    .password = nullptr,
    .log_file_name = nullptr,
    .logging_enabled = 1,
    .log_max_size = 4194304,
    .log_delta_size = 524288,
    .allow_file_download = 1,
    .bindings = nullptr,
    .allow_ftp_port = 1,
    .check_ftp_data_connection_ip = 1,
    .allow_disk_access = 0,
};

namespace {

// One stored key: exactly one of the two members is set.
struct SettingKey {
    const char* key;
    int32_t Settings::*integer;
    char* Settings::*string;
};

// The store's keys, in the order they are loaded and saved.
constexpr SettingKey SETTING_KEYS[] = {
    {"enabled", &Settings::enabled, nullptr},
    {"welcome_message", nullptr, &Settings::welcome_message},
    {"port", &Settings::port, nullptr},
    {"username", nullptr, &Settings::username},
    {"password", nullptr, &Settings::password},
    {"log_file_name", nullptr, &Settings::log_file_name},
    {"logging_enabled", &Settings::logging_enabled, nullptr},
    {"log_max_size", &Settings::log_max_size, nullptr},
    {"log_delta_size", &Settings::log_delta_size, nullptr},
    {"allow_file_download", &Settings::allow_file_download, nullptr},
    {"bindings", nullptr, &Settings::bindings},
    {"allow_ftp_port", &Settings::allow_ftp_port, nullptr},
    {"check_ftp_data_connection_ip", &Settings::check_ftp_data_connection_ip, nullptr},
    {"allow_disk_access", &Settings::allow_disk_access, nullptr},
};
static_assert(sizeof(SETTING_KEYS) / sizeof(SETTING_KEYS[0]) == 14);

// The string settings in the order they are created; they are freed in the reverse order.
constexpr char* Settings::*STRING_SETTINGS[] = {
    &Settings::welcome_message, &Settings::username, &Settings::password,
    &Settings::log_file_name,   &Settings::bindings,
};

}  // namespace

void settings_alloc_strings() {
    for (char* Settings::*member : STRING_SETTINGS) settings.*member = utf8_string_alloc_utf8_string("");
}

// The get services take the current value over and hand back the one to keep, so the returned
// pointer simply replaces ours.
void settings_load(void* settings_handle) {
    for (const SettingKey& entry : SETTING_KEYS) {
        if (entry.integer) {
            settings.*entry.integer = plugin_get_setting_int(settings_handle, entry.key, settings.*entry.integer);
        } else {
            settings.*entry.string = plugin_get_setting_string(settings_handle, entry.key, settings.*entry.string);
        }
    }
}

void settings_save(void* settings_handle) {
    for (const SettingKey& entry : SETTING_KEYS) {
        if (entry.integer) {
            plugin_set_setting_int(settings_handle, entry.key, settings.*entry.integer);
        } else {
            plugin_set_setting_string(settings_handle, entry.key, settings.*entry.string);
        }
    }
}

void settings_free() {
    constexpr int count = sizeof(STRING_SETTINGS) / sizeof(STRING_SETTINGS[0]);
    for (int i = count - 1; i >= 0; --i) {
        char* Settings::*member = STRING_SETTINGS[i];
        mem_free(settings.*member);
        settings.*member = nullptr;
    }
}
