// The settings store behind the plug-in's settings handle, and the four setting services.
#include "host/settings_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "host/command_line.h"
#include "host/error_words.h"
#include "host/private_file.h"
#include "host/services.h"
#include "host/text_buffers.h"
#include "host/utf8_path.h"

namespace host {

// Flags count any nonzero value as on; sizes of zero or less mean no limit.
const SettingsKey SETTINGS_KEYS[14] = {
    {"enabled", true, INT32_MIN, INT32_MAX},
    {"welcome_message", false, 0, 0},
    {"port", true, 0, 65535},
    {"username", false, 0, 0},
    {"password", false, 0, 0},
    {"log_file_name", false, 0, 0},
    {"logging_enabled", true, INT32_MIN, INT32_MAX},
    {"log_max_size", true, INT32_MIN, INT32_MAX},
    {"log_delta_size", true, INT32_MIN, INT32_MAX},
    {"allow_file_download", true, INT32_MIN, INT32_MAX},
    {"bindings", false, 0, 0},
    {"allow_ftp_port", true, INT32_MIN, INT32_MAX},
    {"check_ftp_data_connection_ip", true, INT32_MIN, INT32_MAX},
    {"allow_disk_access", true, INT32_MIN, INT32_MAX},
};

namespace {

constexpr const char PLUGIN_SECTION[] = "swp";
constexpr const char HOST_SECTION[] = "host";
constexpr const char HOST_INDEX_KEY[] = "index";
constexpr const char HOST_PASSIVE_PORTS_KEY[] = "passive_ports";

std::string trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

// A value is written bare unless blanks at its ends, a leading quote or control characters would
// not survive that; then it is quoted with backslash escapes.
std::string value_encode(const std::string& value) {
    bool bare = value.empty() || (value.front() != ' ' && value.front() != '\t' && value.front() != '"' &&
                                  value.back() != ' ' && value.back() != '\t');
    for (unsigned char byte : value)
        if (byte < 0x20 || byte == 0x7F) bare = false;
    if (bare) return value;
    std::string quoted = "\"";
    for (char byte : value) {
        if (byte == '"' || byte == '\\') quoted += '\\', quoted += byte;
        else if (byte == '\n') quoted += "\\n";
        else if (byte == '\r') quoted += "\\r";
        else if (byte == '\t') quoted += "\\t";
        else quoted += byte;
    }
    return quoted + "\"";
}

bool value_decode(const std::string& text, std::string* value, std::string* problem) {
    if (text.empty() || text.front() != '"') {
        *value = text;
        return true;
    }
    if (text.size() < 2 || text.back() != '"') {
        *problem = "a quoted value lacks its closing quote";
        return false;
    }
    value->clear();
    for (size_t index = 1; index + 1 < text.size(); ++index) {
        char byte = text[index];
        if (byte != '\\') {
            *value += byte;
            continue;
        }
        if (index + 2 >= text.size()) {
            *problem = "a quoted value ends with a lone backslash";
            return false;
        }
        char escaped = text[++index];
        if (escaped == 'n') *value += '\n';
        else if (escaped == 'r') *value += '\r';
        else if (escaped == 't') *value += '\t';
        else if (escaped == '\\' || escaped == '"') *value += escaped;
        else {
            *problem = std::string("unknown escape \\") + escaped + " in a quoted value";
            return false;
        }
    }
    return true;
}

// The settings file is small: anything larger is not one.
constexpr uint64_t SETTINGS_FILE_MAX_BYTES = 4u << 20;

// What a path that is not a regular file is, in words.
std::string file_kind_words(std::filesystem::file_type type) {
    using std::filesystem::file_type;
    switch (type) {
        case file_type::directory: return "it is a folder";
        case file_type::fifo: return "it is a pipe, not a file";
        case file_type::socket: return "it is a socket, not a file";
        case file_type::character:
        case file_type::block: return "it is a device, not a file";
        default: return "it is not a regular file";
    }
}

// Reads the whole settings file: a regular file of at most SETTINGS_FILE_MAX_BYTES, so that a
// pipe, a device or an endless file can neither hold the start nor fill the memory. *missing when
// there is no such file; false with the reason in *problem.
bool settings_file_read(const std::string& path, std::string* content, bool* missing, std::string* problem) {
    std::error_code status;
    std::filesystem::file_status facts = std::filesystem::status(utf8_path(path), status);
    if (facts.type() == std::filesystem::file_type::not_found) {
        *missing = true;
        return true;
    }
    if (status) {
        *problem = status.message();
        return false;
    }
    if (facts.type() != std::filesystem::file_type::regular) {
        *problem = file_kind_words(facts.type());
        return false;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *problem = error_words(GetLastError());
        return false;
    }
    // Checked again on the open file: the path may have been replaced since.
    bool regular = GetFileType(file) == FILE_TYPE_DISK;
    content->assign(SETTINGS_FILE_MAX_BYTES + 1, '\0');
    DWORD got = 0;
    bool read = regular && ReadFile(file, content->data(), static_cast<DWORD>(content->size()), &got, nullptr);
    DWORD read_error = GetLastError();
    CloseHandle(file);
    content->resize(got);
    if (!regular) *problem = "it is not a regular file";
    else if (!read) *problem = error_words(read_error);
    else if (got > SETTINGS_FILE_MAX_BYTES) *problem = "it is larger than 4 MiB, too large for a settings file";
    return problem->empty();
}

std::vector<const char*> plugin_key_names() {
    std::vector<const char*> names;
    for (const SettingsKey& key : SETTINGS_KEYS) names.push_back(key.name);
    return names;
}

std::vector<const char*> host_key_names() { return {HOST_INDEX_KEY, HOST_PASSIVE_PORTS_KEY}; }

std::string unknown_key_problem(const std::string& key, const char* section, const std::vector<const char*>& known) {
    std::string problem = "unknown setting \"" + key + "\" in [" + section + "]";
    std::string nearest = settings_nearest_name(key, known);
    return nearest.empty() ? problem + " (swp-host --help lists the settings)" : problem + ": did you mean " + nearest + "?";
}

std::string unknown_section_problem(const std::string& section) {
    std::string problem = "unknown section [" + section + "]";
    std::string nearest = settings_nearest_name(section, {PLUGIN_SECTION, HOST_SECTION});
    return nearest.empty() ? problem + ": the sections are [swp] and [host]"
                           : problem + ": did you mean [" + nearest + "]?";
}

// A key before the first section header belongs to no section.
std::string outside_section_problem(const std::string& key) {
    std::string problem = "setting \"" + key + "\" comes before any section";
    if (settings_key_find(key) != nullptr) return problem + ": it belongs under [swp]";
    if (key == HOST_INDEX_KEY || key == HOST_PASSIVE_PORTS_KEY) return problem + ": it belongs under [host]";
    return problem;
}

constexpr char LOG_FILE_KEY[] = "log_file_name";

// The file the plug-in logs to when log_file_name is empty.
std::string default_log_file_path() {
    ScopedUtf8Buf path;
    os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", path.get());
    return path->text;
}

SettingsStore* store_of(void* settings) { return static_cast<SettingsStore*>(settings); }

}  // namespace

const SettingsKey* settings_key_find(const std::string& name) {
    for (const SettingsKey& key : SETTINGS_KEYS)
        if (name == key.name) return &key;
    return nullptr;
}

std::string settings_value_problem(const SettingsKey& key, const std::string& value) {
    if (!key.is_integer) return "";
    std::optional<int32_t> number = settings_parse_integer(value);
    if (number && *number >= key.low && *number <= key.high) return "";
    std::string range;
    if (key.low != INT32_MIN || key.high != INT32_MAX)
        range = " from " + std::to_string(key.low) + " to " + std::to_string(key.high);
    return std::string(key.name) + " must be a whole number" + range + ", not \"" + value + "\"";
}

// The edit distance with swapped neighbours counted as one edit ("prot" is one from "port").
size_t settings_edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string settings_nearest_name(const std::string& name, const std::vector<const char*>& known) {
    // Names are compared in lower case: "Port" is "port" mistyped.
    std::string lower = name;
    for (char& byte : lower)
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
    std::string nearest;
    size_t best = std::max<size_t>(1, lower.size() / 3) + 1;
    for (const char* candidate : known) {
        size_t distance = settings_edit_distance(lower, candidate);
        if (distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest;
}

std::optional<int32_t> settings_parse_integer(const std::string& text) {
    if (text.empty()) return std::nullopt;
    size_t start = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (start == text.size() || text.size() - start > 11) return std::nullopt;
    for (size_t index = start; index < text.size(); ++index)
        if (text[index] < '0' || text[index] > '9') return std::nullopt;
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<PortRange> port_range_parse(const std::string& text) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) return std::nullopt;
    std::optional<int32_t> first = settings_parse_integer(text.substr(0, dash));
    std::optional<int32_t> last = settings_parse_integer(text.substr(dash + 1));
    if (!first || !last || text[0] == '+' || text[dash + 1] == '+' || *first < 1 || *first > *last || *last > 65535)
        return std::nullopt;
    return PortRange{static_cast<uint16_t>(*first), static_cast<uint16_t>(*last)};
}

bool SettingsStore::load(const std::string& path, std::string* error) {
    path_ = path;
    lines_.clear();
    index_roots_.clear();
    passive_ports_.reset();
    warnings_.clear();
    loaded_text_.clear();
    byte_order_mark_ = false;
    std::string content;
    bool missing = false;
    std::string problem;
    if (!settings_file_read(path, &content, &missing, &problem)) {
        *error = path + ": cannot be read: " + problem;
        return false;
    }
    if (missing) return true;
    // A byte-order mark, as some editors write one, is not part of the first line.
    byte_order_mark_ = content.starts_with("\xEF\xBB\xBF");
    if (byte_order_mark_) content.erase(0, 3);
    std::istringstream reader(content);
    std::string raw;
    std::string section;
    for (int number = 1; std::getline(reader, raw); ++number) {
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string text = trim(raw);
        Line line{raw, section, "", ""};
        std::string problem;
        if (text.empty() || text[0] == ';' || text[0] == '#') {
            // kept as it is
        } else if (text[0] == '[') {
            if (text.back() != ']' || text.size() < 3) {
                problem = "a section header must be [name]";
            } else {
                section = line.section = trim(text.substr(1, text.size() - 2));
                if (section != PLUGIN_SECTION && section != HOST_SECTION) problem = unknown_section_problem(section);
            }
        } else {
            size_t equals = text.find('=');
            if (equals == std::string::npos || trim(text.substr(0, equals)).empty()) {
                problem = "expected key=value, a [section] or a comment";
            } else {
                line.key = trim(text.substr(0, equals));
                if (value_decode(trim(text.substr(equals + 1)), &line.value, &problem)) problem = check_line(line, where);
            }
        }
        if (!problem.empty()) {
            *error = where + problem;
            lines_.clear();
            index_roots_.clear();
            passive_ports_.reset();
            warnings_.clear();
            return false;
        }
        lines_.push_back(line);
    }
    // Saving compares with this form, so an unchanged store never rewrites the file.
    loaded_text_ = render();
    return true;
}

// A key line's problem that makes the file unusable, or "": a misspelt key would otherwise leave
// its setting at a default that may be far from what was meant (port 21, every address).
std::string SettingsStore::check_line(const Line& line, const std::string& where) {
    if (line.section.empty()) return outside_section_problem(line.key);
    if (line.section == PLUGIN_SECTION) {
        const SettingsKey* known = settings_key_find(line.key);
        if (known == nullptr) return unknown_key_problem(line.key, PLUGIN_SECTION, plugin_key_names());
        if (find_line(line.key) != nullptr)
            warnings_.push_back(where + line.key + " is given again; the first value counts");
        return settings_value_problem(*known, line.value);
    }
    if (line.key == HOST_INDEX_KEY) {
        std::string problem;
        IndexRoot root;
        if (!utf8_path(line.value).is_absolute())
            return "index needs an absolute folder, not \"" + line.value + "\"";
        if (!index_root_parse(line.value, &root, &problem)) return "index " + problem;
        index_roots_.push_back(root);
        return "";
    }
    if (line.key == HOST_PASSIVE_PORTS_KEY) {
        passive_ports_ = port_range_parse(line.value);
        if (passive_ports_) return "";
        return "passive_ports needs a range MIN-MAX of ports from 1 to 65535, not \"" + line.value + "\"";
    }
    return unknown_key_problem(line.key, HOST_SECTION, host_key_names());
}

std::string SettingsStore::render() const {
    std::string text = byte_order_mark_ ? "\xEF\xBB\xBF" : "";
    for (const Line& line : lines_) text += line.raw + "\n";
    return text;
}

bool SettingsStore::save(std::string* error) {
    std::string text = render();
    if (text == loaded_text_) return true;
    std::error_code status;
    std::filesystem::path folder = utf8_path(path_).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, status);
    // Written beside the old file and then put in its place, so a failed write loses nothing.
    std::filesystem::path temporary = utf8_path(path_ + ".new");
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file || !file.write(text.data(), static_cast<std::streamsize>(text.size())) || !file.flush()) {
            *error = path_ + ": cannot be written";
            std::filesystem::remove(temporary, status);
            return false;
        }
    }
    // The file may hold the FTP password: only its owner may read it.
    file_make_private(utf8_path_text(temporary));
    std::filesystem::rename(temporary, utf8_path(path_), status);
    if (status) {
        *error = path_ + ": cannot be written: " + status.message();
        std::filesystem::remove(temporary, status);
        return false;
    }
    loaded_text_ = text;
    return true;
}

bool SettingsStore::set_override(const std::string& key, const std::string& value, std::string* error) {
    const SettingsKey* known = settings_key_find(key);
    if (known == nullptr) {
        *error = "unknown setting \"" + key + "\"";
        return false;
    }
    std::string problem = settings_value_problem(*known, value);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    for (KeyValue& entry : overrides_)
        if (entry.key == key) {
            entry.value = value;
            return true;
        }
    overrides_.push_back({key, value});
    return true;
}

SettingsStore::Line* SettingsStore::find_line(const std::string& key) {
    for (Line& line : lines_)
        if (line.section == PLUGIN_SECTION && line.key == key) return &line;
    return nullptr;
}

const SettingsStore::Line* SettingsStore::find_line(const std::string& key) const {
    return const_cast<SettingsStore*>(this)->find_line(key);
}

std::optional<std::string> SettingsStore::get(const std::string& key) const {
    for (const KeyValue& entry : overrides_)
        if (entry.key == key) return entry.value;
    if (const Line* line = find_line(key)) return line->value;
    return std::nullopt;
}

void SettingsStore::note_given(const std::string& key, const std::string& value) {
    for (KeyValue& entry : given_)
        if (entry.key == key) {
            entry.value = value;
            return;
        }
    given_.push_back({key, value});
}

void SettingsStore::set(const std::string& key, const std::string& value) {
    // A value the reader would refuse is not kept: the next start would stop on the saved file.
    if (const SettingsKey* known = settings_key_find(key); known && !settings_value_problem(*known, value).empty())
        return;
    for (const KeyValue& entry : given_)
        if (entry.key == key && entry.value == value) return;
    note_given(key, value);
    for (size_t index = 0; index < overrides_.size(); ++index) {
        if (overrides_[index].key != key) continue;
        if (overrides_[index].value == value) return;
        overrides_.erase(overrides_.begin() + static_cast<std::ptrdiff_t>(index));
        break;
    }
    std::string raw = key + "=" + value_encode(value);
    if (Line* line = find_line(key)) {
        line->raw = raw;
        line->value = value;
        return;
    }
    // A new key goes after the last key of the plug-in's section, which is added when missing.
    size_t header = lines_.size();
    size_t last_key = lines_.size();
    for (size_t index = 0; index < lines_.size(); ++index) {
        if (lines_[index].section != PLUGIN_SECTION) continue;
        if (!lines_[index].key.empty()) last_key = index;
        else if (header == lines_.size() && trim(lines_[index].raw).starts_with("[")) header = index;
    }
    size_t insert_at = last_key != lines_.size() ? last_key + 1 : header + 1;
    if (header == lines_.size()) {
        if (!lines_.empty() && !trim(lines_.back().raw).empty()) lines_.push_back({"", lines_.back().section, "", ""});
        lines_.push_back({std::string("[") + PLUGIN_SECTION + "]", PLUGIN_SECTION, "", ""});
        insert_at = lines_.size();
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), Line{raw, PLUGIN_SECTION, key, value});
}

int32_t plugin_get_setting_int(void* settings, const char* key, int32_t current_value) {
    if (settings == nullptr) return current_value;
    std::optional<std::string> text = store_of(settings)->get(key);
    int32_t value = text ? settings_parse_integer(*text).value_or(current_value) : current_value;
    store_of(settings)->note_given(key, std::to_string(value));
    return value;
}

char* plugin_get_setting_string(void* settings, const char* key, char* current_value) {
    if (settings == nullptr) return current_value;
    std::optional<std::string> text = store_of(settings)->get(key);
    // No log file named is the default one, named here: the options page then shows where the log
    // goes, and the plug-in writes to the same file as it would.
    bool no_log_file = (text ? text->empty() : current_value == nullptr || current_value[0] == '\0');
    if (no_log_file && std::strcmp(key, LOG_FILE_KEY) == 0) text = default_log_file_path();
    store_of(settings)->note_given(key, text ? *text : std::string(current_value != nullptr ? current_value : ""));
    if (!text) return current_value;
    return utf8_string_realloc_utf8_string(current_value, text->c_str());
}

void plugin_set_setting_int(void* settings, const char* key, int32_t value) {
    if (settings != nullptr) store_of(settings)->set(key, std::to_string(value));
}

void plugin_set_setting_string(void* settings, const char* key, const char* value) {
    if (settings != nullptr) store_of(settings)->set(key, value);
}

}  // namespace host
