#include "client/client_help.h"

#include <vector>

#include "client/client_options.h"
#include "host/help_layout.h"
#include "host/search_syntax_help.h"

namespace client {
namespace {

using host::help_paragraphs;
using host::help_wrapped;
using host::roff_escaped;
using host::roff_paragraphs;
using host::roff_title;

constexpr size_t HELP_INDENT = 28;

constexpr char SUMMARY[] = "find files on an SWP server, as locate finds them here, and download them";
constexpr char USAGE[] = "swp-search [OPTION]... URL TEXT...";

constexpr char DESCRIPTION[] =
    "swp-search logs on to the SWP server at URL (ftp://[USER[:PASSWORD]@]HOST[:PORT]), searches its index "
    "for TEXT (the words joined by blanks) and prints one FTP path a line, /share/docs/report.txt, the form "
    "that RETR and ftp:// URLs take. The results are printed as they arrive, a page at a time.\n\n"
    "The password comes from the URL, else from the netrc file (a \"machine HOST login USER password TEXT\" "
    "line, as curl, lftp and ftp read it), else from a prompt when the input is a terminal; it is never "
    "printed. Without a user name, the netrc file's login or \"anonymous\" is used.";

// A tagged item: what is written, and what it means.
struct HelpItem {
    std::string tag;
    std::string text;
};

struct HelpSection {
    std::string title;
    std::vector<std::string> paragraphs;  // after the items
    std::vector<HelpItem> items;
    bool literal_items = false;           // items are command lines, shown as they are
};

constexpr const char* OPTION_WORD_NONE = nullptr;

std::string flag_meaning(const ClientFlag& flag) {
    if (flag.help != OPTION_WORD_NONE) return flag.help;
    for (const host::SearchOptionWord& word : host::SEARCH_OPTION_WORDS)
        if (std::string(word.word) == flag.word) return word.meaning;
    return "";
}

std::string flag_tag(const ClientFlag& flag) {
    std::string tag;
    if (flag.short_name != 0) tag = std::string("-") + flag.short_name + ", ";
    tag += std::string("--") + flag.long_name;
    if (flag.value_name != nullptr) tag += std::string(" ") + flag.value_name;
    return tag;
}

std::vector<HelpSection> help_sections() {
    std::vector<HelpSection> sections;
    HelpSection options{"Options", {}, {}, false};
    for (size_t i = 0; i < CLIENT_FLAG_COUNT; ++i)
        options.items.push_back({flag_tag(CLIENT_FLAGS[i]), flag_meaning(CLIENT_FLAGS[i])});
    sections.push_back(options);

    HelpSection syntax{"Search syntax", {}, {}, false};
    for (const host::SearchSyntaxItem& item : host::SEARCH_SYNTAX) syntax.items.push_back({item.example, item.meaning});
    syntax.paragraphs.push_back(
        "The shell takes |, !, * and double quotes for itself: quote the TEXT, as in swp-search URL '*.jpg|*.png' "
        "'!thumb'. Give -- before a TEXT that begins with -.");
    sections.push_back(syntax);

    sections.push_back({"Downloads",
                        {"With --get DIR each result is saved as DIR followed by its FTP path, and a folder result "
                         "becomes a folder (with -R, with everything below it). A file that is already there "
                         "with fewer bytes is resumed from its end (REST), one with the right size is kept, and "
                         "each download is checked against the file's size. On a terminal a progress line shows "
                         "the files, the bytes and the rate; on a pipe nothing is added to the output."},
                        {},
                        false});
    sections.push_back({"Exit status",
                        {"0 when something was found, 1 when nothing was, 2 on any error, with its cause on "
                         "stderr: the server cannot be reached or refuses the login, is not an SWP server, refuses "
                         "an option or the expression, or a download failed (which file and why)."},
                        {},
                        false});
    sections.push_back({"Examples",
                        {},
                        {{"swp-search ftp://nas.local '\"annual report\"' 2024",
                          "every name that holds \"annual report\" and 2024"},
                         {"swp-search -l --sort size_descending -n 20 ftp://nas.local '*.iso'",
                          "the 20 largest ISO images, with size and date"},
                         {"swp-search -0 --url --all ftp://me@nas.local '*.flac' | xargs -0 -n 1 curl -n -O",
                          "every FLAC file, fetched with curl and the netrc file's password"},
                         {"swp-search --get ~/Downloads -R ftp://nas.local/ '\"holiday 2023\"'",
                          "the folder \"holiday 2023\" with everything in it"},
                         {"swp-search --json ftp://nas.local --regex '^IMG_[0-9]+\\.jpg$' | jq -r .modified",
                          "the dates of the camera's pictures"}},
                        true});
    return sections;
}

// ---- the --help text --------------------------------------------------------------------------

std::string item_text(const HelpItem& item, bool literal) {
    if (literal) return "  " + item.tag + "\n" + std::string(6, ' ') + help_wrapped(item.text, 6, 6) + "\n";
    std::string left = "  " + item.tag;
    if (left.size() + 1 < HELP_INDENT) left.resize(HELP_INDENT, ' ');
    else left += "\n" + std::string(HELP_INDENT, ' ');
    return left + help_wrapped(item.text, HELP_INDENT, HELP_INDENT) + "\n";
}

}  // namespace

std::string client_help() {
    std::string text = std::string("Usage: ") + USAGE + "\n" + std::string(SUMMARY) + ".\n\n" +
                       help_paragraphs(DESCRIPTION);
    for (const HelpSection& section : help_sections()) {
        text += "\n" + section.title + ":\n";
        for (const HelpItem& item : section.items) text += item_text(item, section.literal_items);
        for (const std::string& paragraph : section.paragraphs)
            text += (section.items.empty() ? "" : "\n") + help_paragraphs(paragraph);
    }
    return text;
}

std::string client_manual_page(const std::string& version) {
    std::string page = ".TH SWP-SEARCH 1 \"\" \"swp-search " + roff_escaped(version) + "\" \"User Commands\"\n" +
                       ".SH NAME\nswp\\-search \\- " + roff_escaped(SUMMARY) + "\n" +
                       ".SH SYNOPSIS\n.B swp\\-search\n[\\fIOPTION\\fR]... \\fIURL\\fR \\fITEXT\\fR...\n" +
                       ".SH DESCRIPTION\n" + roff_paragraphs(DESCRIPTION);
    for (const HelpSection& section : help_sections()) {
        page += ".SH " + roff_title(section.title) + "\n";
        for (const HelpItem& item : section.items) {
            if (section.literal_items) page += ".PP\n.nf\n" + roff_escaped(item.tag) + "\n.fi\n.RS\n";
            else page += ".TP\n\\fB" + roff_escaped(item.tag) + "\\fR\n";
            page += roff_escaped(item.text) + "\n" + (section.literal_items ? ".RE\n" : "");
        }
        for (size_t i = 0; i < section.paragraphs.size(); ++i)
            page += (i || !section.items.empty() ? ".PP\n" : "") + roff_paragraphs(section.paragraphs[i]);
    }
    page += ".SH FILES\n~/.netrc (%USERPROFILE%\\e_netrc on Windows): the user names and passwords of servers.\n";
    page += ".SH SEE ALSO\n\\fBswp\\-host\\fR(1), \\fBlocate\\fR(1), \\fBnetrc\\fR(5)\n";
    return page;
}

}  // namespace client
