// The --help text and the manual page, both made from the one option table and the sections below.
#include <string>

#include "host/command_line.h"
#include "host/help_layout.h"
#include "host/host_folders.h"
#include "host/search_syntax_help.h"
#include "host/settings_store.h"

namespace host {
namespace {

constexpr size_t HELP_INDENT = 26;

// A part of the description after the options; paragraphs are separated by an empty line.
struct HelpSection {
    const char* title;
    const char* text;
    bool lists_settings_keys;  // followed by the keys of section [swp]
};

constexpr char HELP_SUMMARY[] = "serve folders to FTP clients, read-only, through the SWP plug-in";

constexpr char HELP_DESCRIPTION[] =
    "swp-host indexes the folders it is given and serves them to FTP clients through the SWP plug-in: "
    "clients walk the folders, list them, ask about entries, download files and run searches with the "
    "SORRELWICK command. Nothing is ever written to the served folders.\n\n"
    "It prints \"swp-host: listening on ADDRESS:PORT\" on stderr for each listening socket and ";

constexpr HelpSection HELP_SECTIONS[] = {
    {"Settings",
     "Command-line options override the settings file for one run and are never written back; the server is "
     "enabled for the run. The settings file is an INI file. Its section [swp] holds the plug-in's settings, "
     "the keys below; its section [host] holds the folders to serve when no --index is given, one line "
     "index=DIR[=NAME] each, with an absolute DIR. A value that cannot be what its key claims (port=99999), "
     "and a key or section that swp-host does not know (prot=2121, with the nearest known name), stop swp-host "
     "with the file and line. The file is written only when a setting changed.",
     true},
    {"Files", HOST_FOLDERS_HELP_FILES, false},
    {"Exit status",
     "0 after a stop, 1 when no listening socket could be opened, 2 for a bad option, a bad or "
     "unreadable settings file, a missing plug-in or a folder that cannot be indexed.",
     false},
};

std::string settings_key_list(const char* separator) {
    std::string list;
    for (const SettingsKey& key : SETTINGS_KEYS) list += (list.empty() ? "" : separator) + std::string(key.name);
    return list;
}

// The manual's search syntax and examples: what clients may send, and how swp-host is run.
constexpr char MANUAL_SEARCH_INTRODUCTION[] =
    "Clients search with the SORRELWICK command (also SITE SORRELWICK): SORRELWICK WORD VALUE sets one option, "
    "and SORRELWICK query runs the search and answers with the results. The options stay set for the "
    "connection. The search text, SORRELWICK search TEXT, is read so:";

struct ManualExample {
    const char* lines;  // shown as they are, one command a line
    const char* meaning;
};

constexpr ManualExample MANUAL_EXAMPLES[] = {
    {"swp-host --index ~/Music --index /srv/share=share --port 2121 --bind 127.0.0.1",
     "Serves two folders, as /Music and /share, on port 2121 of the loopback address."},
    {"swp-host --index /srv/share --user reader --password secret --no-download",
     "Serves one user, who may search and list the folder but not download its files."},
    {"SORRELWICK search *.pdf !draft\nSORRELWICK sort date_modified_descending\nSORRELWICK count 10\n"
     "SORRELWICK path_column 1\nSORRELWICK query",
     "What a client sends for the ten PDF files changed last whose names do not hold draft, each with its "
     "folder."},
    {"swp-search ftp://reader@nas.local:2121 '\"annual report\"' 2024",
     "A search from another machine with the client swp-search, which prints one FTP path a line."},
};

std::string manual_search_sections() {
    std::string page = ".SH SEARCH SYNTAX\n" + roff_escaped(MANUAL_SEARCH_INTRODUCTION) + "\n";
    for (const SearchSyntaxItem& item : SEARCH_SYNTAX)
        page += ".TP\n\\fB" + roff_escaped(item.example) + "\\fR\n" + roff_escaped(item.meaning) + "\n";
    page += ".PP\nThe option words, each followed by its value:\n";
    for (const SearchOptionWord& word : SEARCH_OPTION_WORDS) {
        page += ".TP\n\\fB" + roff_escaped(word.word) + "\\fR";
        if (word.value[0] != 0) page += " \\fI" + roff_escaped(word.value) + "\\fR";
        page += "\n" + roff_escaped(word.meaning) + "\n";
    }
    std::string sorts;
    for (const char* key : SEARCH_SORT_KEYS) sorts += (sorts.empty() ? "" : ", ") + std::string(key);
    page += ".PP\n" + roff_escaped("The sort names are KEY_ascending and KEY_descending with KEY one of " + sorts +
                                    "; the results come in name_ascending order unless a sort is set.") + "\n";
    page += ".SH EXAMPLES\n";
    for (const ManualExample& example : MANUAL_EXAMPLES)
        page += ".PP\n.nf\n" + roff_escaped(example.lines) + "\n.fi\n.RS\n" + roff_escaped(example.meaning) + "\n.RE\n";
    return page;
}

std::string help_description() { return std::string(HELP_DESCRIPTION) + HOST_FOLDERS_HELP_STOP; }

// An option's help with its default, when the default depends on the machine.
std::string option_help(const CommandLineOption& option) {
    std::string help = option.help;
    if (option.help_default != nullptr) help += std::string(" (default: ") + option.help_default + ")";
    return help;
}

}  // namespace

std::string command_line_help() {
    std::string text = "Usage: swp-host [OPTION]...\n\n" + help_paragraphs(help_description()) + "\nOptions:\n";
    for (const CommandLineOption& option : command_line_options()) {
        std::string left = "  ";
        if (option.short_name != nullptr) left += std::string(option.short_name) + ", ";
        left += option.name;
        if (option.value_name != nullptr) left += std::string(" ") + option.value_name;
        if (left.size() < HELP_INDENT) left.resize(HELP_INDENT, ' ');
        else left += "\n" + std::string(HELP_INDENT, ' ');
        text += left + help_wrapped(option_help(option), HELP_INDENT, HELP_INDENT) + "\n";
    }
    for (const HelpSection& section : HELP_SECTIONS) {
        text += "\n" + std::string(section.title) + ":\n" + help_paragraphs(section.text);
        if (section.lists_settings_keys)
            text += "\nSettings for --set and the [swp] section of the settings file:\n" +
                    help_paragraphs(settings_key_list(" "));
    }
    return text;
}

std::string command_line_manual_page(const std::string& version) {
    std::string page = ".TH SWP-HOST 1 \"\" \"swp-host " + roff_escaped(version) + "\" \"User Commands\"\n" +
                       ".SH NAME\nswp\\-host \\- " + roff_escaped(HELP_SUMMARY) + "\n" +
                       ".SH SYNOPSIS\n.B swp\\-host\n[\\fIOPTION\\fR]...\n" + ".SH DESCRIPTION\n" +
                       roff_paragraphs(help_description()) + ".SH OPTIONS\n";
    for (const CommandLineOption& option : command_line_options()) {
        page += ".TP\n\\fB";
        if (option.short_name != nullptr) page += roff_escaped(option.short_name) + "\\fR, \\fB";
        page += roff_escaped(option.name) + "\\fR";
        if (option.value_name != nullptr) page += " \\fI" + roff_escaped(option.value_name) + "\\fR";
        page += "\n" + roff_escaped(option_help(option)) + "\n";
    }
    for (const HelpSection& section : HELP_SECTIONS) {
        page += ".SH " + roff_title(section.title) + "\n" + roff_paragraphs(section.text);
        if (section.lists_settings_keys)
            page += ".PP\nThe keys of section [swp]: " + roff_escaped(settings_key_list(", ")) + ".\n";
    }
    page += manual_search_sections();
    page += ".SH SEE ALSO\n\\fBswp\\-search\\fR(1), \\fBsystemctl\\fR(1), \\fBjournalctl\\fR(1)\n";
    return page;
}

}  // namespace host
