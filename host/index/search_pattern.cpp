#include "host/index/search_pattern.h"

#include <re2/re2.h>

#include <algorithm>
#include <map>
#include <unordered_set>

#include "host/index/text_fold.h"

namespace host {
namespace {

constexpr int64_t REGEX_MEMORY_BUDGET = 8 << 20;
// Beyond these limits a search is refused at once: RE2 cannot be interrupted while it parses and
// compiles, and a search of many distinct terms holds a worker for seconds. No hand-written
// search comes near them (a list of a few hundred names does not).
constexpr size_t REGEX_MAX_BYTES = 32 << 10;
constexpr size_t REGEX_MAX_NESTING = 100;      // groups inside groups: RE2's parser slows with depth
constexpr size_t REGEX_MAX_EXPANDED = 20000;   // pieces after repeats are copied out, as RE2 does first
constexpr size_t REGEX_UNICODE_CLASS_PIECES = 20;  // a \p{...} class costs RE2 about as much as this many
constexpr int64_t REGEX_PROBE_BUDGET = 256 << 10;  // a first compilation in this budget fails within
                                                   // about 2 ms beyond some 10,000 instructions
constexpr size_t SEARCH_MAX_ALTERNATIVES = 1024;    // distinct alternatives of all terms: each one is
                                                    // compared with every name
constexpr size_t SEARCH_MAX_TERMS_WRITTEN = 8192;   // different terms as written, to bound the reading

// One character of a term after quote removal: quoted characters are never operators.
struct TermChar {
    char byte;
    bool quoted;
};

// Reads the next term from `*at`: terms are separated by blanks outside double quotes, and the
// quotes are removed. The quote state carries over from term to term. False at the end.
bool next_term(std::string_view text, size_t* at, bool* quoted, std::vector<TermChar>* chars) {
    chars->clear();
    for (; *at < text.size(); ++*at) {
        char c = text[*at];
        if (c == '"') {
            *quoted = !*quoted;
            continue;
        }
        if (!*quoted && (c == ' ' || c == '\t')) {
            if (!chars->empty()) return true;
            continue;
        }
        chars->push_back({c, *quoted});
    }
    return !chars->empty();
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

// Adds a part to a glob, dropping literals that the text form emptied and runs of "*" beyond
// the first, so that matching never walks parts that cannot change the outcome.
void glob_append(SearchAlternative* alternative, GlobToken token, std::string text) {
    std::vector<GlobPart>& glob = alternative->glob;
    if (token == GLOB_LITERAL && text.empty()) return;
    if (token == GLOB_ANY_RUN && !glob.empty() && glob.back().token == GLOB_ANY_RUN) return;
    if (token == GLOB_LITERAL && !glob.empty() && glob.back().token == GLOB_LITERAL) {
        glob.back().text += text;
        alternative->glob_min_bytes += text.size();
        return;
    }
    alternative->glob_min_bytes += token == GLOB_LITERAL ? text.size() : token == GLOB_ANY_ONE ? 1 : 0;
    glob.push_back({token, std::move(text)});
}

SearchAlternative compile_alternative(const std::vector<TermChar>& chars, size_t from, size_t to,
                                      const SearchCondition& condition) {
    SearchAlternative alternative;
    alternative.whole_path = condition.options.match_path || has_path_separator(chars, from, to);
    std::string literal;
    for (size_t i = from; i < to; ++i) {
        char c = chars[i].byte == '/' ? '\\' : chars[i].byte;
        if (!chars[i].quoted && (c == '*' || c == '?')) {
            glob_append(&alternative, GLOB_LITERAL, in_form(literal, condition.form));
            literal.clear();
            alternative.wildcard = true;
            glob_append(&alternative, c == '*' ? GLOB_ANY_RUN : GLOB_ANY_ONE, {});
            continue;
        }
        literal.push_back(c);
    }
    if (!alternative.wildcard) {
        alternative.needle = in_form(literal, condition.form);
        return alternative;
    }
    glob_append(&alternative, GLOB_LITERAL, in_form(literal, condition.form));
    return alternative;
}

// Whether every text matches: an empty substring, or a glob that is one "*".
bool alternative_matches_everything(const SearchAlternative& alternative) {
    if (!alternative.wildcard) return alternative.needle.empty();
    return alternative.glob.size() == 1 && alternative.glob[0].token == GLOB_ANY_RUN;
}

// A byte string that equals another alternative's exactly when the two match the same texts
// for the same reasons.
std::string alternative_key(const SearchAlternative& alternative) {
    std::string key{static_cast<char>(alternative.whole_path), static_cast<char>(alternative.wildcard)};
    auto add = [&](char token, std::string_view text) {
        uint32_t size = static_cast<uint32_t>(text.size());
        key.push_back(token);
        key.append(reinterpret_cast<const char*>(&size), sizeof size);
        key.append(text);
    };
    if (!alternative.wildcard) add(GLOB_LITERAL, alternative.needle);
    for (const GlobPart& part : alternative.glob) add(part.token, part.text);
    return key;
}

// A term: an optional leading "!", then alternatives separated by unquoted "|". Alternatives
// given twice are kept once, in a fixed order, so that *key identifies what the term matches.
// False when the term adds no condition, or when it has more than `room` distinct alternatives
// (then *too_many is set, before they are all compiled).
bool compile_term(const std::vector<TermChar>& chars, const SearchCondition& condition, size_t room,
                  SearchTerm* term, std::string* key, bool* too_many) {
    size_t at = 0;
    if (!chars.empty() && chars[0].byte == '!' && !chars[0].quoted) {
        term->negated = true;
        at = 1;
    }
    if (at == chars.size()) return false;  // a lone "!"
    bool matches_everything = false;
    std::map<std::string, SearchAlternative> keyed;
    size_t start = at;
    for (size_t i = at; i <= chars.size() && !matches_everything; ++i) {
        if (i < chars.size() && !(chars[i].byte == '|' && !chars[i].quoted)) continue;
        SearchAlternative alternative = compile_alternative(chars, start, i, condition);
        start = i + 1;
        if (alternative_matches_everything(alternative)) matches_everything = true;
        else keyed.emplace(alternative_key(alternative), std::move(alternative));
        if (keyed.size() > room) {
            *too_many = true;
            return false;
        }
    }
    // A term that matches every name ("a|", "*" or only ignored characters) adds no condition;
    // its negation excludes everything.
    if (matches_everything) keyed.clear();
    *key = std::string{static_cast<char>(term->negated)};
    for (auto& [alternative_key, alternative] : keyed) {
        uint32_t size = static_cast<uint32_t>(alternative_key.size());
        key->append(reinterpret_cast<const char*>(&size), sizeof size);
        key->append(alternative_key);
        term->alternatives.push_back(std::move(alternative));
    }
    return !term->alternatives.empty() || (matches_everything && term->negated);
}

void refuse(SearchCondition* condition, std::string error) {
    condition->invalid = true;
    condition->error = std::move(error);
    condition->terms.clear();
}

// A term written again is skipped before it is compiled, so that a long text of repeats costs
// little; terms written differently that mean the same (case, order of alternatives) count once.
void compile_terms(std::string_view text, SearchCondition* condition) {
    std::unordered_set<std::string> written, compiled;
    std::vector<TermChar> chars;
    std::string as_written;
    size_t at = 0, alternatives = 0;
    bool quoted = false;
    while (next_term(text, &at, &quoted, &chars)) {
        as_written.clear();
        for (TermChar c : chars) as_written.append({c.byte, static_cast<char>(c.quoted)});
        if (!written.insert(as_written).second) continue;
        if (written.size() > SEARCH_MAX_TERMS_WRITTEN)
            return refuse(condition, "search text refused: more than " + std::to_string(SEARCH_MAX_TERMS_WRITTEN) +
                                         " different terms");
        SearchTerm term;
        std::string key;
        bool too_many = false;
        bool fresh = compile_term(chars, *condition, SEARCH_MAX_ALTERNATIVES, &term, &key, &too_many) &&
                     compiled.insert(std::move(key)).second;
        if (fresh) alternatives += term.alternatives.size();
        if (too_many || alternatives > SEARCH_MAX_ALTERNATIVES)
            return refuse(condition, "search text refused: more than " + std::to_string(SEARCH_MAX_ALTERNATIVES) +
                                         " distinct terms and alternatives");
        if (fresh) condition->terms.push_back(std::move(term));
    }
}

// What RE2 builds before it compiles: its size once every repeat {n} or {n,m} has copied out
// what it repeats (nested repeats multiply), and the deepest nesting of groups.
struct RegexShape {
    size_t expanded = 0;
    size_t nesting = 0;
};

// The end of the piece at text[at]: an escape (with \Q...\E, \p{...} and \x{...} whole), a
// character class (where "]" right after "[" or "[^" is a member and "[:name:]" holds a "]" of
// its own), or one byte.
size_t regex_piece_end(std::string_view text, size_t at) {
    auto through = [&](std::string_view closing, size_t from) {
        size_t end = text.find(closing, from);
        return end == std::string_view::npos ? text.size() : end + closing.size();
    };
    if (text[at] == '\\' && at + 1 < text.size()) {
        char kind = text[at + 1];
        if (kind == 'Q') return through("\\E", at + 2);
        if ((kind == 'p' || kind == 'P' || kind == 'x') && at + 2 < text.size() && text[at + 2] == '{')
            return through("}", at + 3);
        if (kind == 'p' || kind == 'P') return std::min(text.size(), at + 3);  // \pL
        return at + 2;
    }
    if (text[at] != '[') return at + 1;
    size_t j = at + 1;
    if (j < text.size() && text[j] == '^') ++j;
    if (j < text.size() && text[j] == ']') ++j;
    while (j < text.size() && text[j] != ']') {
        if (text[j] == '\\') j += 2;
        else if (text.substr(j, 2) == "[:") j = through(":]", j + 2);
        else ++j;
    }
    return std::min(text.size(), j + 1);
}

// A repeat {n}, {n,} or {n,m} at text[at]: sets *end past it and *copies to the number of copies
// RE2 makes. False when "{" starts no repeat (it is then a literal).
bool regex_repeat(std::string_view text, size_t at, size_t* end, size_t* copies) {
    size_t numbers[2] = {0, 0}, count = 0, i = at + 1;
    bool comma = false;
    for (; i < text.size() && text[i] != '}'; ++i) {
        if (text[i] == ',' && !comma && i > at + 1) comma = true;
        else if (text[i] >= '0' && text[i] <= '9') numbers[comma] = std::min<size_t>(numbers[comma] * 10 + (text[i] - '0'), 1 << 20);
        else return false;
        count += !comma;
    }
    if (i == text.size() || count == 0) return false;
    *end = i + 1;
    *copies = std::max<size_t>(1, comma ? std::max(numbers[0] + 1, numbers[1]) : numbers[0]);
    return true;
}

RegexShape regex_shape(std::string_view text) {
    constexpr size_t CEILING = SIZE_MAX / 4;  // sizes saturate here
    RegexShape shape;
    std::vector<size_t> groups{0};  // the size of each open group so far
    size_t last = 0;                // the size of the last piece: what a repeat copies
    for (size_t at = 0; at < text.size();) {
        size_t end = 0, copies = 0;
        if (text[at] == '(') {
            groups.push_back(0);
            shape.nesting = std::max(shape.nesting, groups.size() - 1);
            last = 0;
            end = at + 1;
        } else if (text[at] == ')' && groups.size() > 1) {
            last = groups.back();
            groups.pop_back();
            groups.back() = std::min(CEILING, groups.back() + last);
            end = at + 1;
        } else if (text[at] == '{' && regex_repeat(text, at, &end, &copies)) {
            size_t added = last > CEILING / copies ? CEILING : last * (copies - 1);
            groups.back() = std::min(CEILING, groups.back() + added);
            last = std::min(CEILING, last + added);
        } else {
            end = regex_piece_end(text, at);
            bool unicode_class = text[at] == '\\' && end > at + 1 && (text[at + 1] == 'p' || text[at + 1] == 'P');
            last = unicode_class ? REGEX_UNICODE_CLASS_PIECES : 1;
            groups.back() = std::min(CEILING, groups.back() + last);
        }
        at = end;
    }
    for (size_t group : groups) shape.expanded = std::min(CEILING, shape.expanded + group);
    return shape;
}

void compile_regex(std::string_view text, SearchCondition* condition) {
    const char* rejected = "regular expression rejected: ";
    if (text.size() > REGEX_MAX_BYTES)
        return refuse(condition, rejected + ("longer than " + std::to_string(REGEX_MAX_BYTES) + " bytes"));
    RegexShape shape = regex_shape(text);
    if (shape.nesting > REGEX_MAX_NESTING)
        return refuse(condition, rejected + ("groups nested deeper than " + std::to_string(REGEX_MAX_NESTING)));
    if (shape.expanded > REGEX_MAX_EXPANDED)
        return refuse(condition, rejected + ("more than " + std::to_string(REGEX_MAX_EXPANDED) +
                                             " pieces once its repeats are copied out"));
    RE2::Options options;
    options.set_case_sensitive(condition->options.match_case);
    options.set_never_nl(true);
    options.set_log_errors(false);
    // Multi-line mode: ^ and $ also match at the ends of each name of the name arena. Names are
    // matched in composed form (NFC), so the expression is read in that form too.
    std::string pattern = "(?m)";
    text_fold_append(text, FOLD_COMPOSE, &pattern);
    options.set_max_mem(REGEX_PROBE_BUDGET);
    if (RE2 probe(pattern, options); !probe.ok()) return refuse(condition, rejected + probe.error());
    // Compiled again with room for the states that matching caches.
    options.set_max_mem(REGEX_MEMORY_BUDGET);
    auto regex = std::make_shared<RE2>(pattern, options);
    if (!regex->ok()) return refuse(condition, rejected + regex->error());
    condition->regex = std::move(regex);
}

// Glob over the whole text: "*" any run of characters, "?" one character (a UTF-8 sequence).
// Character boundaries are the bytes that do not continue a sequence, and the end.
bool is_boundary(std::string_view text, size_t at) {
    return at == 0 || at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
}

size_t next_character(std::string_view text, size_t at) {
    ++at;
    while (at < text.size() && !is_boundary(text, at)) ++at;
    return at;
}

size_t previous_character(std::string_view text, size_t at) {
    --at;
    while (at > 0 && !is_boundary(text, at)) --at;
    return at;
}

// Matches the parts [from, to), none of them "*", at `at`; sets *end past them.
bool segment_matches_at(const std::vector<GlobPart>& glob, size_t from, size_t to, std::string_view text, size_t at,
                        size_t* end) {
    for (size_t part = from; part < to; ++part) {
        if (glob[part].token == GLOB_ANY_ONE) {
            if (at >= text.size()) return false;
            at = next_character(text, at);
        } else if (text.substr(at, glob[part].text.size()) == glob[part].text) {
            at += glob[part].text.size();
        } else {
            return false;
        }
    }
    *end = at;
    return true;
}

// Matches the parts [from, to), none of them "*", so that they end at the end of the text; sets
// *start where they begin.
bool segment_matches_at_end(const std::vector<GlobPart>& glob, size_t from, size_t to, std::string_view text,
                            size_t* start) {
    size_t at = text.size();
    for (size_t part = to; part-- > from;) {
        if (glob[part].token == GLOB_ANY_ONE) {
            if (at == 0) return false;
            at = previous_character(text, at);
            continue;
        }
        const std::string& literal = glob[part].text;
        if (literal.size() > at || text.substr(at - literal.size(), literal.size()) != literal) return false;
        at -= literal.size();
    }
    *start = at;
    return true;
}

// The first character boundary at or after `at` where the parts [from, to) match; sets *end.
bool segment_find(const std::vector<GlobPart>& glob, size_t from, size_t to, std::string_view text, size_t at,
                  size_t* end) {
    const GlobPart& first = glob[from];
    size_t star_start = at;  // the "*" may match nothing, or whole characters
    while (at <= text.size()) {
        if (first.token == GLOB_LITERAL) {
            at = text.find(first.text, at);
            if (at == std::string_view::npos) return false;
        }
        if ((at == star_start || is_boundary(text, at)) && segment_matches_at(glob, from, to, text, at, end))
            return true;
        if (at == text.size()) return false;
        at = first.token == GLOB_LITERAL ? at + 1 : next_character(text, at);
    }
    return false;
}

// The parts between two "*" go at their leftmost place: that leaves the most room to the rest,
// so no placement is ever taken back, and the time is about the text's length per part.
bool glob_matches(const SearchAlternative& alternative, std::string_view text) {
    const std::vector<GlobPart>& glob = alternative.glob;
    if (text.size() < alternative.glob_min_bytes) return false;
    auto star_after = [&](size_t part) {
        while (part < glob.size() && glob[part].token != GLOB_ANY_RUN) ++part;
        return part;
    };
    size_t to = star_after(0), at = 0;
    if (!segment_matches_at(glob, 0, to, text, 0, &at)) return false;
    if (to == glob.size()) return at == text.size();
    while (true) {
        size_t from = to + 1;
        to = star_after(from);
        if (to == glob.size()) {
            size_t start = 0;
            return from == to || (segment_matches_at_end(glob, from, to, text, &start) && start >= at &&
                                  (start == at || is_boundary(text, start)));
        }
        if (!segment_find(glob, from, to, text, at, &at)) return false;
    }
}

bool alternative_matches(const SearchCondition& condition, const SearchAlternative& alternative,
                         const EntryTexts& texts) {
    std::string_view text = alternative.whole_path ? texts.path : texts.name;
    if (alternative.wildcard) return glob_matches(alternative, text);
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

bool search_text_is_blank(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

SearchCondition search_compile(std::string_view text, const SearchOptions& options) {
    SearchCondition condition;
    condition.options = options;
    condition.form.folds = (options.match_case ? 0u : FOLD_CASE) | (options.match_diacritics ? 0u : FOLD_MARKS);
    condition.form.strip_punctuation = options.ignore_punctuation;
    condition.form.strip_whitespace = options.ignore_whitespace;
    if (search_text_is_blank(text)) return condition;
    condition.match_all = false;
    if (options.regex) {
        compile_regex(text, &condition);
        return condition;
    }
    compile_terms(text, &condition);
    condition.match_all = condition.terms.empty() && !condition.invalid;
    return condition;
}

bool search_occurrence_fits(const SearchOptions& options, std::string_view text, size_t at, size_t length) {
    if (options.prefix && at != 0) return false;
    if (options.suffix && at + length != text.size()) return false;
    return !options.whole_word || (text_is_word_boundary(text, at) && text_is_word_boundary(text, at + length));
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
