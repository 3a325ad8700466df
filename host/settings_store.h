// The host's settings store: one INI file, with the plug-in's values in section [swp], and a layer of
// values that override the file for one run without ever being written back.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace host {

struct SettingsKey {
    const char* name;
    bool is_integer;
};

// The fourteen keys the plug-in keeps, in the order it loads and saves them.
extern const SettingsKey SETTINGS_KEYS[14];
const SettingsKey* settings_key_find(const std::string& name);

// Reads a whole decimal 32-bit integer ("-12", "+3"); nothing else around it.
std::optional<int32_t> settings_parse_integer(const std::string& text);

class SettingsStore {
public:
    // Reads the file; a file that does not exist is an empty store. On failure returns false with
    // "FILE:LINE: problem" (or "FILE: problem") in *error and keeps nothing.
    bool load(const std::string& path, std::string* error);

    // Writes the file when its content changed, creating its folder; false with a message on failure.
    bool save(std::string* error);

    // Overrides one of the fourteen keys for this run; false with a message for an unknown key or
    // a value of the wrong type.
    bool set_override(const std::string& key, const std::string& value, std::string* error);

    // The value the plug-in sees: the override, else the file's, else none.
    std::optional<std::string> get(const std::string& key) const;

    // A value the plug-in stores. Echoing an override back changes nothing; any other value goes
    // to the file's lines and ends that key's override.
    void set(const std::string& key, const std::string& value);

    const std::string& path() const { return path_; }
    std::string render() const;

private:
    struct Line {
        std::string raw;
        std::string section;
        std::string key;  // empty for sections, comments and blank lines
        std::string value;
    };
    struct Override {
        std::string key;
        std::string value;
    };

    Line* find_line(const std::string& key);
    const Line* find_line(const std::string& key) const;

    std::string path_;
    std::vector<Line> lines_;
    std::vector<Override> overrides_;
    std::string loaded_text_;
};

}  // namespace host
