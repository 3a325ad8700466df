// The settings store behind the plug-in's settings handle, and the four setting services.
#include "host/settings_store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "host/command_line.h"
#include "host/services.h"
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
    std::error_code status;
    std::filesystem::path file_path = utf8_path(path);
    if (!std::filesystem::exists(file_path, status)) {
        if (!status) return true;
        *error = path + ": cannot be read: " + status.message();
        return false;
    }
    if (std::filesystem::is_directory(file_path, status)) {
        *error = path + ": cannot be read: it is a folder";
        return false;
    }
    std::ifstream file(file_path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) {
        *error = path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
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
                if (section != PLUGIN_SECTION && section != HOST_SECTION)
                    warnings_.push_back(where + "section [" + section + "] is not read by swp-host");
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

// A key line's problem that makes the file unusable, or ""; keys no one reads become warnings.
std::string SettingsStore::check_line(const Line& line, const std::string& where) {
    if (line.section == PLUGIN_SECTION) {
        const SettingsKey* known = settings_key_find(line.key);
        if (known == nullptr) {
            warnings_.push_back(where + "unknown setting \"" + line.key + "\" is ignored");
            return "";
        }
        if (find_line(line.key) != nullptr)
            warnings_.push_back(where + line.key + " is given again; the first value counts");
        return settings_value_problem(*known, line.value);
    }
    if (line.section == HOST_SECTION && line.key == HOST_INDEX_KEY) {
        std::string problem;
        IndexRoot root;
        if (!utf8_path(line.value).is_absolute())
            return "index needs an absolute folder, not \"" + line.value + "\"";
        if (!index_root_parse(line.value, &root, &problem)) return "index " + problem;
        index_roots_.push_back(root);
        return "";
    }
    if (line.section == HOST_SECTION && line.key == HOST_PASSIVE_PORTS_KEY) {
        passive_ports_ = port_range_parse(line.value);
        if (passive_ports_) return "";
        return "passive_ports needs a range MIN-MAX of ports from 1 to 65535, not \"" + line.value + "\"";
    }
    if (line.section == HOST_SECTION)
        warnings_.push_back(where + "unknown setting \"" + line.key + "\" in [host] is ignored");
    else if (line.section.empty())
        warnings_.push_back(where + "setting \"" + line.key + "\" outside a section is ignored");
    return "";
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
    std::filesystem::permissions(temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 status);
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
