// The plug-in's fourteen settings: module-level values that every part reads at the moment of use.
#pragma once

#include <cstdint>

struct Settings {
    int32_t enabled;
    char* welcome_message;
    int32_t port;
    char* username;
    char* password;
    char* log_file_name;
    int32_t logging_enabled;
    int32_t log_max_size;
    int32_t log_delta_size;
    int32_t allow_file_download;
    char* bindings;
    int32_t allow_ftp_port;
    int32_t check_ftp_data_connection_ip;
    int32_t allow_disk_access;
};

// Holds the built-in defaults from the moment the library is loaded; the strings are null until
// the initialisation message allocates them empty.
extern Settings settings;

// Allocates the five strings empty, in the order welcome_message, username, password,
// log_file_name, bindings.
void settings_alloc_strings();
void settings_load(void* settings_handle);
void settings_save(void* settings_handle);
void settings_free();
