// A search text compiled for matching: terms (all must match), alternatives within a term (any
// may match), negation, wildcards, and a regular expression when regex mode is on.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace host {

struct SearchOptions {
    bool match_case = false;
    bool whole_word = false;
    bool match_path = false;
    bool match_diacritics = false;
    bool regex = false;
    bool prefix = false;
    bool suffix = false;
    bool ignore_punctuation = false;
    bool ignore_whitespace = false;
    bool operator==(const SearchOptions&) const = default;
};

// Options from the filter's bit set.
SearchOptions search_options_from_filter_flags(uint32_t flags);

// The form a name is compared in: FOLD_* bits plus whether punctuation and white space count.
struct TextForm {
    unsigned folds = 0;
    bool strip_punctuation = false;
    bool strip_whitespace = false;
    bool plain() const { return !strip_punctuation && !strip_whitespace; }
    bool operator==(const TextForm&) const = default;
};

enum GlobToken : uint8_t { GLOB_LITERAL, GLOB_ANY_RUN, GLOB_ANY_ONE };

struct GlobPart {
    GlobToken token;
    std::string text;  // GLOB_LITERAL only, in the term's text form
};

struct SearchAlternative {
    bool whole_path = false;     // matched against the full index path instead of the name
    bool wildcard = false;       // glob over the whole name (or path); else a substring
    std::string needle;          // substring, in the text form
    std::vector<GlobPart> glob;  // wildcard only: no empty literal, no two GLOB_ANY_RUN side by side
    size_t glob_min_bytes = 0;   // wildcard only: a shorter text cannot match
};

struct SearchTerm {
    bool negated = false;
    std::vector<SearchAlternative> alternatives;
};

struct SearchCondition {
    SearchOptions options;
    TextForm form;
    bool match_all = true;   // an empty text, or only terms that match every name
    bool invalid = false;    // refused (see search_compile); matches nothing
    std::string error;       // why, one line for the debug console
    std::vector<SearchTerm> terms;
    std::shared_ptr<re2::RE2> regex;  // regex mode
    bool needs_path() const;
};

// Whether a search text is empty: nothing but spaces and tabs.
bool search_text_is_blank(std::string_view text);

// Compiles a search text. Never fails: an invalid regular expression, or a text too large to
// search in reasonable time (a huge or deeply nested expression, an absurd number of distinct
// terms), gives `invalid`. A term given twice, or an alternative given twice, counts once, and a
// term that matches every name adds no condition.
SearchCondition search_compile(std::string_view text, const SearchOptions& options);

// The texts of one entry as a condition sees them: `name` and `path` in the condition's text form
// (path only when needs_path()), and for a regular expression the name and path as they are, in
// composed form (NFC).
struct EntryTexts {
    std::string_view name;
    std::string_view path;
    std::string_view raw_name;
    std::string_view raw_path;
};

bool search_matches(const SearchCondition& condition, const EntryTexts& texts);
bool search_term_matches(const SearchCondition& condition, const SearchTerm& term, const EntryTexts& texts);

// Whether a substring occurrence at [at, at + length) of text satisfies whole word, prefix and
// suffix; used by the fast arena search too.
bool search_occurrence_fits(const SearchOptions& options, std::string_view text, size_t at, size_t length);

// Whether the alternative's needle occurs in text with the condition's placement rules.
bool search_substring_matches(const SearchOptions& options, std::string_view text, std::string_view needle);

}  // namespace host
