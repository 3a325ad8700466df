#include "tests/support/plugin_harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/services.h"
#include "plugin/host_services.h"

namespace test_support {

namespace {

std::string hidden_name;
std::map<std::string, void*> replaced_services;

std::string vformat(const char* format, va_list arguments) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_vprintf(&buffer, format, arguments);
    std::string text(buffer.text, buffer.length);
    host::utf8_buf_kill(&buffer);
    return text;
}

RecordingSettingsStore* store_of(void* handle) { return static_cast<RecordingSettingsStore*>(handle); }

// Heap: the plug-in's allocations are tracked so that a test can see what it leaves behind.
void track(void* block) {
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().live_blocks.insert(block);
}

void untrack(void* block) {
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().live_blocks.erase(block);
    recording().freed_blocks.push_back(block);
}

void* rec_mem_alloc(size_t size) {
    void* block = host::mem_alloc(size);
    track(block);
    return block;
}

void* rec_mem_calloc(size_t size) {
    void* block = host::mem_calloc(size);
    track(block);
    return block;
}

void rec_mem_free(void* block) {
    if (block) untrack(block);
    host::mem_free(block);
}

char* rec_string_alloc(const char* text) {
    char* copy = host::utf8_string_alloc_utf8_string(text);
    track(copy);
    return copy;
}

char* rec_string_realloc(char* old_string, const char* text) {
    if (old_string) untrack(old_string);
    char* copy = host::utf8_string_realloc_utf8_string(old_string, text);
    track(copy);
    return copy;
}

// The settings store.
int32_t rec_get_int(void* handle, const char* key, int32_t current_value) {
    RecordingSettingsStore* store = store_of(handle);
    store->calls.push_back(std::string("get_int ") + key);
    auto found = store->integers.find(key);
    return found == store->integers.end() ? current_value : found->second;
}

// Takes the current string over, as the host's store does.
char* rec_get_string(void* handle, const char* key, char* current_value) {
    RecordingSettingsStore* store = store_of(handle);
    store->calls.push_back(std::string("get_string ") + key);
    auto found = store->strings.find(key);
    if (found == store->strings.end()) return current_value;
    rec_mem_free(current_value);
    return rec_string_alloc(found->second.c_str());
}

void rec_set_int(void* handle, const char* key, int32_t value) {
    store_of(handle)->calls.push_back(std::string("set_int ") + key + "=" + std::to_string(value));
}

void rec_set_string(void* handle, const char* key, const char* value) {
    store_of(handle)->calls.push_back(std::string("set_string ") + key + "=" + (value ? value : "(null)"));
}

// The user interface and the debug console.
int rec_task_dialog(HWND parent, uint32_t flags, const char* caption, uintptr_t reserved, const char* instruction,
                    const char* content) {
    recording().dialogs.push_back(
        {parent, flags, caption ? caption : "", reserved, instruction ? instruction : "", content ? content : ""});
    return 0;
}

void rec_add_page(void* record, uintptr_t user_data, const char* name) {
    recording().options_pages.push_back({record, user_data, name ? name : ""});
}

void rec_debug_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().debug_lines.push_back(text);
}

void rec_debug_error_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().error_lines.push_back(text);
}

void rec_debug_color_printf(uint32_t color, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(recording().lock);
    recording().color_lines.push_back({color, text});
}

struct Override {
    const char* name;
    void* service;
};

const Override OVERRIDES[] = {
    {"mem_alloc", reinterpret_cast<void*>(&rec_mem_alloc)},
    {"mem_calloc", reinterpret_cast<void*>(&rec_mem_calloc)},
    {"mem_free", reinterpret_cast<void*>(&rec_mem_free)},
    {"utf8_string_alloc_utf8_string", reinterpret_cast<void*>(&rec_string_alloc)},
    {"utf8_string_realloc_utf8_string", reinterpret_cast<void*>(&rec_string_realloc)},
    {"plugin_get_setting_int", reinterpret_cast<void*>(&rec_get_int)},
    {"plugin_get_setting_string", reinterpret_cast<void*>(&rec_get_string)},
    {"plugin_set_setting_int", reinterpret_cast<void*>(&rec_set_int)},
    {"plugin_set_setting_string", reinterpret_cast<void*>(&rec_set_string)},
    {"ui_task_dialog_show", reinterpret_cast<void*>(&rec_task_dialog)},
    {"ui_options_add_plugin_page", reinterpret_cast<void*>(&rec_add_page)},
    {"debug_printf", reinterpret_cast<void*>(&rec_debug_printf)},
    {"debug_error_printf", reinterpret_cast<void*>(&rec_debug_error_printf)},
    {"debug_color_printf", reinterpret_cast<void*>(&rec_debug_color_printf)},
};

// A private XDG_STATE_HOME and XDG_CONFIG_HOME for the whole program, so that no test writes
// into the real home folder; removed at the end.
class PrivateHomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "swp-plugin-tests-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        root_ = mkdtemp(name.data());
        setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::filesystem::path root_;
};

PrivateHomeEnvironment* private_home =
    static_cast<PrivateHomeEnvironment*>(::testing::AddGlobalTestEnvironment(new PrivateHomeEnvironment));

}  // namespace

Recording& recording() {
    static Recording instance;
    return instance;
}

void lookup_reset() {
    hidden_name.clear();
    replaced_services.clear();
    Recording& record = recording();
    std::lock_guard<std::mutex> guard(record.lock);
    record.looked_up.clear();
    record.dialogs.clear();
    record.options_pages.clear();
    record.debug_lines.clear();
    record.error_lines.clear();
    record.color_lines.clear();
    record.live_blocks.clear();
    record.freed_blocks.clear();
}

void lookup_hide(const char* name) { hidden_name = name; }

void lookup_replace(const char* name, void* service) { replaced_services[name] = service; }

void* lookup(const char* name) {
    recording().looked_up.push_back(name);
    if (hidden_name == name) return nullptr;
    auto replaced = replaced_services.find(name);
    if (replaced != replaced_services.end()) return replaced->second;
    for (const Override& entry : OVERRIDES) {
        if (std::strcmp(entry.name, name) == 0) return entry.service;
    }
    return host::lookup_service(name);
}

std::string host_format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    return text;
}

std::set<void*> blocks_besides_settings() {
    std::lock_guard<std::mutex> guard(recording().lock);
    std::set<void*> blocks = recording().live_blocks;
    for (char* text : {settings.welcome_message, settings.username, settings.password, settings.log_file_name,
                       settings.bindings}) {
        blocks.erase(text);
    }
    return blocks;
}

namespace {

// Whether `text` at `at` holds `count` bytes that all pass `test`.
bool holds(const std::string& text, size_t at, size_t count, int (*test)(int)) {
    if (text.size() < at + count) return false;
    for (size_t i = at; i < at + count; ++i)
        if (!test(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

}  // namespace

std::string log_line_message(const std::string& line) {
    // "YYYY-MM-DD HH:MM:SS: ", then for a client 16 hexadecimal digits, ": ", the peer and ": ".
    constexpr size_t TIME = 19;
    if (line.size() < TIME + 2 || line.compare(TIME, 2, ": ") != 0 || !holds(line, 0, 4, isdigit)) return line;
    size_t at = TIME + 2;
    if (!holds(line, at, 16, isxdigit) || line.compare(at + 16, 2, ": ") != 0) return line.substr(at);
    size_t peer_end = line.find(": ", at + 18);
    return peer_end == std::string::npos ? line : line.substr(peer_end + 2);
}

size_t color_line_count(const std::string& text) {
    std::lock_guard<std::mutex> guard(recording().lock);
    size_t count = 0;
    for (const ColorLine& line : recording().color_lines) count += log_line_message(line.text) == text ? 1 : 0;
    return count;
}

std::string state_home() { return (private_home->root_ / "state").string(); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

bool pump_until(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() > end) return predicate();
        MSG message;
        bool any = false;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
            any = true;
        }
        if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

PluginSession::PluginSession(std::initializer_list<std::pair<const char*, void*>> replacements)
    : saved_(settings) {
    lookup_reset();
    for (const auto& [name, service] : replacements) lookup_replace(name, service);
    bound_ = sorrelwick_plugin_proc(PLUGIN_MSG_INIT, reinterpret_cast<uintptr_t>(&lookup)) == 1;
}

PluginSession::~PluginSession() {
    if (bound_) {
        sorrelwick_plugin_proc(PLUGIN_MSG_STOP, 0);
        sorrelwick_plugin_proc(PLUGIN_MSG_UNINIT, 0);
    }
    settings = saved_;
}

}  // namespace test_support
