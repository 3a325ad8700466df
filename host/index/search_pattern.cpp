#include "host/index/search_pattern.h"

#include <re2/re2.h>

#include "host/index/text_fold.h"

namespace host {
namespace {

constexpr int64_t REGEX_MEMORY_BUDGET = 8 << 20;

// One character of a term after quote removal: quoted characters are never operators.
struct TermChar {
    char byte;
    bool quoted;
};

// Splits the text into terms at blanks outside double quotes; quotes are removed.
std::vector<std::vector<TermChar>> split_terms(std::string_view text) {
    std::vector<std::vector<TermChar>> terms(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            if (!terms.back().empty()) terms.emplace_back();
            continue;
        }
        terms.back().push_back({c, quoted});
    }
    if (terms.back().empty()) terms.pop_back();
    return terms;
}

std::string in_form(std::string_view text, const TextForm& form) {
    std::string folded;
    text_fold_append(text, form.folds, &folded);
    if (form.plain()) return folded;
    std::string stripped;
    text_strip_append(folded, form.strip_punctuation, form.strip_whitespace, &stripped);
    return stripped;
}

bool has_path_separator(const std::vector<TermChar>& chars, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (chars[i].byte == '\\' || chars[i].byte == '/') return true;
    return false;
}

SearchAlternative compile_alternative(const std::vector<TermChar>& chars, size_t from, size_t to,
                                      const SearchCondition& condition) {
    SearchAlternative alternative;
    alternative.whole_path = condition.options.match_path || has_path_separator(chars, from, to);
    std::string literal;
    auto flush = [&]() {
        if (literal.empty()) return;
        alternative.glob.push_back({GLOB_LITERAL, in_form(literal, condition.form)});
        literal.clear();
    };
    for (size_t i = from; i < to; ++i) {
        char c = chars[i].byte == '/' ? '\\' : chars[i].byte;
        if (!chars[i].quoted && (c == '*' || c == '?')) {
            flush();
            alternative.wildcard = true;
            alternative.glob.push_back({c == '*' ? GLOB_ANY_RUN : GLOB_ANY_ONE, {}});
            continue;
        }
        literal.push_back(c);
    }
    flush();
    if (!alternative.wildcard) {
        if (!alternative.glob.empty()) alternative.needle = std::move(alternative.glob[0].text);
        alternative.glob.clear();
    }
    return alternative;
}

// A term: an optional leading "!", then alternatives separated by unquoted "|".
bool compile_term(const std::vector<TermChar>& chars, const SearchCondition& condition, SearchTerm* term) {
    size_t at = 0;
    if (!chars.empty() && chars[0].byte == '!' && !chars[0].quoted) {
        term->negated = true;
        at = 1;
    }
    if (at == chars.size()) return false;  // a lone "!"
    bool matches_everything = false;
    size_t start = at;
    for (size_t i = at; i <= chars.size(); ++i) {
        if (i < chars.size() && !(chars[i].byte == '|' && !chars[i].quoted)) continue;
        SearchAlternative alternative = compile_alternative(chars, start, i, condition);
        if (!alternative.wildcard && alternative.needle.empty()) matches_everything = true;
        else term->alternatives.push_back(std::move(alternative));
        start = i + 1;
    }
    // A term that matches every name ("a|" or only ignored characters) adds no condition; its
    // negation excludes everything.
    if (matches_everything) term->alternatives.clear();
    return !term->alternatives.empty() || (matches_everything && term->negated);
}

void compile_regex(std::string_view text, SearchCondition* condition) {
    RE2::Options options;
    options.set_case_sensitive(condition->options.match_case);
    options.set_max_mem(REGEX_MEMORY_BUDGET);
    options.set_never_nl(true);
    options.set_log_errors(false);
    // Multi-line mode: ^ and $ also match at the ends of each name of the name arena.
    auto regex = std::make_shared<RE2>("(?m)" + std::string(text), options);
    if (!regex->ok()) {
        condition->invalid = true;
        condition->error = regex->error();
        return;
    }
    condition->regex = std::move(regex);
}

// Glob over the whole text: "*" any run of bytes, "?" one character (a UTF-8 sequence).
size_t next_character(std::string_view text, size_t at) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    return at;
}

bool glob_matches(const std::vector<GlobPart>& glob, std::string_view text) {
    size_t part = 0, at = 0;
    size_t star_part = SIZE_MAX, star_at = 0;
    while (true) {
        if (part < glob.size()) {
            const GlobPart& p = glob[part];
            if (p.token == GLOB_ANY_RUN) {
                star_part = part++;
                star_at = at;
                continue;
            }
            if (p.token == GLOB_ANY_ONE && at < text.size()) {
                at = next_character(text, at);
                ++part;
                continue;
            }
            if (p.token == GLOB_LITERAL && text.substr(at, p.text.size()) == p.text) {
                at += p.text.size();
                ++part;
                continue;
            }
        } else if (at == text.size()) {
            return true;
        }
        // Backtrack: the last "*" takes one more character.
        if (star_part == SIZE_MAX || star_at >= text.size()) return false;
        star_at = next_character(text, star_at);
        at = star_at;
        part = star_part + 1;
    }
}

bool alternative_matches(const SearchCondition& condition, const SearchAlternative& alternative,
                         const EntryTexts& texts) {
    std::string_view text = alternative.whole_path ? texts.path : texts.name;
    if (alternative.wildcard) return glob_matches(alternative.glob, text);
    return search_substring_matches(condition.options, text, alternative.needle);
}

}  // namespace

SearchOptions search_options_from_filter_flags(uint32_t flags) {
    SearchOptions options;
    options.match_case = flags & 0x1;
    options.whole_word = flags & 0x2;
    options.match_path = flags & 0x4;
    options.match_diacritics = flags & 0x8;
    options.regex = flags & 0x10;
    options.prefix = flags & 0x20;
    options.suffix = flags & 0x40;
    options.ignore_punctuation = flags & 0x80;
    options.ignore_whitespace = flags & 0x100;
    return options;
}

bool SearchCondition::needs_path() const {
    if (regex) return options.match_path;
    for (const SearchTerm& term : terms)
        for (const SearchAlternative& alternative : term.alternatives)
            if (alternative.whole_path) return true;
    return false;
}

SearchCondition search_compile(std::string_view text, const SearchOptions& options) {
    SearchCondition condition;
    condition.options = options;
    condition.form.folds = (options.match_case ? 0u : FOLD_CASE) | (options.match_diacritics ? 0u : FOLD_MARKS);
    condition.form.strip_punctuation = options.ignore_punctuation;
    condition.form.strip_whitespace = options.ignore_whitespace;
    bool blank = text.find_first_not_of(" \t") == std::string_view::npos;
    if (blank) return condition;
    condition.match_all = false;
    if (options.regex) {
        compile_regex(text, &condition);
        return condition;
    }
    for (const std::vector<TermChar>& chars : split_terms(text)) {
        SearchTerm term;
        if (compile_term(chars, condition, &term)) condition.terms.push_back(std::move(term));
    }
    condition.match_all = condition.terms.empty();
    return condition;
}

bool search_occurrence_fits(const SearchOptions& options, std::string_view text, size_t at, size_t length) {
    if (options.prefix && at != 0) return false;
    if (options.suffix && at + length != text.size()) return false;
    if (!options.whole_word) return true;
    auto word_at = [&](size_t i) { return text_is_word_byte(static_cast<unsigned char>(text[i])); };
    if (at > 0 && word_at(at - 1) && word_at(at)) return false;
    size_t end = at + length;
    if (end < text.size() && end > 0 && word_at(end - 1) && word_at(end)) return false;
    return true;
}

bool search_substring_matches(const SearchOptions& options, std::string_view text, std::string_view needle) {
    if (options.prefix && !options.whole_word && !options.suffix) return text.substr(0, needle.size()) == needle;
    if (options.suffix && !options.whole_word && !options.prefix)
        return text.size() >= needle.size() && text.substr(text.size() - needle.size()) == needle;
    for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1))
        if (search_occurrence_fits(options, text, at, needle.size())) return true;
    return false;
}

bool search_term_matches(const SearchCondition& condition, const SearchTerm& term, const EntryTexts& texts) {
    bool any = false;
    for (const SearchAlternative& alternative : term.alternatives)
        if (alternative_matches(condition, alternative, texts)) {
            any = true;
            break;
        }
    if (term.alternatives.empty()) any = true;  // a negated term that matches everything
    return any != term.negated;
}

bool search_matches(const SearchCondition& condition, const EntryTexts& texts) {
    if (condition.invalid) return false;
    if (condition.match_all) return true;
    if (condition.regex)
        return RE2::PartialMatch(condition.options.match_path ? texts.raw_path : texts.raw_name, *condition.regex);
    for (const SearchTerm& term : condition.terms)
        if (!search_term_matches(condition, term, texts)) return false;
    return true;
}

}  // namespace host
