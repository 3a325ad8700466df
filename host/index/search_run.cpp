// The search walks the entries in name order, so results need no sort for the name order. Two
// fast paths produce candidates without looking at every entry: one substring searched over the
// whole name arena (names are separated by line feeds, which no name holds), and a regular
// expression run over the same arena in multi-line mode.
#include "host/index/search_run.h"

#include <re2/re2.h>

#include <cstring>

#include "host/index/text_fold.h"

namespace host {
namespace {

constexpr uint32_t CANCEL_CHECK_MASK = 0xFFFF;

bool cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

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

// A term that one arena search can narrow: positive, one alternative over the name, in the raw
// form or the fully folded form. A plain substring is answered whole; a wildcard pattern gives
// candidates through its longest literal part.
bool term_fits_arena(const SearchCondition& condition, const SearchTerm& term) {
    if (term.negated || term.alternatives.size() != 1) return false;
    const SearchAlternative& alternative = term.alternatives[0];
    if (alternative.whole_path) return false;
    unsigned folds = condition.form.folds;
    return condition.form.plain() && (folds == 0 || folds == (FOLD_CASE | FOLD_MARKS));
}

std::string_view arena_needle(const SearchTerm& term) {
    const SearchAlternative& alternative = term.alternatives[0];
    if (!alternative.wildcard) return alternative.needle;
    std::string_view longest;
    for (const GlobPart& part : alternative.glob)
        if (part.token == GLOB_LITERAL && part.text.size() > longest.size()) longest = part.text;
    return longest;
}

void arena_substring(const IndexSnapshot& s, const SearchCondition& condition, const SearchTerm& term,
                     const std::atomic<bool>* cancel, std::vector<uint32_t>* candidates) {
    std::string_view needle = arena_needle(term);
    if (needle.find('\n') != std::string_view::npos || s.entries.empty()) return;
    // A wildcard's literal may lie anywhere in the name: its placement is checked later.
    SearchOptions anywhere;
    const SearchOptions& placement = term.alternatives[0].wildcard ? anywhere : condition.options;
    bool folded = condition.form.folds != 0;
    const std::string& arena = folded ? s.folded : s.names;
    std::string_view haystack = arena;
    size_t size = arena.size(), at = 0;
    uint32_t cursor = 0, rounds = 0;
    while (at < size) {
        size_t position = haystack.find(needle, at);
        if (position == std::string_view::npos) break;
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
        if ((++rounds & 0xFFF) == 0 && cancelled(cancel)) return;
    }
}

void arena_regex(const IndexSnapshot& s, const SearchCondition& condition, const std::atomic<bool>* cancel,
                 std::vector<uint32_t>* candidates) {
    if (s.entries.empty()) return;
    re2::StringPiece text(s.names);
    size_t at = 0;
    uint32_t cursor = 0, rounds = 0;
    re2::StringPiece match;
    while (at <= text.size() &&
           condition.regex->Match(text, at, text.size(), RE2::UNANCHORED, &match, 1)) {
        size_t position = match.data() - text.data();
        uint32_t e = entry_at(s, false, position, cursor);
        cursor = e;
        candidates->push_back(e);
        at = s.entries[e].name_offset + s.entries[e].name_length + 1;
        if ((++rounds & 0xFFF) == 0 && cancelled(cancel)) return;
    }
}

// Candidates from the most selective fast path, or false when every entry must be looked at.
bool fast_candidates(const IndexSnapshot& s, const SearchRequest& request, const std::atomic<bool>* cancel,
                     std::vector<uint32_t>* candidates, Verified* verified) {
    for (const SearchCondition* condition : {&request.main, &request.filter}) {
        if (condition->regex && !condition->options.match_path) {
            arena_regex(s, *condition, cancel, candidates);
            verified->regex_of = condition;
            return true;
        }
    }
    const SearchTerm* best = nullptr;
    const SearchCondition* best_condition = nullptr;
    for (const SearchCondition* condition : {&request.main, &request.filter})
        for (const SearchTerm& term : condition->terms)
            if (term_fits_arena(*condition, term) && !arena_needle(term).empty() &&
                (!best || arena_needle(term).size() > arena_needle(*best).size())) {
                best = &term;
                best_condition = condition;
            }
    if (!best) return false;
    arena_substring(s, *best_condition, *best, cancel, candidates);
    if (!best->alternatives[0].wildcard) verified->term = best;
    return true;
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

struct RawPath {
    std::string path;
    std::vector<size_t> marks{0};
    void enter(const IndexSnapshot& s, uint32_t e) {
        path.resize(marks.back());
        if (!path.empty()) path.push_back('\\');
        path.append(entry_name(s, e));
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
    Walker(const IndexSnapshot& s, const SearchRequest& request, const Verified& verified)
        : s_(s), request_(request), verified_(verified), main_{&request.main, {}, {}, {0}, {}},
          filter_{&request.filter, {}, {}, {0}, {}} {}

    bool matches_by_name(uint32_t e) {
        if (!kind_included(s_, request_, e)) return false;
        return matches(main_, e, {}, {}) && matches(filter_, e, {}, {});
    }

    // Walks the tree depth first, building each entry's path, and marks the matches.
    bool walk(const std::vector<uint8_t>* candidate, std::vector<uint8_t>* hit, const std::atomic<bool>* cancel) {
        struct Frame {
            uint32_t first, count, next;
        };
        std::vector<Frame> stack{{s_.top_first, s_.top_count, 0}};
        uint32_t visited = 0;
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
            if ((++visited & CANCEL_CHECK_MASK) == 0 && cancelled(cancel)) return false;
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
        texts.raw_name = entry_name(s_, e);
        texts.raw_path = raw_path;
        texts.name = form.name_of(s_, e, &form.name_scratch);
        texts.path = path;
        return condition_matches(condition, texts, verified_);
    }

    const IndexSnapshot& s_;
    const SearchRequest& request_;
    const Verified& verified_;
    FormText main_;
    FormText filter_;
    RawPath raw_;
};

}  // namespace

bool search_run(const IndexSnapshot& s, const SearchRequest& request, const std::atomic<bool>* cancel,
                std::vector<uint32_t>* out) {
    out->clear();
    if (request.nothing || request.main.invalid || request.filter.invalid) return true;
    if (!request.include_files && !request.include_folders) return true;
    std::vector<uint32_t> candidates;
    Verified verified;
    bool narrowed = fast_candidates(s, request, cancel, &candidates, &verified);
    if (cancelled(cancel)) return false;
    Walker walker(s, request, verified);
    if (request.main.needs_path() || request.filter.needs_path()) {
        std::vector<uint8_t> candidate, hit(s.entries.size(), 0);
        if (narrowed) {
            candidate.assign(s.entries.size(), 0);
            for (uint32_t e : candidates) candidate[e] = 1;
        }
        if (!walker.walk(narrowed ? &candidate : nullptr, &hit, cancel)) return false;
        for (uint32_t e = 0; e < hit.size(); ++e)
            if (hit[e]) out->push_back(e);
        return true;
    }
    if (narrowed) {
        out->reserve(candidates.size());
        for (uint32_t e : candidates)
            if (walker.matches_by_name(e)) out->push_back(e);
        return !cancelled(cancel);
    }
    uint32_t count = static_cast<uint32_t>(s.entries.size());
    for (uint32_t e = 0; e < count; ++e) {
        if ((e & CANCEL_CHECK_MASK) == 0 && cancelled(cancel)) return false;
        if (walker.matches_by_name(e)) out->push_back(e);
    }
    return true;
}

}  // namespace host
