// Reading the options of swp-host, one table entry per option.
#include "host/command_line.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "host/host_folders.h"
#include "host/settings_store.h"
#include "host/utf8_path.h"

namespace host {
namespace {

using Action = CommandLineAction;

constexpr CommandLineOption OPTIONS[] = {
    {"--index", nullptr, "DIR[=NAME]", Action::INDEX, nullptr, nullptr,
     "serve folder DIR as the top-level entry NAME (default: the folder's name); repeatable; "
     "default: the index lines of the settings file, else the current folder"},
    {"--passive-ports", nullptr, "MIN-MAX", Action::PASSIVE_PORTS, nullptr, nullptr,
     "take passive data ports (and the port of --port 0) from MIN to MAX, as a firewall may require; "
     "default: the passive_ports line of the settings file, else the system chooses"},
    {"--port", nullptr, "N", Action::SETTING, "port", nullptr,
     "listen on TCP port N, 0 to 65535 (0: the system chooses)"},
    {"--bind", nullptr, "LIST", Action::SETTING, "bindings", nullptr,
     "listen on these comma-separated addresses or host names (empty or *: all local addresses)"},
    {"--user", nullptr, "NAME", Action::SETTING, "username", nullptr, "the user name clients must give (empty: any)"},
    {"--password", nullptr, "TEXT", Action::SETTING, "password", nullptr,
     "the password clients must give (empty: none)"},
    {"--log", nullptr, "FILE", Action::SETTING_ABSOLUTE_PATH, "log_file_name", nullptr,
     "write the activity log to FILE"},
    {"--no-log", nullptr, nullptr, Action::FLAG_SETTING, "logging_enabled", "0", "write no activity log"},
    {"--no-download", nullptr, nullptr, Action::FLAG_SETTING, "allow_file_download", "0",
     "refuse to send file contents (RETR)"},
    {"--disk-access", nullptr, nullptr, Action::FLAG_SETTING, "allow_disk_access", "1", "let searches read the disk"},
    {"--no-folder-sizes", nullptr, nullptr, Action::NO_FOLDER_SIZES, nullptr, nullptr,
     "do not add up the sizes below each folder"},
    {"--index-file", nullptr, "FILE", Action::INDEX_FILE, nullptr, nullptr,
     "save the index to FILE on a clean stop and start from it next time", HOST_FOLDERS_HELP_INDEX_FILE},
    {"--no-index-file", nullptr, nullptr, Action::NO_INDEX_FILE, nullptr, nullptr,
     "neither read nor write a saved index: scan the folders at every start"},
    {"--settings", nullptr, "FILE", Action::SETTINGS_FILE, nullptr, nullptr, "the settings file",
     HOST_FOLDERS_HELP_SETTINGS},
    {"--plugin", nullptr, "PATH", Action::PLUGIN, nullptr, nullptr, "the plug-in library", HOST_FOLDERS_HELP_PLUGIN},
    {"--set", nullptr, "KEY=VALUE", Action::SET, nullptr, nullptr,
     "give a setting a value for this run only; KEY is one of the settings below"},
    {"--debug", nullptr, nullptr, Action::DEBUG, nullptr, nullptr, "show the plug-in's debug traces on stderr"},
    {"--verbose", nullptr, nullptr, Action::VERBOSE, nullptr, nullptr,
     "trace socket events, commands and replies on stderr (implies --debug)"},
    {"--options-page", nullptr, "FILE.svg", Action::OPTIONS_PAGE, nullptr, nullptr,
     "draw the options page with the current settings into FILE.svg and exit; nothing is indexed or served"},
    {"--options", nullptr, nullptr, Action::OPTIONS_WINDOW, nullptr, nullptr,
     "serve, and show the options page in a window (Windows only): it shows the server that runs, Apply "
     "applies and stores its settings, and closing the window ends the run"},
    {"--width", nullptr, "W", Action::WIDTH, nullptr, nullptr, "width of the options page in pixels (default 500)"},
    {"--height", nullptr, "H", Action::HEIGHT, nullptr, nullptr,
     "height of the options page in pixels (default 400)"},
    {"--help", "-h", nullptr, Action::HELP, nullptr, nullptr, "show this help and exit"},
    {"--manual-page", nullptr, nullptr, Action::MANUAL_PAGE, nullptr, nullptr,
     "print this help as a manual page (roff) and exit"},
    {"--version", nullptr, nullptr, Action::VERSION, nullptr, nullptr, "show the version and exit"},
};

const CommandLineOption* option_find(const std::string& name) {
    for (const CommandLineOption& option : OPTIONS)
        if (name == option.name || (option.short_name != nullptr && name == option.short_name)) return &option;
    return nullptr;
}

std::optional<int> parse_whole_number(const std::string& text, int low, int high) {
    std::optional<int32_t> value = settings_parse_integer(text);
    if (!value || *value < low || *value > high) return std::nullopt;
    return *value;
}

// `given` names where the value came from in a message ("--port", "--set port=...").
bool override_setting(CommandLine* command_line, const std::string& given, const std::string& key,
                      const std::string& value, std::string* error) {
    const SettingsKey* known = settings_key_find(key);
    if (known == nullptr) {
        std::vector<const char*> names;
        for (const SettingsKey& each : SETTINGS_KEYS) names.push_back(each.name);
        std::string nearest = settings_nearest_name(key, names);
        *error = given + ": unknown setting \"" + key + "\"" + (nearest.empty() ? "" : ": did you mean " + nearest + "?");
        return false;
    }
    std::string problem = settings_value_problem(*known, value);
    if (!problem.empty()) {
        *error = given + ": " + problem;
        return false;
    }
    command_line->setting_overrides.emplace_back(key, value);
    return true;
}

bool apply_option(const CommandLineOption& option, const std::string& value, CommandLine* command_line,
                  std::string* error) {
    switch (option.action) {
        case Action::INDEX: {
            IndexRoot root;
            if (!index_root_parse(value, &root, error)) {
                *error = "--index " + *error;
                return false;
            }
            command_line->roots.push_back(root);
            return true;
        }
        case Action::PASSIVE_PORTS:
            command_line->passive_ports = port_range_parse(value);
            if (!command_line->passive_ports) {
                *error = "--passive-ports needs a range MIN-MAX of ports from 1 to 65535, not \"" + value + "\"";
                return false;
            }
            return true;
        case Action::SETTING: return override_setting(command_line, option.name, option.setting, value, error);
        case Action::SETTING_ABSOLUTE_PATH: {
            if (value.empty()) {
                *error = std::string(option.name) + " needs a file name";
                return false;
            }
            std::error_code status;
            std::filesystem::path absolute = std::filesystem::absolute(utf8_path(value), status);
            std::string absolute_text = status ? value : utf8_path_text(absolute);
            return override_setting(command_line, option.name, option.setting, absolute_text, error);
        }
        case Action::FLAG_SETTING:
            return override_setting(command_line, option.name, option.setting, option.flag_value, error);
        case Action::SET: {
            size_t equals = value.find('=');
            if (equals == std::string::npos) {
                *error = "--set needs KEY=VALUE, not \"" + value + "\"";
                return false;
            }
            return override_setting(command_line, "--set " + value, value.substr(0, equals), value.substr(equals + 1),
                                    error);
        }
        case Action::SETTINGS_FILE: command_line->settings_path = value; return true;
        case Action::PLUGIN: command_line->plugin_path = value; return true;
        case Action::DEBUG: command_line->debug = true; return true;
        case Action::VERBOSE: command_line->verbose = true; return true;
        case Action::NO_FOLDER_SIZES: command_line->folder_sizes = false; return true;
        case Action::INDEX_FILE: {
            std::error_code status;
            std::filesystem::path absolute = std::filesystem::absolute(utf8_path(value), status);
            command_line->index_file = status || value.empty() ? value : utf8_path_text(absolute);
            return true;
        }
        case Action::NO_INDEX_FILE: command_line->no_index_file = true; return true;
        case Action::OPTIONS_PAGE: command_line->options_page_path = value; return true;
        case Action::OPTIONS_WINDOW: command_line->options_window = true; return true;
        case Action::WIDTH:
        case Action::HEIGHT: {
            std::optional<int> pixels = parse_whole_number(value, 1, 10000);
            if (!pixels) {
                *error = std::string(option.name) + " needs a number of pixels from 1 to 10000, not \"" + value + "\"";
                return false;
            }
            (option.action == Action::WIDTH ? command_line->options_page_width : command_line->options_page_height) =
                *pixels;
            return true;
        }
        case Action::HELP: command_line->help = true; return true;
        case Action::MANUAL_PAGE: command_line->manual_page = true; return true;
        case Action::VERSION: command_line->version = true; return true;
    }
    return false;
}

}  // namespace

std::span<const CommandLineOption> command_line_options() { return OPTIONS; }

bool index_root_parse(const std::string& argument, IndexRoot* root, std::string* error) {
    std::error_code status;
    std::string folder = argument;
    std::string name;
    // "DIR=NAME" unless the whole argument names a folder that exists.
    size_t equals = argument.rfind('=');
    if (equals != std::string::npos && !std::filesystem::is_directory(utf8_path(argument), status)) {
        folder = argument.substr(0, equals);
        name = argument.substr(equals + 1);
        if (name.empty()) {
            *error = argument + ": the name after \"=\" is empty";
            return false;
        }
    }
    if (folder.empty()) {
        *error = "needs a folder";
        return false;
    }
    std::filesystem::path absolute = std::filesystem::absolute(utf8_path(folder), status).lexically_normal();
    // A final separator goes, unless the path is a root folder ("/", "C:\").
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    std::string absolute_text = utf8_path_text(absolute);
    if (name.empty()) name = utf8_path_text(absolute.filename());
    if (name.empty()) name = "root";
    if (name == "." || name == ".." || name.find_first_of("\\/") != std::string::npos) {
        *error = argument + ": \"" + name + "\" cannot name an index entry";
        return false;
    }
    root->folder = absolute_text;
    root->name = name;
    return true;
}

bool command_line_parse(const std::vector<std::string>& arguments, CommandLine* command_line, std::string* error) {
    for (size_t index = 0; index < arguments.size(); ++index) {
        std::string name = arguments[index];
        std::optional<std::string> inline_value;
        size_t equals = name.find('=');
        if (name.starts_with("--") && equals != std::string::npos) {
            inline_value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const CommandLineOption* option = option_find(name);
        if (option == nullptr) {
            *error = name.starts_with("-") ? "unknown option " + name : "unexpected argument \"" + name + "\"";
            return false;
        }
        std::string value;
        if (option->value_name != nullptr) {
            if (inline_value) {
                value = *inline_value;
            } else if (index + 1 < arguments.size()) {
                value = arguments[++index];
            } else {
                *error = std::string(option->name) + " needs a value (" + option->value_name + ")";
                return false;
            }
        } else if (inline_value) {
            *error = std::string(option->name) + " takes no value";
            return false;
        }
        if (!apply_option(*option, value, command_line, error)) return false;
    }
    return true;
}

}  // namespace host
