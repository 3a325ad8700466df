// The options of swp-host.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/index/index.h"

namespace host {

struct CommandLine {
    std::vector<IndexRoot> roots;  // empty: the current folder
    // Settings that hold for this run only, by key, in the order given.
    std::vector<std::pair<std::string, std::string>> setting_overrides;
    bool folder_sizes = true;
    bool verbose = false;
    bool help = false;
    bool version = false;
    std::string settings_path;  // empty: the default settings file
    std::string plugin_path;    // empty: libswp.so beside the executable
    std::string options_page_path;  // set: draw the options page and exit
    bool options_window = false;    // show the options page in a window until it is closed
    int options_page_width = 500;
    int options_page_height = 400;
};

// Reads the arguments after the program name. false with a message for the user in *error.
bool command_line_parse(const std::vector<std::string>& arguments, CommandLine* command_line, std::string* error);

// The --help text.
std::string command_line_help();

// Turns "DIR" or "DIR=NAME" into an index root: the folder made absolute, the name defaulting to
// the folder's own name. false with a message for a name that cannot be an index entry.
bool command_line_index_root(const std::string& argument, IndexRoot* root, std::string* error);

}  // namespace host
