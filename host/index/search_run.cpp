// The search walks the entries in name order, so results need no sort for the name order. Two
// fast paths produce candidates without looking at every entry: the substrings of one term
// searched over the whole name arena (names are separated by line feeds, which no name holds),
// and a regular expression run over the same arena in multi-line mode. Every loop polls for a
// stop between pieces of work of about a millisecond at most.
#include "host/index/search_run.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "host/index/index_view.h"
#include "host/index/text_fold.h"

namespace host {
namespace {

// Work between two polls: a window of the name arena, or entries whose matching costs about as
// much (fewer when the condition has many alternatives), so that a stop is seen within a
// millisecond or so.
constexpr size_t ARENA_WINDOW_BYTES = 64 << 10;
constexpr uint32_t POLL_WORK = 2048;
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
            const void* found = memmem(base + at, end - at, needle.data(), needle.size());
            if (!found) break;
            size_t position = static_cast<const char*>(found) - base;
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

// Each name of the arena (raw or folded) that the expression matches, once: the search goes on
// after the matching name's line. An empty match (of "$", "x*"...) needs no care: it lies on a
// name's line, and the next search starts on the next line. False when stopped.
bool arena_regex(const IndexSnapshot& s, bool folded, const RE2& regex, const SearchPoll& poll,
                 std::vector<uint32_t>* candidates) {
    const std::string& arena = folded ? s.folded : s.names;
    re2::StringPiece text(arena);
    size_t at = 0;
    uint32_t cursor = 0;
    re2::StringPiece match;
    while (at < text.size()) {
        if (search_poll_stop(poll)) return false;
        size_t end = window_end(arena, at);
        while (at < end && regex.Match(text, at, end, RE2::UNANCHORED, &match, 1)) {
            size_t position = match.data() - text.data();
            if (position >= end) break;  // an empty match at the start of the next window's first name
            uint32_t e = entry_at(s, folded, position, cursor);
            cursor = e;
            candidates->push_back(e);
            const IndexEntry& entry = s.entries[e];
            at = folded ? entry.folded_offset + entry.folded_length + 1 : entry.name_offset + entry.name_length + 1;
        }
        at = end;
    }
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
            return arena_regex(s, false, *condition->regex, poll, candidates);
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

    std::string_view name_of(const IndexView& view, EntryRef ref, std::string* scratch) const {
        std::string_view name = ref_name_in(view, ref, condition->form.folds);
        if (condition->form.plain()) return name;
        scratch->clear();
        text_strip_append(name, condition->form.strip_punctuation, condition->form.strip_whitespace, scratch);
        return *scratch;
    }
    void enter(const IndexView& view, EntryRef ref) {
        path.resize(marks.back());
        if (!path.empty() && !condition->form.strip_punctuation) path.push_back('\\');
        path.append(name_of(view, ref, &component_scratch));
    }
};

struct RawPath {
    std::string path;
    std::vector<size_t> marks{0};
    void enter(const IndexView& view, EntryRef ref) {
        path.resize(marks.back());
        if (!path.empty()) path.push_back('\\');
        path.append(ref_name(view, ref));
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

bool kind_included(const SearchRequest& request, EntryRef ref) {
    return ref_is_folder(ref) ? request.include_folders : request.include_files;
}

class Walker {
public:
    Walker(const IndexView& view, const SearchRequest& request, const SearchPoll& poll)
        : view_(view), request_(request), poll_(poll), interval_(poll_interval(request)),
          main_{&request.main, {}, {}, {0}, {}}, filter_{&request.filter, {}, {}, {0}, {}} {}

    // Polls at the first call and every interval_ calls after it. True when the search must stop.
    bool stop_due() {
        if (until_poll_-- != 0) return false;
        until_poll_ = interval_ - 1;
        return search_poll_stop(poll_);
    }

    // `verified`: what the candidate's fast path has already proved (nothing for overlay records).
    bool matches_by_name(EntryRef ref, const Verified& verified) {
        if (!kind_included(request_, ref)) return false;
        return matches(main_, ref, {}, {}, verified) && matches(filter_, ref, {}, {}, verified);
    }

    // Walks the tree depth first, building each entry's path, and marks the matches. `candidate`
    // (by entry id) narrows the base entries that can match; overlay records are all candidates.
    bool walk(const std::vector<uint8_t>* candidate, const Verified& verified, std::vector<uint8_t>* hit) {
        struct Frame {
            std::span<const uint32_t> children;
            size_t next;
        };
        std::vector<std::vector<uint32_t>> scratch(1);  // a folder's own list of children, by depth
        std::vector<Frame> stack{{view_children(view_, INDEX_NO_ENTRY, &scratch[0]), 0}};
        bool pure = view_is_pure(view_);
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.children.size()) {
                stack.pop_back();
                main_.marks.pop_back();
                filter_.marks.pop_back();
                raw_.marks.pop_back();
                continue;
            }
            uint32_t e = frame.children[frame.next++];
            if (stop_due()) return false;
            EntryRef ref = view_entry(view_, e);
            if (!ref) continue;
            bool folder = ref_is_folder(ref);
            bool has_children = folder && (!ref.base || ref.base->child_count || !pure);
            bool wanted = (!candidate || ref.record || (*candidate)[e]) && kind_included(request_, ref);
            if (!wanted && !has_children) continue;
            main_.enter(view_, ref);
            filter_.enter(view_, ref);
            raw_.enter(view_, ref);
            const Verified& proved = ref.record ? Verified{} : verified;
            if (wanted && matches(main_, ref, main_.path, raw_.path, proved) &&
                matches(filter_, ref, filter_.path, raw_.path, proved))
                (*hit)[e] = 1;
            if (!has_children) continue;
            if (scratch.size() <= stack.size()) scratch.resize(stack.size() + 1);
            std::span<const uint32_t> children = view_children(view_, e, &scratch[stack.size()]);
            if (children.empty()) continue;
            stack.push_back({children, 0});
            main_.marks.push_back(main_.path.size());
            filter_.marks.push_back(filter_.path.size());
            raw_.marks.push_back(raw_.path.size());
        }
        return true;
    }

private:
    bool matches(FormText& form, EntryRef ref, std::string_view path, std::string_view raw_path,
                 const Verified& verified) {
        const SearchCondition& condition = *form.condition;
        if (condition.match_all) return true;
        EntryTexts texts;
        texts.raw_name = ref_name(view_, ref);
        texts.raw_path = raw_path;
        texts.name = form.name_of(view_, ref, &form.name_scratch);
        texts.path = path;
        return condition_matches(condition, texts, verified);
    }

    const IndexView& view_;
    const SearchRequest& request_;
    const SearchPoll& poll_;
    uint32_t interval_;
    uint32_t until_poll_ = 0;
    FormText main_;
    FormText filter_;
    RawPath raw_;
};

// A search by paths: the tree is walked, the base's entries narrowed by the fast path.
bool search_by_path(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                    const std::vector<uint32_t>& candidates, const Verified& verified, bool narrowed,
                    std::vector<uint32_t>* out) {
    Walker walker(view, request, poll);
    std::vector<uint8_t> candidate, hit(view_id_end(view), 0);
    if (narrowed) {
        candidate.assign(view.generation->base_count, 0);
        for (uint32_t e : candidates) candidate[e] = 1;
    }
    if (!walker.walk(narrowed ? &candidate : nullptr, verified, &hit)) return false;
    for (uint32_t e = 0; e < hit.size(); ++e)
        if (hit[e]) out->push_back(e);
    return true;
}

// A search by names: the base's entries that still hold (narrowed by the fast path), then the
// overlay's records.
bool search_by_name(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                    const std::vector<uint32_t>& candidates, const Verified& verified, bool narrowed,
                    std::vector<uint32_t>* out) {
    Walker walker(view, request, poll);
    const IndexSnapshot& s = view_base(view);
    bool pure = view_is_pure(view);
    auto try_base = [&](uint32_t e) {
        if (pure || view_base_unchanged(view, e)) {
            if (walker.matches_by_name({&s.entries[e], nullptr}, verified)) out->push_back(e);
        }
    };
    if (narrowed) {
        out->reserve(candidates.size());
        for (uint32_t e : candidates) {
            if (walker.stop_due()) return false;
            try_base(e);
        }
    } else {
        for (uint32_t e = 0; e < view.generation->base_count; ++e) {
            if (walker.stop_due()) return false;
            try_base(e);
        }
    }
    if (pure) return true;
    std::vector<const OverlayRecord*> records;
    view_overlay_records(view, &records);
    for (const OverlayRecord* record : records) {
        if (walker.stop_due()) return false;
        if (walker.matches_by_name({nullptr, record}, {})) out->push_back(record->id);
    }
    return true;
}

}  // namespace

bool search_run(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                std::vector<uint32_t>* out) {
    out->clear();
    if (request.nothing || request.main.invalid || request.filter.invalid) return true;
    if (!request.include_files && !request.include_folders) return true;
    std::vector<uint32_t> candidates;
    Verified verified;
    bool narrowed = false;
    if (!fast_candidates(view_base(view), request, poll, &candidates, &verified, &narrowed)) return false;
    if (request.main.needs_path() || request.filter.needs_path())
        return search_by_path(view, request, poll, candidates, verified, narrowed, out);
    return search_by_name(view, request, poll, candidates, verified, narrowed, out);
}

}  // namespace host
