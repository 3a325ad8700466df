// The host's search-text parser with every option: a search text and a filter text, with options
// and filter flags from the input, compiled and run against a few names and paths. A plain term
// that is compared as it is written must match exactly the names that hold it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/index/search_pattern.h"
#include "host/index/text_fold.h"

namespace {

// Texts of any form fit in this; longer ones only make each input slower.
constexpr size_t MAX_TEXT = 1024;

struct Entry {
    std::vector<std::string> components;  // the top-level name first
};

const std::vector<Entry> ENTRIES = {
    {{"share", "docs", "report-2024 final.pdf"}},
    {{"share", "Caf\xc3\xa9 del Mar", "STRASSE.txt"}},
    {{"share", "music", "live", "IMG_0001.jpg"}},
    {{"data", ".hidden"}},
    {{"data", "\xff\xfe not utf-8"}},
};

// A name in the text form of the condition, as the index walker makes it.
std::string in_form(std::string_view name, const host::SearchCondition& condition) {
    std::string folded;
    host::text_fold_append(name, condition.form.folds, &folded);
    if (condition.form.plain()) return folded;
    std::string stripped;
    host::text_strip_append(folded, condition.form.strip_punctuation, condition.form.strip_whitespace, &stripped);
    return stripped;
}

bool matches(const host::SearchCondition& condition, const Entry& entry) {
    std::string path, raw_path;
    for (const std::string& component : entry.components) {
        if (!path.empty() && !condition.form.strip_punctuation) path += '\\';
        path += in_form(component, condition);
        if (!raw_path.empty()) raw_path += '\\';
        raw_path += component;
    }
    std::string name = in_form(entry.components.back(), condition);
    host::EntryTexts texts{name, path, entry.components.back(), raw_path};
    return host::search_matches(condition, texts);
}

// A term with no operator, compared byte for byte anywhere in the name.
bool is_plain_term(std::string_view text, const host::SearchOptions& options) {
    if (text.empty() || text.find_first_of(" \t\"|!*?\\/") != std::string_view::npos) return false;
    return options.match_case && options.match_diacritics && !options.regex && !options.whole_word &&
           !options.prefix && !options.suffix && !options.ignore_punctuation && !options.ignore_whitespace &&
           !options.match_path;
}

[[noreturn]] void fail(std::string_view text, const Entry& entry) {
    std::fprintf(stderr, "plain term \"%.*s\" misjudged for %s\n", static_cast<int>(text.size()), text.data(),
                 entry.components.back().c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    host::SearchOptions options = host::search_options_from_filter_flags(input.ConsumeIntegral<uint16_t>());
    host::SearchOptions filter_options = host::search_options_from_filter_flags(input.ConsumeIntegral<uint16_t>());
    std::string filter_text = input.ConsumeRandomLengthString(MAX_TEXT);
    std::string text = input.ConsumeRemainingBytesAsString();
    if (text.size() > MAX_TEXT) return -1;  // not added to the corpus

    host::SearchCondition condition = host::search_compile(text, options);
    host::SearchCondition filter = host::search_compile(filter_text, filter_options);
    bool plain = is_plain_term(text, options);
    for (const Entry& entry : ENTRIES) {
        bool found = matches(condition, entry);
        matches(filter, entry);
        if (plain && found != (entry.components.back().find(text) != std::string::npos)) fail(text, entry);
    }
    return 0;
}
