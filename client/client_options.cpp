#include "client/client_options.h"

#include <string_view>

#include "host/search_syntax_help.h"

namespace client {

const ClientFlag CLIENT_FLAGS[] = {
    {'i', "ignore-case", nullptr, FlagAction::WORD, "case", "0", "ignore case (the default, as locate -i)"},
    {0, "case", nullptr, FlagAction::WORD, "case", "1", nullptr},
    {'w', "whole-word", nullptr, FlagAction::WORD, "whole_word", "1", nullptr},
    {0, "path", nullptr, FlagAction::WORD, "path", "1", nullptr},
    {0, "diacritics", nullptr, FlagAction::WORD, "diacritics", "1", nullptr},
    {0, "prefix", nullptr, FlagAction::WORD, "prefix", "1", nullptr},
    {0, "suffix", nullptr, FlagAction::WORD, "suffix", "1", nullptr},
    {0, "ignore-punctuation", nullptr, FlagAction::WORD, "ignore_punctuation", "1", nullptr},
    {0, "ignore-whitespace", nullptr, FlagAction::WORD, "ignore_whitespace", "1", nullptr},
    {'r', "regex", nullptr, FlagAction::WORD, "regex", "1", nullptr},
    {0, "hide-empty", nullptr, FlagAction::WORD, "hide_empty_search_results", "1", nullptr},
    {0, "filter", "TEXT", FlagAction::WORD_VALUE, "filter_search", nullptr,
     "a second search text that every result must match too, with the --filter-... flags as its options"},
    {0, "filter-case", nullptr, FlagAction::WORD, "filter_case", "1", "--case for the filter"},
    {0, "filter-whole-word", nullptr, FlagAction::WORD, "filter_whole_word", "1", "--whole-word for the filter"},
    {0, "filter-path", nullptr, FlagAction::WORD, "filter_path", "1", "--path for the filter"},
    {0, "filter-diacritics", nullptr, FlagAction::WORD, "filter_diacritics", "1", "--diacritics for the filter"},
    {0, "filter-prefix", nullptr, FlagAction::WORD, "filter_prefix", "1", "--prefix for the filter"},
    {0, "filter-suffix", nullptr, FlagAction::WORD, "filter_suffix", "1", "--suffix for the filter"},
    {0, "filter-ignore-punctuation", nullptr, FlagAction::WORD, "filter_ignore_punctuation", "1",
     "--ignore-punctuation for the filter"},
    {0, "filter-ignore-whitespace", nullptr, FlagAction::WORD, "filter_ignore_whitespace", "1",
     "--ignore-whitespace for the filter"},
    {0, "filter-regex", nullptr, FlagAction::WORD, "filter_regex", "1", "--regex for the filter"},
    {0, "sort", "NAME", FlagAction::WORD_VALUE, "sort", nullptr,
     "the order of the results: KEY_ascending or KEY_descending, KEY one of name, path, size, inverse_size, "
     "extension, date_created, date_modified, attributes, file_list_filename, date_recently_changed"},
    {0, "offset", "N", FlagAction::OFFSET, nullptr, nullptr, "skip the first N results"},
    {'n', "count", "N", FlagAction::COUNT, nullptr, nullptr, "print at most N results (default 1,000)"},
    {0, "all", nullptr, FlagAction::ALL, nullptr, nullptr, "print every result"},
    {'l', "long", nullptr, FlagAction::LONG, nullptr, nullptr,
     "print type (d or -), size and the local date and time of the last change before each path"},
    {0, "json", nullptr, FlagAction::JSON, nullptr, nullptr,
     "print one JSON object a line: path, type, size, modified, created, recently_changed (ISO 8601 UTC) and "
     "attributes, null where the server does not know"},
    {'0', "null", nullptr, FlagAction::NUL_ENDS, nullptr, nullptr, "end each result with NUL, not a line break, "
     "for xargs -0"},
    {0, "url", nullptr, FlagAction::URL, nullptr, nullptr, "print ftp:// URLs, as curl and wget take them"},
    {0, "get", "DIR", FlagAction::GET, nullptr, nullptr,
     "also download the results into DIR under their folders, resuming partial files"},
    {'R', "recursive", nullptr, FlagAction::RECURSIVE, nullptr, nullptr,
     "with --get, download a folder result with everything below it"},
    {'h', "help", nullptr, FlagAction::HELP, nullptr, nullptr, "show this help and exit"},
    {0, "manual-page", nullptr, FlagAction::MANUAL, nullptr, nullptr, "print this help as a manual page (roff) and exit"},
    {0, "version", nullptr, FlagAction::VERSION, nullptr, nullptr, "show the version and exit"},
};

const size_t CLIENT_FLAG_COUNT = sizeof CLIENT_FLAGS / sizeof CLIENT_FLAGS[0];

namespace {

bool holds_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool parse_u32(std::string_view text, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    if (number > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

const ClientFlag* flag_by_long_name(std::string_view name) {
    for (size_t i = 0; i < CLIENT_FLAG_COUNT; ++i)
        if (name == CLIENT_FLAGS[i].long_name) return &CLIENT_FLAGS[i];
    return nullptr;
}

const ClientFlag* flag_by_short_name(char name) {
    for (size_t i = 0; i < CLIENT_FLAG_COUNT; ++i)
        if (CLIENT_FLAGS[i].short_name == name) return &CLIENT_FLAGS[i];
    return nullptr;
}

std::string flag_shown(const ClientFlag& flag) { return std::string("--") + flag.long_name; }

// Applies one flag with its value (empty for a flag without one).
bool flag_apply(const ClientFlag& flag, const std::string& value, ClientOptions* options, std::string* error) {
    auto refuse = [&](const std::string& why) {
        *error = flag_shown(flag) + ": " + why;
        return false;
    };
    switch (flag.action) {
        case FlagAction::WORD: options->settings.push_back({flag.word, flag.word_value}); return true;
        case FlagAction::WORD_VALUE:
            if (holds_line_break(value)) return refuse("the value must not hold a line break");
            if (std::string_view(flag.word) == "sort" && !host::search_sort_name_known(value))
                return refuse("unknown sort name \"" + value + "\" (see --help)");
            options->settings.push_back({flag.word, value});
            return true;
        case FlagAction::OFFSET:
            return parse_u32(value, &options->offset) || refuse("not a number from 0 to 4294967295: " + value);
        case FlagAction::COUNT:
            if (!parse_u32(value, &options->count)) return refuse("not a number from 0 to 4294967295: " + value);
            return true;
        case FlagAction::ALL: options->count = COUNT_ALL; return true;
        case FlagAction::LONG: options->style.form = OutputForm::LONG; return true;
        case FlagAction::JSON: options->style.form = OutputForm::JSON; return true;
        case FlagAction::NUL_ENDS: options->style.nul_ends = true; return true;
        case FlagAction::URL: options->style.as_url = true; return true;
        case FlagAction::GET:
            if (value.empty()) return refuse("the folder must not be empty");
            options->get_folder = value;
            return true;
        case FlagAction::RECURSIVE: options->recursive = true; return true;
        case FlagAction::HELP: options->show_help = true; return true;
        case FlagAction::MANUAL: options->show_manual = true; return true;
        case FlagAction::VERSION: options->show_version = true; return true;
    }
    return true;
}

// A "--name[=value]" argument; *next moves past a value taken from the next argument.
bool long_flag(int argc, char** argv, int* next, std::string_view argument, ClientOptions* options,
               std::string* error) {
    std::string_view body = argument.substr(2);
    size_t equals = body.find('=');
    const ClientFlag* flag = flag_by_long_name(body.substr(0, equals));
    if (flag == nullptr) {
        *error = "unknown option " + std::string(argument.substr(0, equals == std::string_view::npos ? argument.size() : equals + 2));
        return false;
    }
    std::string value;
    if (flag->value_name == nullptr) {
        if (equals != std::string_view::npos) {
            *error = flag_shown(*flag) + " takes no value";
            return false;
        }
    } else if (equals != std::string_view::npos) {
        value = std::string(body.substr(equals + 1));
    } else if (*next < argc) {
        value = argv[(*next)++];
    } else {
        *error = flag_shown(*flag) + " needs a value " + flag->value_name;
        return false;
    }
    return flag_apply(*flag, value, options, error);
}

// A "-abc" group of short flags; the last may take a value, attached or as the next argument.
bool short_flags(int argc, char** argv, int* next, std::string_view argument, ClientOptions* options,
                 std::string* error) {
    for (size_t at = 1; at < argument.size(); ++at) {
        const ClientFlag* flag = flag_by_short_name(argument[at]);
        if (flag == nullptr) {
            *error = std::string("unknown option -") + argument[at];
            return false;
        }
        std::string value;
        if (flag->value_name != nullptr) {
            if (at + 1 < argument.size()) value = std::string(argument.substr(at + 1));
            else if (*next < argc) value = argv[(*next)++];
            else {
                *error = std::string("-") + flag->short_name + " needs a value " + flag->value_name;
                return false;
            }
            return flag_apply(*flag, value, options, error);
        }
        if (!flag_apply(*flag, value, options, error)) return false;
    }
    return true;
}

bool operands_take(const std::vector<std::string>& operands, ClientOptions* options, std::string* error) {
    if (operands.empty()) {
        *error = "no URL given";
        return false;
    }
    if (operands.size() < 2) {
        *error = "no search text given (\"\" finds every entry)";
        return false;
    }
    options->url = operands[0];
    for (size_t i = 1; i < operands.size(); ++i) options->text += (i > 1 ? " " : "") + operands[i];
    if (holds_line_break(options->text)) {
        *error = "the search text must not hold a line break";
        return false;
    }
    if (options->recursive && options->get_folder.empty()) {
        *error = "--recursive goes with --get DIR";
        return false;
    }
    return true;
}

}  // namespace

bool client_options_parse(int argc, char** argv, ClientOptions* options, std::string* error) {
    std::vector<std::string> operands;
    bool flags_end = false;
    for (int next = 1; next < argc;) {
        std::string_view argument = argv[next++];
        bool ok = true;
        if (flags_end || argument.size() < 2 || argument[0] != '-') operands.emplace_back(argument);
        else if (argument == "--") flags_end = true;
        else if (argument[1] == '-') ok = long_flag(argc, argv, &next, argument, options, error);
        else ok = short_flags(argc, argv, &next, argument, options, error);
        if (!ok) return false;
    }
    if (options->show_help || options->show_manual || options->show_version) return true;
    return operands_take(operands, options, error);
}

std::string client_setting(const ClientOptions& options, const char* word) {
    std::string value;
    for (const OptionSetting& setting : options.settings)
        if (setting.word == word) value = setting.value;
    return value;
}

}  // namespace client
