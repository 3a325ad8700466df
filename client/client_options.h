// The command line of swp-search: the server's URL, the search text, one flag for each option
// word of the search command, the output form and the download.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/result_output.h"

namespace client {

constexpr uint32_t COUNT_ALL = 0xFFFFFFFF;  // the server's "no limit"
constexpr uint32_t COUNT_DEFAULT = 1000;

// One option command sent before the query: SORRELWICK WORD VALUE.
struct OptionSetting {
    std::string word;
    std::string value;
};

struct ClientOptions {
    std::string url;
    std::string text;                      // the TEXT words joined by blanks
    std::vector<OptionSetting> settings;   // in command-line order; a later one wins
    uint32_t offset = 0;
    uint32_t count = COUNT_DEFAULT;
    OutputStyle style;
    std::string get_folder;  // --get: empty for none
    bool recursive = false;
    bool show_help = false;
    bool show_manual = false;
    bool show_version = false;
};

// False with *error for a command line that cannot be run.
bool client_options_parse(int argc, char** argv, ClientOptions* options, std::string* error);

// The value the settings give an option word last ("" when none does).
std::string client_setting(const ClientOptions& options, const char* word);

// One flag of the command line, for the parser and the help.
enum class FlagAction {
    WORD,        // sends `word` with `word_value`
    WORD_VALUE,  // sends `word` with the flag's value
    OFFSET, COUNT, ALL, LONG, JSON, NUL_ENDS, URL, GET, RECURSIVE, HELP, MANUAL, VERSION,
};

struct ClientFlag {
    char short_name;         // 0: none
    const char* long_name;   // without its "--"
    const char* value_name;  // null: the flag takes no value
    FlagAction action;
    const char* word;        // the option word it sets, or null
    const char* word_value;
    const char* help;        // null: the option word's own meaning
};

extern const ClientFlag CLIENT_FLAGS[];
extern const size_t CLIENT_FLAG_COUNT;

}  // namespace client
