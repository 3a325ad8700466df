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

enum class Action {
    INDEX, SETTING, SETTING_ABSOLUTE_PATH, FLAG_SETTING, SET, SETTINGS_FILE, PLUGIN, VERBOSE, NO_FOLDER_SIZES,
    OPTIONS_PAGE, OPTIONS_WINDOW, WIDTH, HEIGHT, HELP, VERSION,
};

struct CommandLineOption {
    const char* name;
    const char* value_name;  // null for an option without a value
    Action action;
    const char* setting;     // the settings key it overrides, if any
    const char* flag_value;  // the value a FLAG_SETTING gives its key
    const char* help;
    const char* help_default = nullptr;  // where the value comes from when the option is not given
};

constexpr CommandLineOption OPTIONS[] = {
    {"--index", "DIR[=NAME]", Action::INDEX, nullptr, nullptr,
     "serve folder DIR as the top-level entry NAME (default: the folder's name); repeatable; "
     "default: the current folder"},
    {"--port", "N", Action::SETTING, "port", nullptr, "listen on TCP port N, 0 to 65535 (0: the system chooses)"},
    {"--bind", "LIST", Action::SETTING, "bindings", nullptr,
     "listen on these comma-separated addresses or host names (empty or *: all local addresses)"},
    {"--user", "NAME", Action::SETTING, "username", nullptr, "the user name clients must give (empty: any)"},
    {"--password", "TEXT", Action::SETTING, "password", nullptr, "the password clients must give (empty: none)"},
    {"--log", "FILE", Action::SETTING_ABSOLUTE_PATH, "log_file_name", nullptr, "write the activity log to FILE"},
    {"--no-log", nullptr, Action::FLAG_SETTING, "logging_enabled", "0", "write no activity log"},
    {"--no-download", nullptr, Action::FLAG_SETTING, "allow_file_download", "0",
     "refuse to send file contents (RETR)"},
    {"--disk-access", nullptr, Action::FLAG_SETTING, "allow_disk_access", "1", "let searches read the disk"},
    {"--no-folder-sizes", nullptr, Action::NO_FOLDER_SIZES, nullptr, nullptr,
     "do not add up the sizes below each folder"},
    {"--settings", "FILE", Action::SETTINGS_FILE, nullptr, nullptr, "the settings file", HOST_FOLDERS_HELP_SETTINGS},
    {"--plugin", "PATH", Action::PLUGIN, nullptr, nullptr, "the plug-in library", HOST_FOLDERS_HELP_PLUGIN},
    {"--set", "KEY=VALUE", Action::SET, nullptr, nullptr,
     "give a setting a value for this run only; KEY is one of the settings below"},
    {"--verbose", nullptr, Action::VERBOSE, nullptr, nullptr, "trace socket events and commands on stderr"},
    {"--options-page", "FILE.svg", Action::OPTIONS_PAGE, nullptr, nullptr,
     "draw the options page with the current settings into FILE.svg and exit"},
    {"--options", nullptr, Action::OPTIONS_WINDOW, nullptr, nullptr,
     "show the options page in a window (Windows only); Apply applies and stores its settings"},
    {"--width", "W", Action::WIDTH, nullptr, nullptr, "width of the options page in pixels (default 500)"},
    {"--height", "H", Action::HEIGHT, nullptr, nullptr, "height of the options page in pixels (default 400)"},
    {"--help", nullptr, Action::HELP, nullptr, nullptr, "show this help and exit"},
    {"--version", nullptr, Action::VERSION, nullptr, nullptr, "show the version and exit"},
};

const CommandLineOption* option_find(const std::string& name) {
    for (const CommandLineOption& option : OPTIONS)
        if (name == option.name) return &option;
    return nullptr;
}

std::optional<int> parse_whole_number(const std::string& text, int low, int high) {
    std::optional<int32_t> value = settings_parse_integer(text);
    if (!value || *value < low || *value > high) return std::nullopt;
    return *value;
}

bool override_setting(CommandLine* command_line, const std::string& key, const std::string& value,
                      std::string* error) {
    const SettingsKey* known = settings_key_find(key);
    if (known == nullptr) {
        *error = "unknown setting \"" + key + "\"";
        return false;
    }
    if (known->is_integer && !settings_parse_integer(value)) {
        *error = "setting " + key + " needs a whole number, not \"" + value + "\"";
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
            if (!command_line_index_root(value, &root, error)) return false;
            command_line->roots.push_back(root);
            return true;
        }
        case Action::SETTING:
            if (std::string(option.name) == "--port" && !parse_whole_number(value, 0, 65535)) {
                *error = "--port needs a port number from 0 to 65535, not \"" + value + "\"";
                return false;
            }
            return override_setting(command_line, option.setting, value, error);
        case Action::SETTING_ABSOLUTE_PATH: {
            if (value.empty()) {
                *error = std::string(option.name) + " needs a file name";
                return false;
            }
            std::error_code status;
            std::filesystem::path absolute = std::filesystem::absolute(utf8_path(value), status);
            return override_setting(command_line, option.setting, status ? value : utf8_path_text(absolute), error);
        }
        case Action::FLAG_SETTING:
            return override_setting(command_line, option.setting, option.flag_value, error);
        case Action::SET: {
            size_t equals = value.find('=');
            if (equals == std::string::npos) {
                *error = "--set needs KEY=VALUE, not \"" + value + "\"";
                return false;
            }
            return override_setting(command_line, value.substr(0, equals), value.substr(equals + 1), error);
        }
        case Action::SETTINGS_FILE: command_line->settings_path = value; return true;
        case Action::PLUGIN: command_line->plugin_path = value; return true;
        case Action::VERBOSE: command_line->verbose = true; return true;
        case Action::NO_FOLDER_SIZES: command_line->folder_sizes = false; return true;
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
        case Action::VERSION: command_line->version = true; return true;
    }
    return false;
}

constexpr size_t HELP_INDENT = 26;
constexpr size_t HELP_WIDTH = 100;

// Breaks an option's help text at blanks so that no line passes the help width.
std::string help_wrapped(const std::string& help) {
    std::string text;
    size_t column = HELP_INDENT;
    size_t start = 0;
    while (start < help.size()) {
        size_t end = help.find(' ', start);
        if (end == std::string::npos) end = help.size();
        std::string word = help.substr(start, end - start);
        if (column > HELP_INDENT && column + 1 + word.size() > HELP_WIDTH) {
            text += "\n" + std::string(HELP_INDENT, ' ');
            column = HELP_INDENT;
        } else if (column > HELP_INDENT) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
        start = end + 1;
    }
    return text;
}

}  // namespace

bool command_line_index_root(const std::string& argument, IndexRoot* root, std::string* error) {
    std::error_code status;
    std::string folder = argument;
    std::string name;
    // "DIR=NAME" unless the whole argument names a folder that exists.
    size_t equals = argument.rfind('=');
    if (equals != std::string::npos && !std::filesystem::is_directory(utf8_path(argument), status)) {
        folder = argument.substr(0, equals);
        name = argument.substr(equals + 1);
        if (name.empty()) {
            *error = "--index " + argument + ": the name after \"=\" is empty";
            return false;
        }
    }
    if (folder.empty()) {
        *error = "--index needs a folder";
        return false;
    }
    std::filesystem::path absolute = std::filesystem::absolute(utf8_path(folder), status).lexically_normal();
    // A final separator goes, unless the path is a root folder ("/", "C:\").
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    std::string absolute_text = utf8_path_text(absolute);
    if (name.empty()) name = utf8_path_text(absolute.filename());
    if (name.empty()) name = "root";
    if (name == "." || name == ".." || name.find_first_of("\\/") != std::string::npos) {
        *error = "--index " + argument + ": \"" + name + "\" cannot name an index entry";
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

std::string command_line_help() {
    std::string text =
        "Usage: swp-host [OPTION]...\n"
        "Serves folders of this machine to FTP clients through the SWP plug-in, read-only.\n"
        "Stops on Ctrl+C, and on SIGTERM (Linux) or Ctrl+Break (Windows). Prints\n"
        "\"swp-host: listening on ADDRESS:PORT\" on stderr for each listening socket.\n\nOptions:\n";
    for (const CommandLineOption& option : OPTIONS) {
        std::string left = std::string("  ") + option.name;
        if (option.value_name != nullptr) left += std::string(" ") + option.value_name;
        if (left.size() < HELP_INDENT) left.resize(HELP_INDENT, ' ');
        else left += "\n" + std::string(HELP_INDENT, ' ');
        std::string help = option.help;
        if (option.help_default != nullptr) help += std::string(" (default: ") + option.help_default + ")";
        text += left + help_wrapped(help) + "\n";
    }
    text += "\nSettings for --set and the [swp] section of the settings file:\n ";
    size_t column = 1;
    for (const SettingsKey& key : SETTINGS_KEYS) {
        std::string word = std::string(" ") + key.name;
        if (column + word.size() > 100) {
            text += "\n ";
            column = 1;
        }
        text += word;
        column += word.size();
    }
    text +=
        "\n\nCommand-line options override the settings file for one run and are not written back.\n"
        "The server is enabled for the run. The activity log defaults to\n" +
        std::string(HOST_FOLDERS_HELP_LOG) +
        ".\n"
        "Exit status: 0 after a stop, 1 when no listening socket could be opened,\n"
        "2 for a bad option, an unreadable settings file, a missing plug-in or an index failure.\n";
    return text;
}

}  // namespace host
