// Threads meet here, and only through these fields:
// - the registry g_follow (its lists, `changed`, `stopping`, `running`) under g_follow.lock: held
//   lists are added by the threads that own queries, changes are told by the index's writer
//   (index_changed), and the follower thread takes them;
// - a held list's `newest` and `checked`, under its own lock: written by the follower thread only,
//   read by the threads of the queries that hold it;
// - g_follow.stop, an atomic that a re-search polls.
// The rest of a held list (its compiled request, where it stands in its generation's records)
// belongs to the follower thread. A list is released outside g_follow.lock, wherever its last
// holder lets it go.
#include "host/index/result_follow.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "host/index/result_sort.h"
#include "host/index/search_run.h"

namespace host {

// A list's entries as a set: its ids sorted, to tell at once whether an entry is in it.
using Members = std::shared_ptr<const std::vector<uint32_t>>;

struct HeldList {
    explicit HeldList(std::shared_ptr<const QuerySearch> list_search, SharedResults results)
        : search(std::move(list_search)), newest(std::move(results)), checked(newest->view.version) {}

    const std::shared_ptr<const QuerySearch> search;
    std::mutex lock;
    SharedResults newest;  // guarded by lock; its entries are the answer at every version up to `checked`
    uint32_t checked;      // guarded by lock (the follower reads it without: it alone writes it)
    std::atomic<int64_t> read_at{0};  // when a holder last took it (steady clock ticks)
    // The follower's own:
    std::optional<SearchRequest> request;
    Members members;                              // of `newest`, once needed
    const IndexGeneration* records_of = nullptr;  // the generation whose records `records_seen` counts
    size_t records_seen = 0;                      // its records born at `checked` or before
};

namespace {

using Clock = std::chrono::steady_clock;

// A pass takes what changed since the one before; passes start this far apart at least, so that
// the changes of a busy disk are taken in batches, and a change shows within this and a pass.
constexpr auto FOLLOW_GAP = std::chrono::milliseconds(20);
// The thread ends once it has had no list to follow for this long.
constexpr auto FOLLOW_IDLE_END = std::chrono::seconds(5);

struct Follower {
    std::mutex lock;
    std::condition_variable wake;   // a change, a new list, or the stop
    std::condition_variable ended;  // the thread ended
    std::vector<std::weak_ptr<HeldList>> lists;
    bool changed = false;
    bool stopping = false;
    bool running = false;
    std::atomic<bool> stop{false};
    std::atomic<size_t> listed{0};  // lists.size(), for the writer's quick look
};

// Never destroyed: the detached thread may still use it while the process ends.
Follower& g_follow = *new Follower;

bool search_is_cut(const QuerySearch& search) { return search.max_results != 0 && search.max_results != 0xFFFFFFFF; }

bool needs_paths(const SearchRequest& request) { return request.main.needs_path() || request.filter.needs_path(); }

// The records of a generation born at `version` or before: a prefix, as births never decrease.
size_t records_through(const IndexGeneration& generation, uint32_t version) {
    size_t low = 0, high = generation.records.size();
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (generation.records.at(middle)->born <= version) low = middle + 1;
        else high = middle;
    }
    return low;
}

std::vector<uint32_t> sorted_once(std::vector<uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

bool holds(const std::vector<uint32_t>& sorted, uint32_t id) { return std::binary_search(sorted.begin(), sorted.end(), id); }

// The ids of the records [first, end) of a generation, sorted, each once.
std::vector<uint32_t> record_ids(const IndexGeneration& generation, size_t first, size_t end) {
    std::vector<uint32_t> ids;
    for (size_t i = first; i < end; ++i) ids.push_back(generation.records.at(i)->id);
    return sorted_once(std::move(ids));
}

// Whether one of the ids is a folder that another name or place has at `to` than at `from`.
bool folder_relocated(const std::vector<uint32_t>& ids, const IndexView& from, const IndexView& to) {
    for (uint32_t id : ids) {
        EntryRef before = view_entry(from, id), after = view_entry(to, id);
        if (before && after && ref_is_folder(after) &&
            (ref_parent(before) != ref_parent(after) || ref_name(from, before) != ref_name(to, after)))
            return true;
    }
    return false;
}

// An entry that changed, as every list sees it alike. Matching reads names and paths alone: an
// entry that kept its name and folder (while no folder moved) stays in a list or out of it as it
// was, and only the others are matched again.
struct Changed {
    uint32_t id;      // at the pass's version
    bool present;     // at the pass's version
    bool same_place;  // the kind, name and folder it had for the list
};

bool same_place(const IndexView& from, EntryRef before, const IndexView& to, EntryRef after) {
    return before && after && ref_is_folder(before) == ref_is_folder(after) && ref_parent(before) == ref_parent(after) &&
           ref_name(from, before) == ref_name(to, after);
}

std::vector<Changed> changed_between(const std::vector<uint32_t>& ids, const IndexView& from, const IndexView& to) {
    std::vector<Changed> changed;
    changed.reserve(ids.size());
    for (uint32_t id : ids) {
        EntryRef before = view_entry(from, id), after = view_entry(to, id);
        changed.push_back({id, static_cast<bool>(after), same_place(from, before, to, after)});
    }
    return changed;
}

// The entries that changed from one version to a later one of the same generation.
struct Changes {
    size_t records_from = 0;  // the records they were read from: [records_from, records_end)
    size_t records_end = 0;
    uint32_t from_version = 0;
    std::vector<uint32_t> ids;     // sorted, each once
    std::vector<Changed> changed;  // the same
    bool relocated = false;        // a folder was renamed or moved: paths below it changed
};

Changes changes_between(const IndexView& from, size_t first_record, const IndexView& to) {
    Changes changes;
    changes.records_from = first_record;
    changes.from_version = from.version;
    changes.records_end = std::max(first_record, records_through(*to.generation, to.version));
    changes.ids = record_ids(*to.generation, first_record, changes.records_end);
    changes.changed = changed_between(changes.ids, from, to);
    changes.relocated = folder_relocated(changes.ids, from, to);
    return changes;
}

// What a fold changes for the lists of one version of the generation it was made of: the entries
// that changed between that version and the fold's (their state for the list is the old one),
// then those the new generation changed since, each once; and every one of them, sorted.
struct Carry {
    const IndexGeneration* from_generation = nullptr;
    uint32_t from_version = 0;
    size_t records_end = 0;
    std::vector<Changed> changed;
    std::vector<uint32_t> ids;
    bool relocated = false;
};

Carry carry_between(const IndexView& list_view, const IndexView& to) {
    const FoldOrigin& origin = *to.generation->origin;
    const IndexGeneration& old = *list_view.generation;
    auto renumber = [&](uint32_t id) { return id < origin.ids.size() ? origin.ids[id] : INDEX_NO_ENTRY; };
    IndexView at_fold{list_view.generation, origin.version}, fold_base{to.generation, 0};
    const IndexView& earlier = list_view.version < origin.version ? list_view : at_fold;
    const IndexView& later = list_view.version < origin.version ? at_fold : list_view;
    Carry carry;
    carry.from_generation = list_view.generation;
    carry.from_version = list_view.version;
    std::vector<uint32_t> old_ids = record_ids(old, records_through(old, earlier.version), records_through(old, later.version));
    carry.records_end = records_through(*to.generation, to.version);
    std::vector<uint32_t> new_ids = record_ids(*to.generation, 0, carry.records_end);
    carry.relocated = folder_relocated(old_ids, earlier, later) || folder_relocated(new_ids, fold_base, to);
    for (uint32_t id : old_ids) {
        uint32_t renumbered = renumber(id);
        if (renumbered == INDEX_NO_ENTRY) continue;
        EntryRef before = view_entry(list_view, id), after = view_entry(to, renumbered);
        bool same = before && after && ref_is_folder(before) == ref_is_folder(after) &&
                    renumber(ref_parent(before)) == ref_parent(after) &&
                    (ref_parent(before) == INDEX_NO_ENTRY) == (ref_parent(after) == INDEX_NO_ENTRY) &&
                    ref_name(list_view, before) == ref_name(to, after);
        carry.changed.push_back({renumbered, static_cast<bool>(after), same});
        carry.ids.push_back(renumbered);
    }
    carry.ids = sorted_once(std::move(carry.ids));
    for (const Changed& item : changed_between(new_ids, fold_base, to))
        if (!holds(carry.ids, item.id)) carry.changed.push_back(item);
    carry.ids.insert(carry.ids.end(), new_ids.begin(), new_ids.end());
    carry.ids = sorted_once(std::move(carry.ids));
    return carry;
}

// A list as it follows: its entries in order, and the same as a set.
struct Answer {
    SharedResults results;
    Members members;
};

// What a list became at the pass's version; equal searches take one outcome.
struct Outcome {
    std::shared_ptr<const QuerySearch> search;
    Answer answer;
    const IndexGeneration* records_of;
    size_t records_seen;
};

class Pass {
public:
    explicit Pass(const IndexView& to) : to_(to) {}

    void follow(HeldList& list) {
        SharedResults input;
        {
            std::lock_guard<std::mutex> guard(list.lock);
            input = list.newest;
        }
        bool same_generation = input->view.generation == to_.generation;
        // A list made after the pass began is newer than it: the next pass takes it further.
        if (same_generation ? list.checked > to_.version : ScopedView().get().generation == input->view.generation)
            return;
        for (const Outcome& outcome : outcomes_)
            if (*outcome.search == *list.search) return settle(list, outcome);
        if (same_generation && list.checked == to_.version) {
            if (list.records_of != to_.generation) list.records_of = nullptr;  // counted in remember()
            return remember(list, {input, list.members});
        }
        if (!list.request) list.request = query_request(*list.search);
        const FoldOrigin* origin = to_.generation->origin.get();
        Answer made = same_generation                                                ? advance(list, input)
                      : origin && origin->generation == input->view.generation->serial ? carry(list, input)
                                                                                      : research(list);
        if (!made.results) return;  // stopped
        remember(list, std::move(made));
    }

private:
    void remember(HeldList& list, Answer answer) {
        if (!list.records_of) {
            list.records_of = to_.generation;
            list.records_seen = records_through(*to_.generation, to_.version);
        }
        outcomes_.push_back({list.search, std::move(answer), list.records_of, list.records_seen});
        settle(list, outcomes_.back());
    }

    void settle(HeldList& list, const Outcome& outcome) {
        list.records_of = outcome.records_of;
        list.records_seen = outcome.records_seen;
        list.members = outcome.answer.members;
        std::lock_guard<std::mutex> guard(list.lock);
        list.newest = outcome.answer.results;
        list.checked = to_.version;
    }

    // The search run again on the pass's version (shared with an equal search there).
    Answer research(HeldList& list) {
        list.records_of = nullptr;
        SearchPoll poll{&g_follow.stop, nullptr, nullptr};
        return {result_share_search(to_, list.search, g_follow.stop,
                                    [&] { return query_answer(to_, *list.search, *list.request, poll); }),
                nullptr};
    }

    static const std::vector<uint32_t>& members_of(HeldList& list, const QueryResults& results) {
        if (!list.members) list.members = std::make_shared<const std::vector<uint32_t>>(sorted_once(results.entries));
        return *list.members;
    }

    const Changes& changes_for(const HeldList& list) {
        IndexView from{to_.generation, list.checked};
        size_t first = list.records_of == to_.generation ? list.records_seen : records_through(*to_.generation, from.version);
        if (!changes_ || changes_->records_from != first || changes_->from_version != from.version)
            changes_ = changes_between(from, first, to_);
        return *changes_;
    }

    enum class Decided { untouched, touched, unknown };

    // The changed entries in the list at the pass's version, given the list's entries before (as a
    // set, by the pass's numbers); whether any of them was or is in it. A list that is not `whole`
    // (cut to its count, and full) lacks the matches past its end: a change to one of its entries
    // may leave a place only those can fill (unknown), and any other changed entry is matched, as
    // the list cannot tell whether it matched before.
    Decided decide(const SearchRequest& request, const std::vector<Changed>& changed, const std::vector<uint32_t>& before,
                   bool whole, std::vector<uint32_t>* added) {
        bool touched = false;
        for (const Changed& item : changed) {
            bool was_in = holds(before, item.id);
            if (was_in && !whole) return Decided::unknown;
            bool is_in = item.present &&
                         (item.same_place && whole ? was_in : search_entry_matches(to_, request, item.id));
            touched = touched || was_in || is_in;
            if (is_in) added->push_back(item.id);
        }
        return touched ? Decided::touched : Decided::untouched;
    }

    // Whether the list holds every entry its search finds.
    static bool holds_all(const QuerySearch& search, const QueryResults& results) {
        return !search_is_cut(search) || results.entries.size() < search.max_results;
    }

    // The list with the changes since it was checked: the changed entries out, those in it now put
    // in their places. The list itself when no change touches it.
    Answer advance(HeldList& list, const SharedResults& input) {
        const Changes& changes = changes_for(list);
        const SearchRequest& request = *list.request;
        bool whole = holds_all(*list.search, *input);
        // Moved folders reorder what lies below them, past a cut list's end too.
        if (changes.relocated && (needs_paths(request) || !whole)) return research(list);
        const std::vector<uint32_t>& members = members_of(list, *input);
        std::vector<uint32_t> added;
        Decided decided = decide(request, changes.changed, members, whole, &added);
        if (decided == Decided::unknown) return research(list);
        list.records_of = to_.generation;
        list.records_seen = changes.records_end;
        // Untouched, the entries read the same at the list's own version: paths too, as no folder moved.
        if (decided == Decided::untouched && !changes.relocated) return {input, list.members};
        return place(list, without(input->entries, changes.ids), without(members, changes.ids), std::move(added),
                     changes.relocated);
    }

    // The list carried over a fold into the pass's generation, which was made of a version of the
    // list's: its entries renumbered, but for those that changed between the list's version and
    // the fold's, or in the new generation since, which are decided again.
    Answer carry(HeldList& list, const SharedResults& input) {
        if (!carry_ || carry_->from_generation != input->view.generation || carry_->from_version != list.checked)
            carry_ = carry_between({input->view.generation, list.checked}, to_);
        const Carry& carry = *carry_;
        const SearchRequest& request = *list.request;
        bool whole = holds_all(*list.search, *input);
        if (carry.relocated && (needs_paths(request) || !whole)) return research(list);
        // The list by the new numbers (without what was gone by the fold), then the changed entries out.
        const std::vector<uint32_t>& renumbered = to_.generation->origin->ids;
        std::vector<uint32_t> carried;
        carried.reserve(input->entries.size());
        for (uint32_t e : input->entries)
            if (e < renumbered.size() && renumbered[e] != INDEX_NO_ENTRY) carried.push_back(renumbered[e]);
        // An entry of a cut list that the fold dropped leaves a place for those past its end.
        if (!whole && carried.size() < input->entries.size()) return research(list);
        std::vector<uint32_t> carried_members = sorted_once(carried);
        std::vector<uint32_t> added;
        if (decide(request, carry.changed, carried_members, whole, &added) == Decided::unknown) return research(list);
        list.records_of = to_.generation;
        list.records_seen = carry.records_end;
        std::vector<uint32_t> entries = without(carried, carry.ids), members = without(carried_members, carry.ids);
        return place(list, std::move(entries), std::move(members), std::move(added), carry.relocated);
    }

    static std::vector<uint32_t> without(const std::vector<uint32_t>& entries, const std::vector<uint32_t>& sorted_ids) {
        std::vector<uint32_t> kept;
        kept.reserve(entries.size());
        for (uint32_t e : entries)
            if (!holds(sorted_ids, e)) kept.push_back(e);
        return kept;
    }

    // A new list of `entries` (in the list's order at the pass's version, unless folders moved),
    // with `added` put in their places, cut to the search's count.
    Answer place(const HeldList& list, std::vector<uint32_t> entries, std::vector<uint32_t> members,
                 std::vector<uint32_t> added, bool relocated) {
        auto made = std::make_unique<QueryResults>();
        made->entries = std::move(entries);
        std::vector<uint32_t> added_sorted = sorted_once(added);
        std::vector<uint32_t> all_members;
        all_members.reserve(members.size() + added_sorted.size());
        std::merge(members.begin(), members.end(), added_sorted.begin(), added_sorted.end(),
                   std::back_inserter(all_members));
        SearchPoll poll{&g_follow.stop, nullptr, nullptr};
        const QuerySearch& search = *list.search;
        bool sorted;
        if (relocated) {
            // Folders moved: the order of every entry below them may have changed.
            made->entries.insert(made->entries.end(), added.begin(), added.end());
            sorted = result_sort(to_, search.sort_property, search.sort_ascending, poll, &made->entries);
        } else {
            sorted = result_sort_merge(to_, search.sort_property, search.sort_ascending, std::move(added), poll,
                                       &made->entries);
        }
        if (!sorted) return {};
        if (search_is_cut(search) && made->entries.size() > search.max_results) {
            made->entries.resize(search.max_results);
            all_members = sorted_once(made->entries);
        }
        made->view = index_view_copy(to_);
        return {SharedResults(std::move(made)), std::make_shared<const std::vector<uint32_t>>(std::move(all_members))};
    }

    const IndexView& to_;
    std::vector<Outcome> outcomes_;
    std::optional<Changes> changes_;
    std::optional<Carry> carry_;
};

// Takes every held list to the current version, those read last first.
void follow_pass(std::vector<std::shared_ptr<HeldList>> lists) {
    std::stable_sort(lists.begin(), lists.end(), [](const auto& a, const auto& b) {
        return a->read_at.load(std::memory_order_relaxed) > b->read_at.load(std::memory_order_relaxed);
    });
    ScopedView now;
    Pass pass(now);
    for (const std::shared_ptr<HeldList>& list : lists) {
        if (g_follow.stop.load()) return;
        pass.follow(*list);
    }
}

// Strong references to the lists still held, the others forgotten. Called under g_follow.lock.
std::vector<std::shared_ptr<HeldList>> lists_held() {
    std::vector<std::shared_ptr<HeldList>> held;
    for (const std::weak_ptr<HeldList>& weak : g_follow.lists)
        if (std::shared_ptr<HeldList> list = weak.lock()) held.push_back(std::move(list));
    std::erase_if(g_follow.lists, [](const std::weak_ptr<HeldList>& weak) { return weak.expired(); });
    g_follow.listed.store(g_follow.lists.size());
    return held;
}

void follower_main() {
    std::unique_lock<std::mutex> guard(g_follow.lock);
    while (!g_follow.stopping) {
        bool woken = g_follow.wake.wait_for(guard, FOLLOW_IDLE_END, [] { return g_follow.stopping || g_follow.changed; });
        if (g_follow.stopping) break;
        g_follow.changed = false;
        std::vector<std::shared_ptr<HeldList>> held = lists_held();
        if (!woken && held.empty()) break;
        guard.unlock();
        auto started = Clock::now();
        follow_pass(held);
        held.clear();  // may free lists, and a generation with them: outside the lock
        guard.lock();
        g_follow.wake.wait_until(guard, started + FOLLOW_GAP, [] { return g_follow.stopping; });
    }
    g_follow.running = false;
    g_follow.ended.notify_all();
}

// Called under g_follow.lock.
void follower_start() {
    if (g_follow.running || g_follow.stopping) return;
    try {
        std::thread(follower_main).detach();
    } catch (const std::system_error&) {
        return;  // tried again at the next change
    }
    g_follow.running = true;
}

void follow_changed() {
    if (g_follow.listed.load(std::memory_order_relaxed) == 0) return;
    {
        std::lock_guard<std::mutex> guard(g_follow.lock);
        g_follow.changed = true;
        follower_start();
    }
    g_follow.wake.notify_all();
}

}  // namespace

std::shared_ptr<HeldList> result_follow_hold(const std::shared_ptr<const QuerySearch>& search,
                                             const SharedResults& results) {
    if (!search || !results || !results->view.generation) return nullptr;
    std::shared_ptr<HeldList> shared;
    std::vector<std::shared_ptr<HeldList>> held;  // released after the lock
    {
        std::lock_guard<std::mutex> guard(g_follow.lock);
        index_set_changed_hook(follow_changed);
        held = lists_held();
        for (const std::shared_ptr<HeldList>& list : held) {
            std::lock_guard<std::mutex> list_guard(list->lock);
            if (list->newest == results && *list->search == *search) shared = list;
        }
        if (!shared) {
            shared = std::make_shared<HeldList>(search, results);
            g_follow.lists.push_back(shared);
            g_follow.listed.store(g_follow.lists.size());
            g_follow.changed = true;  // what changed since the search began
        }
        follower_start();
    }
    g_follow.wake.notify_all();
    return shared;
}

SharedResults result_follow_newest(HeldList& list) {
    list.read_at.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(list.lock);
    return list.newest;
}

const std::shared_ptr<const QuerySearch>& result_follow_search(const HeldList& list) { return list.search; }

void result_follow_shutdown() {
    std::unique_lock<std::mutex> guard(g_follow.lock);
    g_follow.stopping = true;
    g_follow.stop = true;
    g_follow.wake.notify_all();
    g_follow.ended.wait(guard, [] { return !g_follow.running; });
    g_follow.stopping = false;
    g_follow.stop = false;
}

bool result_follow_caught_up() {
    ScopedView now;
    std::vector<std::shared_ptr<HeldList>> held;
    {
        std::lock_guard<std::mutex> guard(g_follow.lock);
        held = lists_held();
    }
    for (const std::shared_ptr<HeldList>& list : held) {
        std::lock_guard<std::mutex> guard(list->lock);
        if (list->newest->view.generation != now.get().generation || list->checked < now.get().version) return false;
    }
    return true;
}

}  // namespace host
