// The host's settings store: one INI file, with the plug-in's values in section [swp] and the host's
// own (the folders to index) in section [host], and a layer of values that override the file for
// one run without ever being written back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/index/index.h"

namespace host {

struct SettingsKey {
    const char* name;
    bool is_integer;
    int32_t low;   // the range an integer must lie in
    int32_t high;
};

// The fourteen keys the plug-in keeps, in the order it loads and saves them.
extern const SettingsKey SETTINGS_KEYS[14];
const SettingsKey* settings_key_find(const std::string& name);

// The ports that binds to port 0 take theirs from (passive data listeners, a --port 0 listener).
struct PortRange {
    uint16_t first;
    uint16_t last;
};

// Reads "MIN-MAX" with 1 <= MIN <= MAX <= 65535; nullopt otherwise.
std::optional<PortRange> port_range_parse(const std::string& text);

// Reads a whole decimal 32-bit integer ("-12", "+3"); nothing else around it.
std::optional<int32_t> settings_parse_integer(const std::string& text);

// The one of `known` nearest to a misspelt `name` ("prot": "port"), or "" when none is near.
std::string settings_nearest_name(const std::string& name, const std::vector<const char*>& known);

// Why `value` cannot be the key's value ("port must be a whole number from 0 to 65535, not
// \"99999\""), or "" when it can.
std::string settings_value_problem(const SettingsKey& key, const std::string& value);

class SettingsStore {
public:
    // Reads the file, a regular file of at most 4 MiB; a file that does not exist is an empty
    // store. On failure (a bad value, an unknown key or section, a file that is none) returns false
    // with "FILE:LINE: problem" (or "FILE: problem") in *error and keeps nothing.
    bool load(const std::string& path, std::string* error);

    // Writes the file when a value the plug-in stored differs from the one it was given, creating
    // the file's folder; false with a message on failure.
    bool save(std::string* error);

    // Overrides one of the fourteen keys for this run; false with a message for an unknown key or
    // a value of the wrong type.
    bool set_override(const std::string& key, const std::string& value, std::string* error);

    // The value the plug-in sees: the override, else the file's, else none.
    std::optional<std::string> get(const std::string& key) const;

    // Notes the value the plug-in holds after a get, so that storing it back changes nothing.
    void note_given(const std::string& key, const std::string& value);

    // A value the plug-in stores. Storing back the value it was given changes nothing; any other
    // value goes to the file's lines and ends that key's override.
    void set(const std::string& key, const std::string& value);

    // The folders of the [host] section's index lines, in their order.
    const std::vector<IndexRoot>& index_roots() const { return index_roots_; }
    // The [host] section's passive_ports line, if any.
    const std::optional<PortRange>& passive_ports() const { return passive_ports_; }

    // "FILE:LINE: ..." for each key given again (its first value counts).
    const std::vector<std::string>& warnings() const { return warnings_; }

    const std::string& path() const { return path_; }
    std::string render() const;

private:
    struct Line {
        std::string raw;
        std::string section;
        std::string key;  // empty for sections, comments and blank lines
        std::string value;
    };
    struct KeyValue {
        std::string key;
        std::string value;
    };

    Line* find_line(const std::string& key);
    const Line* find_line(const std::string& key) const;
    std::string check_line(const Line& line, const std::string& where);

    std::string path_;
    std::vector<Line> lines_;
    std::vector<KeyValue> overrides_;
    std::vector<KeyValue> given_;  // the values the plug-in was given, by key
    std::vector<IndexRoot> index_roots_;
    std::optional<PortRange> passive_ports_;
    std::vector<std::string> warnings_;
    std::string loaded_text_;
    // A file that began with a byte-order mark keeps it, so its first line reads back the same.
    bool byte_order_mark_ = false;
};

}  // namespace host
