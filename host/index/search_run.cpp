// The search walks the entries in name order, so results need no sort for the name order. Two
// fast paths produce candidates without looking at every entry: the substrings of one term
// searched over the whole name arena (names are separated by line feeds, which no name holds),
// each through its rarest byte, and a regular expression run over the same arena in multi-line
// mode. Every loop polls for a stop between pieces of work of about a millisecond at most.
#include "host/index/search_run.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>

#include "host/index/arena_find.h"
#include "host/index/index_view.h"
#include "host/index/text_fold.h"

namespace host {
namespace {

// Work between two polls: a window of the name arena, or entries whose matching costs about as
// much (fewer when the condition has many alternatives), so that a stop is seen within a
// millisecond or so.
constexpr size_t ARENA_WINDOW_BYTES = 64 << 10;
constexpr uint32_t POLL_WORK = 2048;
constexpr uint32_t ARENA_FLAG_CHECKS = 1 << 16;  // entries whose flags alone are looked at
// Needles of one term searched as one expression from this many on (below, a search per needle of
// each window is as quick), and up to this many bytes together (RE2 compiles them in about a
// millisecond).
constexpr size_t ARENA_ALTERNATION_MIN_NEEDLES = 8;
constexpr size_t ARENA_ALTERNATION_MAX_BYTES = 8 << 10;

// What the fast path has already proved for its candidates.
struct Verified {
    const SearchTerm* term = nullptr;
    const SearchCondition* regex_of = nullptr;
};

// A text of names, one per line in item order, and where each item's line starts: a base's arena
// (the items are its entries) or the overlay's (the items are its records), raw or folded.
struct BaseNames {
    const IndexGeneration& g;
    const IndexSnapshot& s;
    bool folded;
    BaseNames(const IndexGeneration& generation, bool folded_form)
        : g(generation), s(*generation.base), folded(folded_form) {}
    const ArenaByteCounts& bytes() const { return folded ? g.base_folded_bytes : g.base_name_bytes; }
    const char* data() const { return (folded ? s.folded : s.names).data(); }
    size_t size() const { return (folded ? s.folded : s.names).size(); }
    uint32_t count() const { return static_cast<uint32_t>(s.entries.size()); }
    size_t start(uint32_t e) const { return folded ? s.entries[e].folded_offset : s.entries[e].name_offset; }
    size_t length(uint32_t e) const { return folded ? s.entries[e].folded_length : s.entries[e].name_length; }
};

struct OverlayNames {
    const IndexGeneration& g;
    bool folded;
    uint32_t items;  // the records in the arenas when the search began
    OverlayNames(const IndexGeneration& generation, bool folded_form)
        : g(generation), folded(folded_form), items(generation.arena_records.load(std::memory_order_acquire)) {}
    const char* data() const { return folded ? g.arena_folded : g.arena_names; }
    const ArenaByteCounts& bytes() const { return folded ? g.base_folded_bytes : g.base_name_bytes; }
    size_t size() const { return items == 0 ? 0 : start(items - 1) + length(items - 1) + 1; }
    uint32_t count() const { return items; }
    size_t start(uint32_t i) const { return folded ? g.records.at(i)->folded_at : g.records.at(i)->name_at; }
    size_t length(uint32_t i) const { return folded ? g.records.at(i)->folded.size() : g.records.at(i)->name.size(); }
};

// The item whose line holds byte `position`, searching forward from `from`.
template <typename Names>
uint32_t item_at(const Names& names, size_t position, uint32_t from) {
    uint32_t count = names.count();
    uint32_t low = from, step = 1;
    while (low + step < count && names.start(low + step) <= position) {
        low += step;
        step *= 2;
    }
    uint32_t high = std::min(count, low + step);  // start(high) > position, or high == count
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        if (names.start(middle) <= position) low = middle;
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

// The end of the window that starts at `at`: just past a line feed, so no name is cut.
template <typename Names>
size_t window_end(const Names& names, size_t at) {
    size_t size = names.size();
    size_t end = std::min(size, at + ARENA_WINDOW_BYTES);
    const void* feed = std::memchr(names.data() + end - 1, '\n', size - (end - 1));
    return feed ? static_cast<const char*>(feed) - names.data() + 1 : size;
}

// The names of the window [at, end) that hold the needle where `placement` allows it, each once,
// in order. `cursor` is an item at or before the window's first name.
template <typename Names>
void window_substring(const Names& names, const SearchOptions& placement, std::string_view needle, size_t rare,
                      size_t at, size_t end, uint32_t cursor, std::vector<uint32_t>* found) {
    const char* base = names.data();
    std::string_view window(base, end);
    while (at < end) {
        size_t position = arena_find(window, at, needle, rare);
        if (position == std::string_view::npos) return;
        uint32_t e = item_at(names, position, cursor);
        cursor = e;
        size_t start = names.start(e);
        std::string_view text(base + start, names.length(e));
        if (search_occurrence_fits(placement, text, position - start, needle.size())) {
            found->push_back(e);
            at = start + text.size() + 1;
        } else {
            at = position + 1;
        }
    }
}

// Each name that holds one of the term's needles where the placement options allow it, once, in
// order. The needles are looked for window by window, so that the arena is read from memory once
// however many there are: the second needle finds the window in the cache. False when stopped.
template <typename Names>
bool arena_substrings(const Names& names, const SearchCondition& condition, const SearchTerm& term,
                      const SearchPoll& poll, std::vector<uint32_t>* candidates) {
    // A wildcard's literal may lie anywhere in the name: its placement is checked later.
    static const SearchOptions anywhere;
    struct Needle {
        std::string_view text;
        size_t rare;  // the offset of its byte to look for
        const SearchOptions* placement;
    };
    std::vector<Needle> needles;
    for (const SearchAlternative& alternative : term.alternatives) {
        std::string_view needle = arena_needle(alternative);
        if (needle.find('\n') != std::string_view::npos) continue;  // no name holds one
        needles.push_back({needle, arena_rare_byte(names.bytes(), needle),
                           alternative.wildcard ? &anywhere : &condition.options});
    }
    if (needles.empty() || names.count() == 0) return true;
    size_t at = 0, size = names.size();
    uint32_t cursor = 0;
    while (at < size) {
        if (search_poll_stop(poll)) return false;
        size_t end = window_end(names, at);
        size_t first = candidates->size();
        for (const Needle& needle : needles)
            window_substring(names, *needle.placement, needle.text, needle.rare, at, end, cursor, candidates);
        if (needles.size() > 1) {  // the window's names found by several needles, in order and once
            std::sort(candidates->begin() + first, candidates->end());
            candidates->erase(std::unique(candidates->begin() + first, candidates->end()), candidates->end());
        }
        // The last name found lies before the next window; the search of an item starts from it,
        // as looking items up costs a cache miss a step.
        if (candidates->size() > first) cursor = candidates->back();
        at = end;
    }
    return true;
}

// Each name that the expression matches, once: the search goes on after the matching name's line.
// An empty match (of "$", "x*"...) needs no care: it lies on a name's line, and the next search
// starts on the next line. False when stopped.
template <typename Names>
bool arena_regex(const Names& names, const RE2& regex, const SearchPoll& poll, std::vector<uint32_t>* candidates) {
    re2::StringPiece text(names.data(), names.size());
    size_t at = 0;
    uint32_t cursor = 0;
    re2::StringPiece match;
    while (at < text.size()) {
        if (search_poll_stop(poll)) return false;
        size_t end = window_end(names, at);
        while (at < end && regex.Match(text, at, end, RE2::UNANCHORED, &match, 1)) {
            size_t position = match.data() - text.data();
            if (position >= end) break;  // an empty match at the start of the next window's first name
            uint32_t e = item_at(names, position, cursor);
            cursor = e;
            candidates->push_back(e);
            at = names.start(e) + names.length(e) + 1;
        }
        at = end;
    }
    return true;
}

// The name arena holds names as they are, but expressions see them in composed form: the base's
// names that are not composed are matched again in that form, in one pass over lines of their
// own, and that answer replaces the arena's. False when stopped.
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
    struct DecomposedLines {
        const std::string& text;
        const std::vector<size_t>& starts;
        const char* data() const { return text.data(); }
        size_t size() const { return text.size(); }
        uint32_t count() const { return static_cast<uint32_t>(starts.size()); }
        size_t start(uint32_t line) const { return starts[line]; }
        size_t length(uint32_t line) const {
            return (line + 1 < starts.size() ? starts[line + 1] : text.size()) - starts[line] - 1;
        }
    };
    std::vector<uint32_t> lines_hit;
    if (!arena_regex(DecomposedLines{lines, starts}, regex, poll, &lines_hit)) return false;
    std::vector<uint32_t> hits;
    for (uint32_t line : lines_hit) hits.push_back(owners[line]);
    std::vector<uint32_t> kept;  // the arena's candidates that are composed
    for (uint32_t e : *candidates)
        if (!(s.entries[e].flags & ENTRY_DECOMPOSED)) kept.push_back(e);
    candidates->clear();
    std::merge(kept.begin(), kept.end(), hits.begin(), hits.end(), std::back_inserter(*candidates));
    return true;
}

// The fast path a request takes, chosen once for the base's arenas and the overlay's: a regular
// expression over the names, or the most selective term's needles, with what it proves.
struct FastPlan {
    const SearchCondition* regex_of = nullptr;
    const SearchTerm* term = nullptr;
    const SearchCondition* term_condition = nullptr;
    // An expression of many needles costs about as much as one needle; a few needles, or needles
    // too long to compile quickly, are each looked for in every window.
    std::unique_ptr<RE2> alternation;
    bool narrowed() const { return regex_of || term; }
    bool folded() const { return term_condition && term_condition->form.folds != 0; }
    // What the candidates need not be checked for again.
    Verified verified() const {
        if (regex_of) return {nullptr, regex_of};
        bool all_substrings = term && std::none_of(term->alternatives.begin(), term->alternatives.end(),
                                                   [](const SearchAlternative& alternative) { return alternative.wildcard; });
        const SearchOptions& o = term ? term_condition->options : SearchOptions{};
        bool placed = !alternation || (!o.whole_word && !o.prefix && !o.suffix);
        return {all_substrings && placed ? term : nullptr, nullptr};
    }
};

FastPlan fast_plan(const SearchRequest& request) {
    FastPlan plan;
    for (const SearchCondition* condition : {&request.main, &request.filter})
        if (condition->regex && !condition->options.match_path) {
            plan.regex_of = condition;
            return plan;
        }
    for (const SearchCondition* condition : {&request.main, &request.filter})
        for (const SearchTerm& term : condition->terms)
            if (term_fits_arena(*condition, term) && (!plan.term || term_narrows_better(term, *plan.term))) {
                plan.term = &term;
                plan.term_condition = condition;
            }
    if (!plan.term || plan.term->alternatives.size() < ARENA_ALTERNATION_MIN_NEEDLES) return plan;
    size_t bytes = 0;
    for (const SearchAlternative& alternative : plan.term->alternatives) bytes += arena_needle(alternative).size();
    if (bytes > ARENA_ALTERNATION_MAX_BYTES) return plan;
    std::string pattern;
    for (const SearchAlternative& alternative : plan.term->alternatives)
        pattern += (pattern.empty() ? "" : "|") + RE2::QuoteMeta(arena_needle(alternative));
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);  // needles and names compare as bytes
    options.set_never_nl(true);
    options.set_log_errors(false);
    plan.alternation = std::make_unique<RE2>(pattern, options);
    if (!plan.alternation->ok()) plan.alternation.reset();
    return plan;
}

// The candidates of the plan among one text's names (of the plan's form). False when stopped.
template <typename Names>
bool fast_candidates(const FastPlan& plan, const Names& names, const SearchPoll& poll,
                     std::vector<uint32_t>* candidates) {
    if (plan.regex_of) return arena_regex(names, *plan.regex_of->regex, poll, candidates);
    if (plan.alternation) return arena_regex(names, *plan.alternation, poll, candidates);
    return arena_substrings(names, *plan.term_condition, *plan.term, poll, candidates);
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

// The path as regular expressions see it: names in composed form.
struct RawPath {
    std::string path;
    std::vector<size_t> marks{0};
    void enter(const IndexView& view, EntryRef ref) {
        path.resize(marks.back());
        if (!path.empty()) path.push_back('\\');
        path.append(ref_name_in(view, ref, FOLD_COMPOSE));
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

    // An entry below `folders` (from the top down), its path built as the walk builds it.
    bool matches_below(std::span<const EntryRef> folders, EntryRef ref) {
        if (!kind_included(request_, ref)) return false;
        for (EntryRef folder : folders) {
            enter(folder);
            main_.marks.push_back(main_.path.size());
            filter_.marks.push_back(filter_.path.size());
            raw_.marks.push_back(raw_.path.size());
        }
        enter(ref);
        return matches(main_, ref, main_.path, raw_.path, {}) && matches(filter_, ref, filter_.path, raw_.path, {});
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
            enter(ref);
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
    void enter(EntryRef ref) {
        main_.enter(view_, ref);
        filter_.enter(view_, ref);
        raw_.enter(view_, ref);
    }

    bool matches(FormText& form, EntryRef ref, std::string_view path, std::string_view raw_path,
                 const Verified& verified) {
        const SearchCondition& condition = *form.condition;
        if (condition.match_all) return true;
        EntryTexts texts;
        if (condition.regex) texts.raw_name = ref_name_in(view_, ref, FOLD_COMPOSE);
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

// The overlay's records alive at the view that the plan lets through (all of them when it does not
// narrow), and the records beyond its arenas; with whether the plan's verdict holds for each.
bool overlay_candidates(const IndexView& view, const FastPlan& plan, const SearchPoll& poll,
                        std::vector<std::pair<const OverlayRecord*, bool>>* out) {
    const IndexGeneration& generation = *view.generation;
    OverlayNames names(generation, plan.folded());
    uint32_t first_unnamed = 0;
    if (plan.narrowed()) {
        std::vector<uint32_t> found;
        if (!fast_candidates(plan, names, poll, &found)) return false;
        // An expression sees a name in composed form, which the arena holds only for composed names:
        // the others are all candidates, checked one by one.
        bool composed_only = plan.regex_of != nullptr;
        for (uint32_t index : found) {
            const OverlayRecord* record = generation.records.at(index);
            if (!composed_only || !(record->flags & ENTRY_DECOMPOSED)) out->emplace_back(record, true);
        }
        first_unnamed = names.count();
        if (composed_only)
            for (uint32_t index = 0; index < first_unnamed; ++index) {
                const OverlayRecord* record = generation.records.at(index);
                if (record->flags & ENTRY_DECOMPOSED) out->emplace_back(record, false);
            }
    }
    size_t count = generation.records.size();
    for (size_t index = first_unnamed; index < count; ++index) out->emplace_back(generation.records.at(index), false);
    std::erase_if(*out, [&](const auto& item) {
        return !item.first->alive_at(view.version) || (item.first->flags & RECORD_REMOVED);
    });
    return true;
}

// A search by names: the base's entries that still hold (narrowed by the fast path), then the
// overlay's records (narrowed the same way over their own arenas).
bool search_by_name(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                    const FastPlan& plan, const std::vector<uint32_t>& candidates, std::vector<uint32_t>* out) {
    Walker walker(view, request, poll);
    const IndexSnapshot& s = view_base(view);
    bool pure = view_is_pure(view);
    Verified verified = plan.verified();
    auto try_base = [&](uint32_t e) {
        if (pure || view_base_unchanged(view, e)) {
            if (walker.matches_by_name({&s.entries[e], nullptr}, verified)) out->push_back(e);
        }
    };
    if (plan.narrowed()) {
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
    std::vector<std::pair<const OverlayRecord*, bool>> records;
    if (!overlay_candidates(view, plan, poll, &records)) return false;
    for (const auto& [record, narrowed] : records) {
        if (walker.stop_due()) return false;
        if (walker.matches_by_name({nullptr, record}, narrowed ? verified : Verified{})) out->push_back(record->id);
    }
    return true;
}

}  // namespace

bool search_entry_matches(const IndexView& view, const SearchRequest& request, uint32_t id) {
    if (request.nothing || request.main.invalid || request.filter.invalid) return false;
    EntryRef ref = view_entry(view, id);
    if (!ref) return false;
    SearchPoll never;
    Walker walker(view, request, never);
    if (!request.main.needs_path() && !request.filter.needs_path()) return walker.matches_by_name(ref, {});
    std::vector<EntryRef> folders;
    for (uint32_t parent = ref_parent(ref); parent != INDEX_NO_ENTRY;) {
        EntryRef folder = view_entry(view, parent);
        if (!folder) return false;  // never so: an entry's folders are present while it is
        folders.push_back(folder);
        parent = ref_parent(folder);
    }
    std::reverse(folders.begin(), folders.end());
    return walker.matches_below(folders, ref);
}

bool search_run(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                std::vector<uint32_t>* out) {
    out->clear();
    if (request.nothing || request.main.invalid || request.filter.invalid) return true;
    if (!request.include_files && !request.include_folders) return true;
    FastPlan plan = fast_plan(request);
    std::vector<uint32_t> candidates;
    if (plan.narrowed()) {
        const IndexSnapshot& base = view_base(view);
        if (!fast_candidates(plan, BaseNames(*view.generation, plan.folded()), poll, &candidates)) return false;
        if (plan.regex_of && !regex_recheck_decomposed(base, *plan.regex_of->regex, poll, &candidates)) return false;
    }
    if (request.main.needs_path() || request.filter.needs_path())
        return search_by_path(view, request, poll, candidates, plan.verified(), plan.narrowed(), out);
    return search_by_name(view, request, poll, plan, candidates, out);
}

}  // namespace host
