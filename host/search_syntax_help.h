// The search text and the option words of the SORRELWICK command in words, as the host's search
// parser reads them: one text for the manual page of swp-host and the help and manual page of
// swp-search, so that the two never describe different searches.
#pragma once

#include <cstddef>
#include <string_view>

namespace host {

// One construct of the search text, with an example of it and what it means.
struct SearchSyntaxItem {
    const char* example;
    const char* meaning;
};

inline constexpr SearchSyntaxItem SEARCH_SYNTAX[] = {
    {"report 2024",
     "Terms: the text is split at blanks into terms, and an entry is found when every term matches its name. A "
     "term without wildcards matches anywhere in the name, ignoring case and diacritics unless the options say "
     "otherwise: cafe finds Caf\xc3\xa9-Menu.txt."},
    {"*.pdf  report-??.txt",
     "Wildcards: * stands for any run of characters, ? for one character. A term with a wildcard matches the "
     "whole name, not a part of it."},
    {"\"annual report\"",
     "Quotes: text between double quotes is taken as it is: its blanks do not split terms, and *, ?, | and ! in "
     "it are plain characters. The quotes themselves are not searched for."},
    {"*.jpg|*.png",
     "Alternatives: | separates alternatives within a term; the term matches when any of them does."},
    {"report !draft",
     "Negation: a term that begins with ! finds the entries that it does not match."},
    {"share/docs/*.txt",
     "Paths: a term with / or \\ in it is matched against the entry's whole path, from its top-level folder on "
     "and without a leading /; the path option does so for every term."},
    {"(no text)",
     "An empty text finds every entry, unless the option hide_empty_search_results is on."},
    {"^IMG_[0-9]+\\.jpg$",
     "With the option regex the whole text is one regular expression (RE2 syntax), searched for in the name (in "
     "the path with the option path); the option case applies, and blanks, wildcards, quotes, | and ! have no "
     "meaning of their own. A text of more than 1,024 distinct terms and alternatives, or a regular expression "
     "that the server cannot run, finds nothing."},
};

// An option word of the SORRELWICK command and what its value does.
struct SearchOptionWord {
    const char* word;
    const char* value;  // what the value looks like: "0|1", "TEXT", "NAME", "N"
    const char* meaning;
};

inline constexpr SearchOptionWord SEARCH_OPTION_WORDS[] = {
    {"case", "0|1", "letters must match in case"},
    {"whole_word", "0|1", "a term matches only where no letter or digit goes on before or after it"},
    {"path", "0|1", "every term is matched against the whole path, not the name"},
    {"diacritics", "0|1", "accents count: cafe no longer finds caf\xc3\xa9"},
    {"prefix", "0|1", "a term must match at the start of the name"},
    {"suffix", "0|1", "a term must match at the end of the name"},
    {"ignore_punctuation", "0|1", "names and terms are compared without their punctuation"},
    {"ignore_whitespace", "0|1", "names and terms are compared without their blanks"},
    {"regex", "0|1", "the text is a regular expression"},
    {"hide_empty_search_results", "0|1", "an empty text finds nothing instead of everything"},
    {"search", "TEXT", "the search text"},
    {"filter_search", "TEXT",
     "a second search text that every result must match too; filter_case, filter_whole_word, filter_path, "
     "filter_diacritics, filter_prefix, filter_suffix, filter_ignore_punctuation, filter_ignore_whitespace "
     "and filter_regex are its options"},
    {"sort", "NAME", "the order of the results (below)"},
    {"offset", "N", "the first result sent, counted from 0"},
    {"count", "N", "the most results sent (4294967295: all, the default)"},
    {"path_column", "0|1",
     "each result carries its folder's path; size_column, attributes_column, date_modified_column, "
     "date_created_column, date_recently_changed_column and file_list_filename_column add those facts"},
    {"query", "", "runs the search and answers with the results"},
};

// The sort names: each with _ascending or _descending; inverse_size_ sorts the other way round.
inline constexpr const char* SEARCH_SORT_KEYS[] = {
    "name", "path", "size", "inverse_size", "extension", "date_created", "date_modified", "attributes",
    "file_list_filename", "date_recently_changed",
};

inline constexpr size_t SEARCH_SORT_KEY_COUNT = sizeof SEARCH_SORT_KEYS / sizeof SEARCH_SORT_KEYS[0];

// Whether `name` is one of the sort names (KEY_ascending or KEY_descending), case ignored.
inline bool search_sort_name_known(std::string_view name) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto equal = [&](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i])) return false;
        return true;
    };
    for (const char* key : SEARCH_SORT_KEYS) {
        std::string_view k(key);
        if (name.size() <= k.size() + 1 || !equal(name.substr(0, k.size()), k) || name[k.size()] != '_') continue;
        std::string_view order = name.substr(k.size() + 1);
        if (equal(order, "ascending") || equal(order, "descending")) return true;
    }
    return false;
}

}  // namespace host
