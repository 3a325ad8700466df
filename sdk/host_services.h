// Signatures of the 118 host services, one function type per service (`svc_NAME`), and the list
// of their names in the order a plug-in binds them. Conventions: 1 (or a handle) for success, 0 for
// failure, -1 for a failed socket call with its cause in os_winsock_WSAGetLastError.
#pragma once

// Included from sdk/sorrelwick_plugin.h only.

// Memory
using svc_mem_alloc = void*(size_t size);
using svc_mem_calloc = void*(size_t size);
using svc_mem_free = void(void* block);
using svc_os_copy_memory = void(void* destination, const void* source, size_t size);
using svc_os_move_memory = void(void* destination, const void* source, size_t size);
using svc_os_zero_memory = void(void* destination, size_t size);

// Strings (terminated UTF-8)
using svc_utf8_string_alloc_utf8_string = char*(const char* text);
using svc_utf8_string_realloc_utf8_string = char*(char* old_string, const char* text);
// Copies text with its terminator and returns the address of the copied terminator.
using svc_utf8_string_copy_utf8_string = char*(char* destination, const char* text);
using svc_utf8_string_get_length_in_bytes = size_t(const char* text);
using svc_utf8_string_compare = int(const char* a, const char* b);
using svc_utf8_string_compare_nocase_s_sla = int(const char* text, const char* lower_case_literal);
using svc_utf8_string_to_int = int32_t(const char* text);
using svc_utf8_string_to_dword = uint32_t(const char* text);
using svc_utf8_string_to_qword = uint64_t(const char* text);
// Copies the next comma-separated item (trimmed of blanks and surrounding double quotes) into item
// and returns the text after it; returns null, leaving item empty, when no item is left.
using svc_utf8_string_parse_csv_item = const char*(const char* text, Utf8Buf* item);
using svc_utf8_string_parse_sockaddr_in = int(const char* text, void* sockaddr_storage);
using svc_utf8_string_parse_sockaddr_in6 = int(const char* text, void* sockaddr_storage);
using svc_unicode_is_ascii_ws = int(int byte);

// Text buffers
using svc_utf8_buf_init = void(Utf8Buf* buffer);
using svc_utf8_buf_kill = void(Utf8Buf* buffer);
using svc_utf8_buf_printf = void(Utf8Buf* buffer, const char* format, ...);
using svc_utf8_buf_vprintf = void(Utf8Buf* buffer, const char* format, va_list arguments);
using svc_utf8_buf_copy_utf8_string = void(Utf8Buf* buffer, const char* text);
using svc_utf8_buf_copy_utf8_string_n = void(Utf8Buf* buffer, const char* text, size_t length);
using svc_utf8_buf_path_cat_filename = void(Utf8Buf* buffer, const char* path, const char* name);
using svc_utf8_buf_path_canonicalize = void(Utf8Buf* buffer);
// Sets the length to `length` bytes (room for a terminator too); the caller writes the bytes.
using svc_utf8_buf_grow_length = void(Utf8Buf* buffer, size_t length);
using svc_utf8_buf_format_filetime = void(Utf8Buf* buffer, uint64_t filetime);
using svc_utf8_buf_format_peername = void(Utf8Buf* buffer, SOCKET socket);
using svc_ansi_buf_init = void(AnsiBuf* buffer);
using svc_ansi_buf_kill = void(AnsiBuf* buffer);
using svc_ansi_buf_copy_utf8_string = void(AnsiBuf* buffer, const char* text);

// Files and time
using svc_os_get_local_app_data_path_cat_filename = void(const char* name, Utf8Buf* path);
using svc_os_get_local_app_data_path_cat_make_filename = void(const char* name, const char* extension,
                                                              Utf8Buf* path);
using svc_os_make_sure_path_to_file_exists = int(const char* path);
// Trims a file larger than max_size to its newest part (about max_size - delta_size bytes),
// starting at a line start.
using svc_os_resize_file = int(const char* path, int64_t max_size, int64_t delta_size);
using svc_os_open_file = HANDLE(const char* index_path);
using svc_os_set_file_pointer = int(HANDLE file, uint64_t offset, uint32_t move_method);
using svc_output_stream_append_file = SorrelwickOutputStream*(const char* path);
using svc_output_stream_write_printf = void(SorrelwickOutputStream* stream, const char* format, ...);
using svc_output_stream_close = void(SorrelwickOutputStream* stream);
using svc_os_get_system_time_as_file_time = uint64_t();
using svc_os_filetime_to_localtime = void(SYSTEMTIME* local_time, uint64_t filetime);

// Threads
using svc_os_thread_create = HANDLE(PluginThreadProc function, void* argument);
using svc_os_thread_wait_and_close = void(HANDLE thread);
using svc_os_event_create = HANDLE();

// Sockets
using svc_os_winsock_WSAStartup = int(WORD version, WSADATA* data);
using svc_os_winsock_WSACleanup = int();
using svc_os_winsock_WSAGetLastError = int();
using svc_os_winsock_WSAAsyncSelect = int(SOCKET socket, HWND window, UINT message, long events);
using svc_os_winsock_socket = SOCKET(int family, int type, int protocol);
using svc_os_winsock_bind = int(SOCKET socket, const SOCKADDR* address, int length);
using svc_os_winsock_listen = int(SOCKET socket, int backlog);
using svc_os_winsock_accept = SOCKET(SOCKET socket, SOCKADDR* address, int* length);
using svc_os_winsock_connect = int(SOCKET socket, const SOCKADDR* address, int length);
using svc_os_winsock_shutdown = int(SOCKET socket, int how);
using svc_os_winsock_closesocket = int(SOCKET socket);
using svc_os_winsock_getaddrinfo = int(const char* node, const char* service, const ADDRINFOA* hints,
                                       ADDRINFOA** result);
using svc_os_winsock_freeaddrinfo = void(ADDRINFOA* list);
using svc_os_winsock_getpeername = int(SOCKET socket, SOCKADDR* address, int* length);
using svc_os_winsock_getsockname = int(SOCKET socket, SOCKADDR* address, int* length);
using svc_os_winsock_ntohs = uint16_t(uint16_t value);
using svc_network_recv = int(SOCKET socket, void* bytes, size_t count);
using svc_network_send = int(SOCKET socket, const void* bytes, size_t count);
using svc_network_set_tcp_nodelay = int(SOCKET socket);
using svc_network_set_keepalive = int(SOCKET socket);

// Index
using svc_db_add_local_ref = SorrelwickDb*();
using svc_db_release = void(SorrelwickDb* db);
using svc_db_folder_exists = int(SorrelwickDb* db, const char* index_path);
using svc_db_file_exists = int(SorrelwickDb* db, const char* index_path);
using svc_db_find_first_file = SorrelwickDbFind*(SorrelwickDb* db, const char* folder_path, Utf8Buf* name,
                                                 IndexedFd* fd);
using svc_db_find_next_file = int(SorrelwickDbFind* find, Utf8Buf* name, IndexedFd* fd);
using svc_db_find_close = void(SorrelwickDbFind* find);
using svc_db_get_indexed_fd = int(SorrelwickDb* db, const char* index_path, IndexedFd* fd);
using svc_db_is_index_folder_size = int(SorrelwickDb* db);
using svc_db_query_create = SorrelwickDbQuery*(SorrelwickDb* db, DbQueryCallback callback, void* context);
using svc_db_query_destroy = void(SorrelwickDbQuery* query);
// Argument numbers in the comments are the positions in the call.
using svc_db_query_search2 = int(SorrelwickDbQuery* query,           // 1
                                 uint32_t match_case,                 // 2
                                 uint32_t match_whole_word,           // 3
                                 uint32_t match_path,                 // 4
                                 uint32_t match_diacritics,           // 5
                                 uint32_t match_prefix,               // 6
                                 uint32_t match_suffix,               // 7
                                 uint32_t ignore_punctuation,         // 8
                                 uint32_t ignore_whitespace,          // 9
                                 uint32_t match_regex,                // 10
                                 uint32_t hide_empty_search_results,  // 11
                                 uint32_t include_files,              // 12
                                 uint32_t include_folders,            // 13
                                 const char* search_text,             // 14
                                 uint32_t filter_flags,               // 15
                                 const char* filter_search_text,      // 16
                                 const char* filter_macro,            // 17
                                 uintptr_t filter_columns,            // 18
                                 uint32_t filter_sort,                // 19
                                 uint32_t max_results,                // 20
                                 uint32_t track_selection,            // 21
                                 const SorrelwickProperty* sort_property,  // 22
                                 uint32_t sort_ascending,             // 23
                                 uintptr_t secondary_sort_property,   // 24
                                 uint32_t secondary_sort_ascending,   // 25
                                 uintptr_t reserved26,                // 26
                                 uint32_t reserved27, uint32_t reserved28, uint32_t reserved29,
                                 uint32_t reserved30, uint32_t reserved31, uint32_t reserved32,
                                 uint32_t reserved33, uint32_t reserved34, uint32_t reserved35,
                                 uint32_t allow_disk_access,          // 36
                                 uint32_t reserved37, uint32_t reserved38, uint32_t reserved39,
                                 uint32_t allow_query_access,         // 40
                                 uint32_t reserved41);
using svc_db_query_sort = int(SorrelwickDbQuery* query, const SorrelwickProperty* property, uint32_t ascending,
                              uint32_t reserved4, uint32_t reserved5, uintptr_t reserved6, uint32_t reserved7,
                              uint32_t reserved8, uint32_t reserved9, uint32_t reserved10, uint32_t reserved11);
using svc_db_query_get_result_count = size_t(SorrelwickDbQuery* query);
using svc_db_query_get_result_name = void(SorrelwickDbQuery* query, size_t index, Utf8Buf* name);
using svc_db_query_get_result_path = void(SorrelwickDbQuery* query, size_t index, Utf8Buf* path);
using svc_db_query_is_folder_result = int(SorrelwickDbQuery* query, size_t index);
using svc_db_query_get_result_indexed_fd = void(SorrelwickDbQuery* query, size_t index, IndexedFd* fd);
using svc_db_query_get_result_file_list_filename = void(SorrelwickDbQuery* query, size_t index, Utf8Buf* name);
using svc_db_query_get_result_date_recently_changed = uint64_t(SorrelwickDbQuery* query, size_t index);
using svc_property_get_builtin_type = const SorrelwickProperty*(int property_number);

// Settings and text
using svc_plugin_get_setting_int = int32_t(void* settings, const char* key, int32_t current_value);
// Takes over current_value (which it may free) and returns the string to use from now on.
using svc_plugin_get_setting_string = char*(void* settings, const char* key, char* current_value);
using svc_plugin_set_setting_int = void(void* settings, const char* key, int32_t value);
using svc_plugin_set_setting_string = void(void* settings, const char* key, const char* value);
using svc_localization_get_string = const char*(int id);
using svc_version_get_text = void(Utf8Buf* text);

// Windows and the options page
using svc_os_register_class = ATOM(UINT style, const char* class_name, WNDPROC window_procedure,
                                   uintptr_t icon, uintptr_t cursor, uintptr_t background, uintptr_t small_icon);
using svc_os_create_window = HWND(DWORD extended_style, const char* class_name, const char* title, DWORD style,
                                  int x, int y, int width, int height, HWND parent, HMENU menu,
                                  HINSTANCE instance, void* parameter);
using svc_ui_options_add_plugin_page = void(void* add_pages_record, uintptr_t user_data, const char* name);
using svc_ui_task_dialog_show = int(HWND parent, uint32_t flags, const char* caption, uintptr_t reserved,
                                    const char* main_instruction, const char* content);
using svc_os_get_logical_wide = int();
using svc_os_get_logical_high = int();
using svc_os_set_dlg_rect = void(HWND page, int id, int x, int y, int width, int height);
using svc_os_set_dlg_text = void(HWND page, int id, const char* text);
using svc_os_get_dlg_text = void(HWND page, int id, Utf8Buf* text);
using svc_os_enable_or_disable_dlg_item = void(HWND window, int id, int enable);
using svc_os_get_save_file_name = int(HWND owner, const char* title, const char* start_file, const char* filter,
                                      size_t filter_length, int filter_index, const char* default_extension,
                                      uint32_t flags, Utf8Buf* chosen_file);
using svc_os_create_checkbox = HWND(HWND page, int id, uint32_t style, int checked, const char* text);
using svc_os_create_static = HWND(HWND page, int id, uint32_t style, const char* text);
using svc_os_create_edit = HWND(HWND page, int id, uint32_t style, const char* text);
using svc_os_create_number_edit = HWND(HWND page, int id, uint32_t style, int32_t value);
using svc_os_create_password_edit = HWND(HWND page, int id, uint32_t style, const char* text);
using svc_os_create_button = HWND(HWND page, int id, uint32_t style, const char* text);
using svc_os_add_tooltip = void(HWND tooltip, HWND page, int id, const char* text);
// Returns the larger of running_width and the width of text in layout units.
using svc_os_expand_dialog_text_logical_wide_no_prefix = int(HWND page, const char* text, int running_width);

// Debug
using svc_debug_is_verbose = int();
using svc_debug_printf = void(const char* format, ...);
using svc_debug_error_printf = void(const char* format, ...);
using svc_debug_color_printf = void(uint32_t color, const char* format, ...);

// Arithmetic
using svc_safe_uintptr_add = size_t(size_t a, size_t b);

// Every service, in the order a plug-in binds them.
#define SORRELWICK_HOST_SERVICES(X)                                                                      \
    X(mem_alloc) X(mem_calloc) X(mem_free) X(os_copy_memory) X(os_move_memory) X(os_zero_memory)       \
    X(utf8_string_alloc_utf8_string) X(utf8_string_realloc_utf8_string) X(utf8_string_copy_utf8_string) \
    X(utf8_string_get_length_in_bytes) X(utf8_string_compare) X(utf8_string_compare_nocase_s_sla)       \
    X(utf8_string_to_int) X(utf8_string_to_dword) X(utf8_string_to_qword) X(utf8_string_parse_csv_item) \
    X(utf8_string_parse_sockaddr_in) X(utf8_string_parse_sockaddr_in6) X(unicode_is_ascii_ws)           \
    X(utf8_buf_init) X(utf8_buf_kill) X(utf8_buf_printf) X(utf8_buf_vprintf)                            \
    X(utf8_buf_copy_utf8_string) X(utf8_buf_copy_utf8_string_n) X(utf8_buf_path_cat_filename)           \
    X(utf8_buf_path_canonicalize) X(utf8_buf_grow_length) X(utf8_buf_format_filetime)                   \
    X(utf8_buf_format_peername) X(ansi_buf_init) X(ansi_buf_kill) X(ansi_buf_copy_utf8_string)          \
    X(os_get_local_app_data_path_cat_filename) X(os_get_local_app_data_path_cat_make_filename)          \
    X(os_make_sure_path_to_file_exists) X(os_resize_file) X(os_open_file) X(os_set_file_pointer)        \
    X(output_stream_append_file) X(output_stream_write_printf) X(output_stream_close)                   \
    X(os_get_system_time_as_file_time) X(os_filetime_to_localtime)                                      \
    X(os_thread_create) X(os_thread_wait_and_close) X(os_event_create)                                  \
    X(os_winsock_WSAStartup) X(os_winsock_WSACleanup) X(os_winsock_WSAGetLastError)                     \
    X(os_winsock_WSAAsyncSelect) X(os_winsock_socket) X(os_winsock_bind) X(os_winsock_listen)           \
    X(os_winsock_accept) X(os_winsock_connect) X(os_winsock_shutdown) X(os_winsock_closesocket)         \
    X(os_winsock_getaddrinfo) X(os_winsock_freeaddrinfo) X(os_winsock_getpeername)                      \
    X(os_winsock_getsockname) X(os_winsock_ntohs)                                                       \
    X(network_recv) X(network_send) X(network_set_tcp_nodelay) X(network_set_keepalive)                 \
    X(db_add_local_ref) X(db_release) X(db_folder_exists) X(db_file_exists) X(db_find_first_file)      \
    X(db_find_next_file) X(db_find_close) X(db_get_indexed_fd) X(db_is_index_folder_size)               \
    X(db_query_create) X(db_query_destroy) X(db_query_search2) X(db_query_sort)                         \
    X(db_query_get_result_count) X(db_query_get_result_name) X(db_query_get_result_path)                \
    X(db_query_is_folder_result) X(db_query_get_result_indexed_fd)                                      \
    X(db_query_get_result_file_list_filename) X(db_query_get_result_date_recently_changed)              \
    X(property_get_builtin_type)                                                                        \
    X(plugin_get_setting_int) X(plugin_get_setting_string) X(plugin_set_setting_int)                    \
    X(plugin_set_setting_string) X(localization_get_string) X(version_get_text)                         \
    X(os_register_class) X(os_create_window) X(ui_options_add_plugin_page) X(ui_task_dialog_show)       \
    X(os_get_logical_wide) X(os_get_logical_high) X(os_set_dlg_rect) X(os_set_dlg_text)                 \
    X(os_get_dlg_text) X(os_enable_or_disable_dlg_item) X(os_get_save_file_name)                        \
    X(os_create_checkbox) X(os_create_static) X(os_create_edit) X(os_create_number_edit)                \
    X(os_create_password_edit) X(os_create_button) X(os_add_tooltip)                                    \
    X(os_expand_dialog_text_logical_wide_no_prefix)                                                     \
    X(debug_is_verbose) X(debug_printf) X(debug_error_printf) X(debug_color_printf)                     \
    X(safe_uintptr_add)

constexpr int SORRELWICK_HOST_SERVICE_COUNT = 0
#define SORRELWICK_COUNT_ONE(name) +1
    SORRELWICK_HOST_SERVICES(SORRELWICK_COUNT_ONE);
#undef SORRELWICK_COUNT_ONE
static_assert(SORRELWICK_HOST_SERVICE_COUNT == 118);
