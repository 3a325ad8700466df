// The search walks the entries in name order, so results need no sort for the name order. Two
// fast paths produce candidates without looking at every entry: the substrings of one term
// searched over the whole name arena (names are separated by line feeds, which no name holds),
// and a regular expression run over the same arena in multi-line mode. Every loop polls for a
// stop between pieces of work of about a millisecond at most.
#include "host/index/search_run.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "host/index/text_fold.h"

namespace host {
namespace {

// Work between two polls: a window of the name arena, or entries whose matching costs about as
// much (fewer when the condition has many alternatives), so that a stop is seen within a
// millisecond or so.
constexpr size_t ARENA_WINDOW_BYTES = 64 << 10;
constexpr uint32_t POLL_WORK = 2048;
constexpr uint32_t ARENA_FLAG_CHECKS = 1 << 16;  // entries whose flags alone are looked at
// Needles of one term searched in one pass from this many on (below, a pass per needle is as
// quick), and up to this many bytes together (RE2 compiles them in about a millisecond).
constexpr size_t ARENA_ALTERNATION_MIN_NEEDLES = 8;
constexpr size_t ARENA_ALTERNATION_MAX_BYTES = 8 << 10;

// What the fast path has already proved for its candidates.
struct Verified {
    const SearchTerm* term = nullptr;
    const SearchCondition* regex_of = nullptr;
};

// The entry whose line in an arena holds byte `position`, searching forward from `from`.
uint32_t entry_at(const IndexSnapshot& s, bool folded, size_t position, uint32_t from) {
    auto offset = [&](uint32_t e) { return folded ? s.entries[e].folded_offset : s.entries[e].name_offset; };
    uint32_t count = static_cast<uint32_t>(s.entries.size());
    uint32_t low = from, step = 1;
    while (low + step < count && offset(low + step) <= position) {
        low += step;
        step *= 2;
    }
    uint32_t high = std::min(count, low + step);  // offset(high) > position, or high == count
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        if (offset(middle) <= position) low = middle;
        else high = middle;
    }
    return low;
}

std::string_view arena_needle(const SearchAlternative& alternative) {
    if (!alternative.wildcard) return alternative.needle;
    std::string_view longest;
    for (const GlobPart& part : alternative.glob)
        if (part.token == GLOB_LITERAL && part.text.size() > longest.size()) longest = part.text;
    return longest;
}

// A term that arena searches can narrow: positive, every alternative over the name with a
// literal to look for, in the raw form or the fully folded form. A plain substring is answered
// whole; a wildcard pattern gives candidates through its longest literal part.
bool term_fits_arena(const SearchCondition& condition, const SearchTerm& term) {
    unsigned folds = condition.form.folds;
    if (term.negated || term.alternatives.empty() || !condition.form.plain() ||
        (folds != 0 && folds != (FOLD_CASE | FOLD_MARKS)))
        return false;
    for (const SearchAlternative& alternative : term.alternatives)
        if (alternative.whole_path || arena_needle(alternative).empty()) return false;
    return true;
}

// How selective an arena search for the term is likely to be: its shortest needle, then fewer
// alternatives.
bool term_narrows_better(const SearchTerm& term, const SearchTerm& other) {
    auto shortest = [](const SearchTerm& t) {
        size_t length = SIZE_MAX;
        for (const SearchAlternative& alternative : t.alternatives)
            length = std::min(length, arena_needle(alternative).size());
        return length;
    };
    if (shortest(term) != shortest(other)) return shortest(term) > shortest(other);
    return term.alternatives.size() < other.alternatives.size();
}

// The end of the arena window that starts at `at`: just past a line feed, so no name is cut.
size_t window_end(const std::string& arena, size_t at) {
    size_t end = std::min(arena.size(), at + ARENA_WINDOW_BYTES);
    size_t feed = arena.find('\n', end - 1);
    return feed == std::string::npos ? arena.size() : feed + 1;
}

// Each name that holds the alternative's needle where the placement options allow it, once.
// False when stopped.
bool arena_substring(const IndexSnapshot& s, const SearchCondition& condition, const SearchAlternative& alternative,
                     const SearchPoll& poll, std::vector<uint32_t>* candidates) {
    std::string_view needle = arena_needle(alternative);
    if (needle.find('\n') != std::string_view::npos || s.entries.empty()) return true;  // no name holds one
    // A wildcard's literal may lie anywhere in the name: its placement is checked later.
    SearchOptions anywhere;
    const SearchOptions& placement = alternative.wildcard ? anywhere : condition.options;
    bool folded = condition.form.folds != 0;
    const std::string& arena = folded ? s.folded : s.names;
    const char* base = arena.data();
    size_t at = 0;
    uint32_t cursor = 0;
    while (at < arena.size()) {
        if (search_poll_stop(poll)) return false;
        size_t end = window_end(arena, at);
        while (at < end) {
            size_t offset = std::string_view(base + at, end - at).find(needle);
            if (offset == std::string_view::npos) break;
            size_t position = at + offset;
            uint32_t e = entry_at(s, folded, position, cursor);
            cursor = e;
            std::string_view text = folded ? entry_folded(s, e) : entry_name(s, e);
            size_t start = folded ? s.entries[e].folded_offset : s.entries[e].name_offset;
            if (search_occurrence_fits(placement, text, position - start, needle.size())) {
                candidates->push_back(e);
                at = start + text.size() + 1;
            } else {
                at = position + 1;
            }
        }
        at = end;
    }
    return true;
}

// Each line of an arena (names, each followed by a line feed) that the expression matches, once:
// the search goes on after the matching line. line_at(position, &next) gives the entry whose line
// holds the byte and sets where the next line starts. An empty match (of "$", "x*"...) needs no
// care: it lies on a line, and the next search starts on the next line. False when stopped.
template <typename LineAt>
bool regex_lines(const std::string& arena, const RE2& regex, const SearchPoll& poll, LineAt line_at,
                 std::vector<uint32_t>* found) {
    re2::StringPiece text(arena);
    size_t at = 0;
    re2::StringPiece match;
    while (at < text.size()) {
        if (search_poll_stop(poll)) return false;
        size_t end = window_end(arena, at);
        while (at < end && regex.Match(text, at, end, RE2::UNANCHORED, &match, 1)) {
            size_t position = match.data() - text.data();
            if (position >= end) break;  // an empty match at the start of the next window's first name
            found->push_back(line_at(position, &at));
        }
        at = end;
    }
    return true;
}

// Each name of the arena (raw or folded) that the expression matches, once. False when stopped.
bool arena_regex(const IndexSnapshot& s, bool folded, const RE2& regex, const SearchPoll& poll,
                 std::vector<uint32_t>* candidates) {
    uint32_t cursor = 0;
    auto line_at = [&](size_t position, size_t* next) {
        cursor = entry_at(s, folded, position, cursor);
        const IndexEntry& entry = s.entries[cursor];
        *next = folded ? entry.folded_offset + entry.folded_length + 1 : entry.name_offset + entry.name_length + 1;
        return cursor;
    };
    return regex_lines(folded ? s.folded : s.names, regex, poll, line_at, candidates);
}

// The name arena holds names as they are, but expressions see them in composed form: the names
// that are not composed are matched again in that form, in one pass over lines of their own, and
// that answer replaces the arena's. False when stopped.
bool regex_recheck_decomposed(const IndexSnapshot& s, const RE2& regex, const SearchPoll& poll,
                              std::vector<uint32_t>* candidates) {
    std::string lines;
    std::vector<uint32_t> owners;  // the entry of each line
    std::vector<size_t> starts;    // where each line starts
    for (size_t i = 0; i < s.extra_folds.size(); ++i) {  // the non-ASCII names, in entry order
        if (i % ARENA_FLAG_CHECKS == 0 && search_poll_stop(poll)) return false;
        const ExtraFold& fold = s.extra_folds[i];
        if (!(s.entries[fold.entry].flags & ENTRY_DECOMPOSED)) continue;
        owners.push_back(fold.entry);
        starts.push_back(lines.size());
        lines.append(extra_fold_form(s, fold, FOLD_COMPOSE));
        lines.push_back('\n');
    }
    if (owners.empty()) return true;
    auto line_at = [&](size_t position, size_t* after) {
        size_t line = std::upper_bound(starts.begin(), starts.end(), position) - starts.begin() - 1;
        *after = line + 1 < starts.size() ? starts[line + 1] : lines.size();
        return owners[line];
    };
    std::vector<uint32_t> hits;
    if (!regex_lines(lines, regex, poll, line_at, &hits)) return false;
    std::vector<uint32_t> kept;  // the arena's candidates that are composed
    for (uint32_t e : *candidates)
        if (!(s.entries[e].flags & ENTRY_DECOMPOSED)) kept.push_back(e);
    candidates->clear();
    std::merge(kept.begin(), kept.end(), hits.begin(), hits.end(), std::back_inserter(*candidates));
    return true;
}

// The names that hold any needle of a term of several alternatives. One pass of an alternation
// of many needles over the arena costs about as much as one needle; a few needles, or needles
// too long to compile quickly, get one pass each. Sets *placed when the needles' placement (whole word, prefix,
// suffix) was checked too. False when stopped.
bool arena_alternatives(const IndexSnapshot& s, const SearchCondition& condition, const SearchTerm& term,
                        const SearchPoll& poll, std::vector<uint32_t>* candidates, bool* placed) {
    size_t bytes = 0;
    for (const SearchAlternative& alternative : term.alternatives) bytes += arena_needle(alternative).size();
    if (term.alternatives.size() >= ARENA_ALTERNATION_MIN_NEEDLES && bytes <= ARENA_ALTERNATION_MAX_BYTES) {
        std::string pattern;
        for (const SearchAlternative& alternative : term.alternatives)
            pattern += (pattern.empty() ? "" : "|") + RE2::QuoteMeta(arena_needle(alternative));
        RE2::Options options;
        options.set_encoding(RE2::Options::EncodingLatin1);  // needles and names compare as bytes
        options.set_never_nl(true);
        options.set_log_errors(false);
        RE2 alternation(pattern, options);
        if (alternation.ok()) {
            const SearchOptions& o = condition.options;
            *placed = !o.whole_word && !o.prefix && !o.suffix;
            return arena_regex(s, condition.form.folds != 0, alternation, poll, candidates);
        }
    }
    // The union, marked in one byte per entry so that memory stays bounded however many needles
    // find the same names.
    std::vector<uint8_t> marked(s.entries.size(), 0);
    for (const SearchAlternative& alternative : term.alternatives) {
        candidates->clear();
        if (!arena_substring(s, condition, alternative, poll, candidates)) return false;
        for (uint32_t e : *candidates) marked[e] = 1;
    }
    candidates->clear();
    for (uint32_t e = 0; e < marked.size(); ++e)
        if (marked[e]) candidates->push_back(e);
    *placed = true;
    return true;
}

// Candidates from the most selective fast path into *narrowed, or false in it when every entry
// must be looked at. False when stopped.
bool fast_candidates(const IndexSnapshot& s, const SearchRequest& request, const SearchPoll& poll,
                     std::vector<uint32_t>* candidates, Verified* verified, bool* narrowed) {
    *narrowed = true;
    for (const SearchCondition* condition : {&request.main, &request.filter}) {
        if (condition->regex && !condition->options.match_path) {
            verified->regex_of = condition;
            return arena_regex(s, false, *condition->regex, poll, candidates) &&
                   regex_recheck_decomposed(s, *condition->regex, poll, candidates);
        }
    }
    const SearchTerm* best = nullptr;
    const SearchCondition* best_condition = nullptr;
    for (const SearchCondition* condition : {&request.main, &request.filter})
        for (const SearchTerm& term : condition->terms)
            if (term_fits_arena(*condition, term) && (!best || term_narrows_better(term, *best))) {
                best = &term;
                best_condition = condition;
            }
    *narrowed = best != nullptr;
    if (!best) return true;
    bool all_substrings = std::none_of(best->alternatives.begin(), best->alternatives.end(),
                                       [](const SearchAlternative& alternative) { return alternative.wildcard; });
    bool placed = true;
    bool finished = best->alternatives.size() == 1
                        ? arena_substring(s, *best_condition, best->alternatives[0], poll, candidates)
                        : arena_alternatives(s, *best_condition, *best, poll, candidates, &placed);
    if (all_substrings && placed) verified->term = best;
    return finished;
}

// Entries between two polls: fewer when each costs more.
uint32_t poll_interval(const SearchRequest& request) {
    size_t work = 1;
    for (const SearchCondition* condition : {&request.main, &request.filter}) {
        if (condition->regex) work += 16;
        for (const SearchTerm& term : condition->terms) work += term.alternatives.size();
    }
    return static_cast<uint32_t>(std::max<size_t>(1, POLL_WORK / work));
}

// One condition's view of the entry texts, with a scratch buffer for stripped forms.
struct FormText {
    const SearchCondition* condition;
    std::string name_scratch;
    std::string path;               // path mode: the folder path so far, then the entry's
    std::vector<size_t> marks{0};   // path lengths of the folders being walked
    std::string component_scratch;

    std::string_view name_of(const IndexSnapshot& s, uint32_t e, std::string* scratch) const {
        std::string_view name = entry_name_in(s, e, condition->form.folds);
        if (condition->form.plain()) return name;
        scratch->clear();
        text_strip_append(name, condition->form.strip_punctuation, condition->form.strip_whitespace, scratch);
        return *scratch;
    }
    void enter(const IndexSnapshot& s, uint32_t e) {
        path.resize(marks.back());
        if (!path.empty() && !condition->form.strip_punctuation) path.push_back('\\');
        path.append(name_of(s, e, &component_scratch));
    }
};

// The path as regular expressions see it: names in composed form.
struct RawPath {
    std::string path;
    std::vector<size_t> marks{0};
    void enter(const IndexSnapshot& s, uint32_t e) {
        path.resize(marks.back());
        if (!path.empty()) path.push_back('\\');
        path.append(entry_name_in(s, e, FOLD_COMPOSE));
    }
};

bool condition_matches(const SearchCondition& condition, const EntryTexts& texts, const Verified& verified) {
    if (condition.invalid) return false;
    if (condition.match_all) return true;
    if (condition.regex) {
        if (verified.regex_of == &condition) return true;
        return search_matches(condition, texts);
    }
    for (const SearchTerm& term : condition.terms)
        if (&term != verified.term && !search_term_matches(condition, term, texts)) return false;
    return true;
}

bool kind_included(const IndexSnapshot& s, const SearchRequest& request, uint32_t e) {
    bool folder = (s.entries[e].flags & ENTRY_FOLDER) != 0;
    return folder ? request.include_folders : request.include_files;
}

class Walker {
public:
    Walker(const IndexSnapshot& s, const SearchRequest& request, const Verified& verified, const SearchPoll& poll)
        : s_(s), request_(request), verified_(verified), poll_(poll), interval_(poll_interval(request)),
          main_{&request.main, {}, {}, {0}, {}}, filter_{&request.filter, {}, {}, {0}, {}} {}

    // Polls at the first call and every interval_ calls after it. True when the search must stop.
    bool stop_due() {
        if (until_poll_-- != 0) return false;
        until_poll_ = interval_ - 1;
        return search_poll_stop(poll_);
    }

    bool matches_by_name(uint32_t e) {
        if (!kind_included(s_, request_, e)) return false;
        return matches(main_, e, {}, {}) && matches(filter_, e, {}, {});
    }

    // Walks the tree depth first, building each entry's path, and marks the matches.
    bool walk(const std::vector<uint8_t>* candidate, std::vector<uint8_t>* hit) {
        struct Frame {
            uint32_t first, count, next;
        };
        std::vector<Frame> stack{{s_.top_first, s_.top_count, 0}};
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.count) {
                stack.pop_back();
                main_.marks.pop_back();
                filter_.marks.pop_back();
                raw_.marks.pop_back();
                continue;
            }
            uint32_t e = s_.children[frame.first + frame.next++];
            if (stop_due()) return false;
            bool folder = s_.entries[e].flags & ENTRY_FOLDER;
            bool wanted = (!candidate || (*candidate)[e]) && kind_included(s_, request_, e);
            if (!wanted && !(folder && s_.entries[e].child_count)) continue;
            main_.enter(s_, e);
            filter_.enter(s_, e);
            raw_.enter(s_, e);
            if (wanted && matches(main_, e, main_.path, raw_.path) && matches(filter_, e, filter_.path, raw_.path))
                (*hit)[e] = 1;
            if (folder && s_.entries[e].child_count) {
                stack.push_back({s_.entries[e].first_child, s_.entries[e].child_count, 0});
                main_.marks.push_back(main_.path.size());
                filter_.marks.push_back(filter_.path.size());
                raw_.marks.push_back(raw_.path.size());
            }
        }
        return true;
    }

private:
    bool matches(FormText& form, uint32_t e, std::string_view path, std::string_view raw_path) {
        const SearchCondition& condition = *form.condition;
        if (condition.match_all) return true;
        EntryTexts texts;
        if (condition.regex) texts.raw_name = entry_name_in(s_, e, FOLD_COMPOSE);
        texts.raw_path = raw_path;
        texts.name = form.name_of(s_, e, &form.name_scratch);
        texts.path = path;
        return condition_matches(condition, texts, verified_);
    }

    const IndexSnapshot& s_;
    const SearchRequest& request_;
    const Verified& verified_;
    const SearchPoll& poll_;
    uint32_t interval_;
    uint32_t until_poll_ = 0;
    FormText main_;
    FormText filter_;
    RawPath raw_;
};

}  // namespace

bool search_run(const IndexSnapshot& s, const SearchRequest& request, const SearchPoll& poll,
                std::vector<uint32_t>* out) {
    out->clear();
    if (request.nothing || request.main.invalid || request.filter.invalid) return true;
    if (!request.include_files && !request.include_folders) return true;
    std::vector<uint32_t> candidates;
    Verified verified;
    bool narrowed = false;
    if (!fast_candidates(s, request, poll, &candidates, &verified, &narrowed)) return false;
    Walker walker(s, request, verified, poll);
    if (request.main.needs_path() || request.filter.needs_path()) {
        std::vector<uint8_t> candidate, hit(s.entries.size(), 0);
        if (narrowed) {
            candidate.assign(s.entries.size(), 0);
            for (uint32_t e : candidates) candidate[e] = 1;
        }
        if (!walker.walk(narrowed ? &candidate : nullptr, &hit)) return false;
        for (uint32_t e = 0; e < hit.size(); ++e)
            if (hit[e]) out->push_back(e);
        return true;
    }
    if (narrowed) {
        out->reserve(candidates.size());
        for (uint32_t e : candidates) {
            if (walker.stop_due()) return false;
            if (walker.matches_by_name(e)) out->push_back(e);
        }
        return true;
    }
    uint32_t count = static_cast<uint32_t>(s.entries.size());
    for (uint32_t e = 0; e < count; ++e) {
        if (walker.stop_due()) return false;
        if (walker.matches_by_name(e)) out->push_back(e);
    }
    return true;
}

}  // namespace host
