// In-process test support for the plug-in: a service lookup over the real host services that can
// hide one service and records what the plug-in hands to a few others (the settings store, the
// task dialog, the debug console, the options-page registration and the heap).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "plugin/settings.h"
#include "sdk/sorrelwick_plugin.h"

extern "C" uintptr_t sorrelwick_plugin_proc(uint32_t message, uintptr_t data);

namespace test_support {

// The settings store the recording lookup hands out: pass a pointer to one as the settings handle.
// Keys it holds are returned by the get services; every call is recorded.
struct RecordingSettingsStore {
    std::map<std::string, int32_t> integers;
    std::map<std::string, std::string> strings;
    std::vector<std::string> calls;  // "get_int KEY", "get_string KEY", "set_int KEY=VALUE", "set_string KEY=VALUE"
};

struct DialogCall {
    HWND parent;
    uint32_t flags;
    std::string caption;
    uintptr_t reserved;
    std::string instruction;
    std::string content;
};

struct OptionsPageCall {
    void* record;
    uintptr_t user_data;
    std::string name;
};

struct ColorLine {
    uint32_t color;
    std::string text;
};

// Everything the recording services saw since the last lookup_reset.
struct Recording {
    std::mutex lock;  // heap calls may come from the plug-in's reader threads
    std::vector<std::string> looked_up;
    std::vector<DialogCall> dialogs;
    std::vector<OptionsPageCall> options_pages;
    std::vector<std::string> debug_lines;
    std::vector<std::string> error_lines;
    std::vector<ColorLine> color_lines;
    std::set<void*> live_blocks;      // plug-in allocations not yet freed
    std::vector<void*> freed_blocks;  // in the order the plug-in freed them
};

Recording& recording();

// Clears the recording and unhides any service.
void lookup_reset();
// The lookup answers null for this name from now on (until lookup_reset).
void lookup_hide(const char* name);
// The lookup answers `service` for this name from now on (until lookup_reset); takes effect with
// the next message 1.
void lookup_replace(const char* name, void* service);
// The lookup to pass with message 1.
void* lookup(const char* name);

// Formats with the host's printf dialect.
std::string host_format(const char* format, ...);

// The plug-in's live allocations other than the five setting strings.
std::set<void*> blocks_besides_settings();

// The message of an activity-log line, without its time and client part.
std::string log_line_message(const std::string& line);

// Number of colour echoes whose message (for an activity-log line) is exactly `text`.
size_t color_line_count(const std::string& text);

// The folder that stands in for the local application-data folder of this test program: the
// host's state folder under a private temporary XDG_STATE_HOME.
std::string state_home();

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Dispatches the test thread's window messages until predicate holds or the deadline passes;
// returns the predicate's last value.
bool pump_until(const std::function<bool()>& predicate,
                std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

// Binds the plug-in to the recording lookup (message 1) for the life of the object; on the way
// out stops the server (9), frees the settings (10) and restores every integer setting.
class PluginSession {
public:
    // `replacements` are handed to lookup_replace before binding.
    explicit PluginSession(std::initializer_list<std::pair<const char*, void*>> replacements = {});
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;
    bool bound() const { return bound_; }

private:
    bool bound_;
    Settings saved_;
};

}  // namespace test_support
