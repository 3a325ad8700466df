// The options of swp-host.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/index/index.h"
#include "host/settings_store.h"

namespace host {

struct CommandLine {
    std::vector<IndexRoot> roots;  // empty: the settings file's folders, else the current folder
    std::optional<PortRange> passive_ports;  // none: the settings file's range, else the system's choice
    // Settings that hold for this run only, by key, in the order given.
    std::vector<std::pair<std::string, std::string>> setting_overrides;
    bool folder_sizes = true;
    bool debug = false;
    bool verbose = false;
    bool help = false;
    bool manual_page = false;
    bool version = false;
    std::string settings_path;  // empty: the default settings file
    std::string plugin_path;    // empty: libswp.so beside the executable
    std::string index_file;     // empty: the default saved index
    bool no_index_file = false;
    std::string options_page_path;  // set: draw the options page and exit
    bool options_window = false;    // show the options page in a window until it is closed
    int options_page_width = 500;
    int options_page_height = 400;
};

enum class CommandLineAction {
    INDEX, PASSIVE_PORTS, SETTING, SETTING_ABSOLUTE_PATH, FLAG_SETTING, SET, SETTINGS_FILE, PLUGIN, DEBUG, VERBOSE,
    NO_FOLDER_SIZES, INDEX_FILE, NO_INDEX_FILE, OPTIONS_PAGE, OPTIONS_WINDOW, WIDTH, HEIGHT, HELP, MANUAL_PAGE,
    VERSION,
};

// One option; the parser, --help and the manual page all walk the one table of these.
struct CommandLineOption {
    const char* name;
    const char* short_name;  // "-h", or null
    const char* value_name;  // null for an option without a value
    CommandLineAction action;
    const char* setting;     // the settings key it overrides, if any
    const char* flag_value;  // the value a FLAG_SETTING gives its key
    const char* help;
    const char* help_default = nullptr;  // where the value comes from when the option is not given
};

std::span<const CommandLineOption> command_line_options();

// Reads the arguments after the program name. false with a message for the user in *error.
bool command_line_parse(const std::vector<std::string>& arguments, CommandLine* command_line, std::string* error);

// Turns "DIR" or "DIR=NAME" into an index root: the folder made absolute, the name defaulting to
// the folder's own name. false with the problem in *error (the caller says where the text came
// from) for a name that cannot be an index entry.
bool index_root_parse(const std::string& argument, IndexRoot* root, std::string* error);

// The --help text, and the same as a manual page in roff (--manual-page).
std::string command_line_help();
std::string command_line_manual_page(const std::string& version);

}  // namespace host
