// The interface that the Sorrelwick host and its plug-ins share: message numbers, the records passed
// with them, and the signatures of the host services a plug-in looks up by name.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "sdk/platform_api.h"

// ---------------------------------------------------------------------------------------------------
// The entry point and its messages.

using SorrelwickPluginProc = uintptr_t (*)(uint32_t message, uintptr_t data);
using SorrelwickServiceLookup = void* (*)(const char* name);

constexpr const char SORRELWICK_PLUGIN_ENTRY_NAME[] = "sorrelwick_plugin_proc";

enum : uint32_t {
    PLUGIN_MSG_INIT = 1,
    PLUGIN_MSG_GET_NAME = 3,
    PLUGIN_MSG_GET_INFO_TEXT = 4,
    PLUGIN_MSG_GET_AUTHOR = 5,
    PLUGIN_MSG_GET_VERSION = 6,
    PLUGIN_MSG_GET_INFO_TEXT_2 = 7,
    PLUGIN_MSG_START = 8,
    PLUGIN_MSG_STOP = 9,
    PLUGIN_MSG_UNINIT = 10,
    PLUGIN_MSG_ADD_OPTIONS_PAGES = 12,
    PLUGIN_MSG_OPTIONS_PAGE_CREATE = 13,
    PLUGIN_MSG_OPTIONS_PAGE_APPLY = 14,
    PLUGIN_MSG_OPTIONS_PAGE_GET_MIN_SIZE = 15,
    PLUGIN_MSG_OPTIONS_PAGE_LAYOUT = 16,
    PLUGIN_MSG_OPTIONS_PAGE_COMMAND = 17,
    PLUGIN_MSG_SAVE_SETTINGS = 19,
};

// ---------------------------------------------------------------------------------------------------
// Records.

// A growable text buffer that lives on the caller's stack: `text` is always terminated and `length`
// counts its bytes without the terminator. Short texts stay in `inline_bytes`; longer ones move to
// the host heap. Never copy one: `text` may point into the record itself.
struct Utf8Buf {
    char* text;
    size_t length;
    size_t capacity;  // bytes available at `text`, terminator included
    char inline_bytes[256];
};

// The same record for text in the system ANSI code page.
struct AnsiBuf {
    char* text;
    size_t length;
    size_t capacity;
    char inline_bytes[256];
};

static_assert(offsetof(Utf8Buf, text) == 0 && offsetof(Utf8Buf, length) == 8);
static_assert(offsetof(AnsiBuf, text) == 0 && offsetof(AnsiBuf, length) == 8);

// Value of a size or date that the index does not know.
constexpr uint64_t INDEXED_UNKNOWN = 0xFFFFFFFFFFFFFFFFull;

// File facts of one index entry.
struct IndexedFd {
    uint64_t size;
    uint64_t date_created;
    uint64_t date_modified;
    uint64_t date_accessed;  // kept by the index; plug-ins do not read it
    uint32_t attributes;     // Windows file attribute bits
};

static_assert(offsetof(IndexedFd, size) == 0);
static_assert(offsetof(IndexedFd, date_created) == 8);
static_assert(offsetof(IndexedFd, date_modified) == 16);
static_assert(offsetof(IndexedFd, date_accessed) == 24);
static_assert(offsetof(IndexedFd, attributes) == 32);

// Query events the host raises through a query's callback.
constexpr int DB_QUERY_EVENT_SEARCH_DONE = 5;
constexpr int DB_QUERY_EVENT_SORT_DONE = 6;

// Numbers of the host's built-in properties, the sort keys that property_get_builtin_type names.
enum : int {
    PROPERTY_NAME = 0,
    PROPERTY_PATH = 1,
    PROPERTY_SIZE = 2,
    PROPERTY_EXTENSION = 3,
    PROPERTY_DATE_MODIFIED = 5,
    PROPERTY_DATE_CREATED = 6,
    PROPERTY_ATTRIBUTES = 8,
    PROPERTY_DATE_RECENTLY_CHANGED = 9,
    PROPERTY_FILE_LIST_FILENAME = 12,
};

// Opaque host objects.
struct SorrelwickDb;
struct SorrelwickDbFind;
struct SorrelwickDbQuery;
struct SorrelwickProperty;
struct SorrelwickOutputStream;

using DbQueryCallback = void (*)(void* context, int event);
using PluginThreadProc = DWORD (*)(void* argument);

// Records of the options-page messages 13 to 17 (byte offsets are part of the interface).
struct PluginOptionsPageCreate {
    void* reserved;
    HWND page;
    HWND tooltip;
};
static_assert(offsetof(PluginOptionsPageCreate, page) == 8);
static_assert(offsetof(PluginOptionsPageCreate, tooltip) == 16);

struct PluginOptionsPageApply {
    void* reserved;
    HWND page;
    uint32_t server_not_running;  // set to 1 by the plug-in when the server should run but does not
};
static_assert(offsetof(PluginOptionsPageApply, page) == 8);
static_assert(offsetof(PluginOptionsPageApply, server_not_running) == 16);

struct PluginOptionsPageMinSize {
    void* reserved0;
    void* reserved8;
    int32_t min_width;
    int32_t min_height;
};
static_assert(offsetof(PluginOptionsPageMinSize, min_width) == 16);
static_assert(offsetof(PluginOptionsPageMinSize, min_height) == 20);

struct PluginOptionsPageLayout {
    void* reserved;
    HWND page;
};
static_assert(offsetof(PluginOptionsPageLayout, page) == 8);

struct PluginOptionsPageCommand {
    void* reserved;
    HWND options_window;
    HWND page;
    uint32_t message;
    uint32_t padding;
    uint64_t wparam;  // bits 0-15 control id, bits 16-31 notification code
};
static_assert(offsetof(PluginOptionsPageCommand, options_window) == 8);
static_assert(offsetof(PluginOptionsPageCommand, page) == 16);
static_assert(offsetof(PluginOptionsPageCommand, message) == 24);
static_assert(offsetof(PluginOptionsPageCommand, wparam) == 32);

#include "sdk/host_services.h"
