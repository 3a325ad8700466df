#include "host/index/result_sort.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>

namespace host {
namespace {

constexpr size_t POLL_ITEMS = 1 << 16;  // items handled between two polls, well under a millisecond

// Polls once every POLL_ITEMS calls with the running item number i. True when the sort must stop.
bool stop_at(const SearchPoll& poll, size_t i) { return i % POLL_ITEMS == 0 && search_poll_stop(poll); }

struct KeyedResult {
    uint64_t key;
    uint32_t tie;  // path rank
    uint32_t entry;
};

// The byte of the sort key (tie first, then key, least significant first) for radix pass `pass`.
inline unsigned key_byte(const KeyedResult& item, int pass) {
    if (pass < 4) return (item.tie >> (8 * pass)) & 0xFF;
    return static_cast<unsigned>(item.key >> (8 * (pass - 4))) & 0xFF;
}

// Least-significant-digit radix sort by (key, tie): stable, linear, and passes whose byte is
// the same for every item are skipped. False when stopped.
bool radix_sort(std::vector<KeyedResult>* items, const SearchPoll& poll) {
    constexpr int PASSES = 12;
    size_t count = items->size();
    std::vector<std::array<uint32_t, 256>> histogram(PASSES);
    for (auto& counts : histogram) counts.fill(0);
    for (size_t i = 0; i < count; ++i) {
        if (stop_at(poll, i)) return false;
        for (int pass = 0; pass < PASSES; ++pass) ++histogram[pass][key_byte((*items)[i], pass)];
    }
    std::vector<KeyedResult> other(count);
    std::vector<KeyedResult>* from = items;
    std::vector<KeyedResult>* to = &other;
    for (int pass = 0; pass < PASSES; ++pass) {
        auto& counts = histogram[pass];
        if (count == 0 || counts[key_byte((*from)[0], pass)] == count) continue;
        uint32_t start = 0;
        for (uint32_t& slot : counts) {
            uint32_t n = slot;
            slot = start;
            start += n;
        }
        for (size_t i = 0; i < count; ++i) {
            if (stop_at(poll, i)) return false;
            const KeyedResult& item = (*from)[i];
            (*to)[counts[key_byte(item, pass)]++] = item;
        }
        std::swap(from, to);
    }
    if (from != items) items->swap(other);
    return true;
}

// std::sort in runs of POLL_ITEMS, then merges of runs twice as long, polling between them.
template <typename Item, typename Less>
bool sort_in_runs(std::vector<Item>* items, Less less, const SearchPoll& poll) {
    size_t count = items->size();
    for (size_t run = 0; run < count; run += POLL_ITEMS) {
        if (search_poll_stop(poll)) return false;
        std::sort(items->begin() + run, items->begin() + std::min(count, run + POLL_ITEMS), less);
    }
    for (size_t width = POLL_ITEMS; width < count; width *= 2)
        for (size_t run = 0; run + width < count; run += 2 * width) {
            if (search_poll_stop(poll)) return false;
            std::inplace_merge(items->begin() + run, items->begin() + run + width,
                               items->begin() + std::min(count, run + 2 * width), less);
        }
    return true;
}

// Ranks of the distinct extensions among the results, in folded order. False when stopped.
bool rank_extensions(const IndexView& view, const std::vector<uint32_t>& results, const SearchPoll& poll,
                     std::unordered_map<std::string_view, uint64_t>* rank) {
    for (size_t i = 0; i < results.size(); ++i) {
        if (stop_at(poll, i)) return false;
        rank->emplace(result_extension(ref_folded(view, view_entry(view, results[i]))), 0);
    }
    std::vector<std::string_view> distinct;
    distinct.reserve(rank->size());
    for (const auto& item : *rank) distinct.push_back(item.first);
    if (!sort_in_runs(&distinct, std::less<>(), poll)) return false;
    for (size_t i = 0; i < distinct.size(); ++i) (*rank)[distinct[i]] = i;
    return true;
}

// The key of the property for one entry (the property's order among entries, before the path).
uint64_t key_of(const IndexView& view, int property, EntryRef ref,
                const std::unordered_map<std::string_view, uint64_t>& extension_rank) {
    switch (property) {
        case PROPERTY_SIZE: return ref_size(ref);
        case PROPERTY_DATE_MODIFIED: return ref_date_modified(ref);
        case PROPERTY_DATE_CREATED: return ref_date_created(ref);
        case PROPERTY_DATE_RECENTLY_CHANGED: return ref_recent(view, ref);
        case PROPERTY_EXTENSION: return extension_rank.at(result_extension(ref_folded(view, ref)));
        case PROPERTY_ATTRIBUTES: {
            IndexedFd fd;
            ref_fill_fd(ref, &fd);
            return fd.attributes;
        }
        default: return 0;  // the file-list file name is the same for every entry
    }
}

// ---------------------------------------------------------------------------------------------------
// Entries whose base order still holds: by key and path rank, or by entry number for the name.

bool sort_base(const IndexView& view, int property, const std::unordered_map<std::string_view, uint64_t>& ranks,
               const SearchPoll& poll, std::vector<uint32_t>* results) {
    const IndexSnapshot& s = view_base(view);
    if (property == PROPERTY_NAME && std::is_sorted(results->begin(), results->end())) return true;
    std::vector<KeyedResult> keyed(results->size());
    for (size_t i = 0; i < results->size(); ++i) {
        if (stop_at(poll, i)) return false;
        uint32_t e = (*results)[i];
        switch (property) {
            case PROPERTY_NAME: keyed[i] = {0, e, e}; break;
            case PROPERTY_PATH: keyed[i] = {0, s.path_rank[e], e}; break;
            default: keyed[i] = {key_of(view, property, {&s.entries[e], nullptr}, ranks), s.path_rank[e], e};
        }
    }
    if (!radix_sort(&keyed, poll)) return false;
    for (size_t i = 0; i < keyed.size(); ++i) (*results)[i] = keyed[i].entry;
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Entries of the overlay, and base entries below a renamed or moved folder: compared one with
// another, then merged into the others.

// A sibling order: folded name, then name bytes.
int compare_names(const IndexView& view, EntryRef a, EntryRef b) {
    int order = ref_folded(view, a).compare(ref_folded(view, b));
    return order != 0 ? order : ref_name(view, a).compare(ref_name(view, b));
}

// The folders from the top down to an entry's own folder.
void folder_chain(const IndexView& view, EntryRef ref, std::vector<EntryRef>* chain) {
    chain->clear();
    for (uint32_t parent = ref_parent(ref); parent != INDEX_NO_ENTRY;) {
        EntryRef folder = view_entry(view, parent);
        if (!folder) break;
        chain->push_back(folder);
        parent = ref_parent(folder);
    }
    std::reverse(chain->begin(), chain->end());
}

bool same_entry(EntryRef a, EntryRef b) { return a.base == b.base && a.record == b.record; }

// Path order: the folders in tree order (depth first, siblings in name order), then the names.
int compare_paths(const IndexView& view, EntryRef a, EntryRef b) {
    std::vector<EntryRef> chain_a, chain_b;
    folder_chain(view, a, &chain_a);
    folder_chain(view, b, &chain_b);
    size_t common = 0;
    while (common < chain_a.size() && common < chain_b.size() && same_entry(chain_a[common], chain_b[common]))
        ++common;
    if (common == chain_a.size() && common == chain_b.size()) return compare_names(view, a, b);
    if (common == chain_a.size()) return -1;  // a's folder holds b's: it comes first
    if (common == chain_b.size()) return 1;
    return compare_names(view, chain_a[common], chain_b[common]);
}

struct ItemOrder {
    const IndexView& view;
    int property;
    const std::unordered_map<std::string_view, uint64_t>& ranks;

    bool operator()(uint32_t a, uint32_t b) const {
        EntryRef ref_a = view_entry(view, a), ref_b = view_entry(view, b);
        if (property == PROPERTY_NAME) {
            int order = compare_names(view, ref_a, ref_b);
            if (order != 0) return order < 0;
            EntryRef parent_a = view_entry(view, ref_parent(ref_a)), parent_b = view_entry(view, ref_parent(ref_b));
            if (!parent_a || !parent_b) return !parent_a && parent_b;
            return compare_paths(view, parent_a, parent_b) < 0;
        }
        if (property != PROPERTY_PATH) {
            uint64_t key_a = key_of(view, property, ref_a, ranks), key_b = key_of(view, property, ref_b, ranks);
            if (key_a != key_b) return key_a < key_b;
        }
        return compare_paths(view, ref_a, ref_b) < 0;
    }
};

// Whether a base entry that has not changed lies below a folder renamed or moved since the base.
bool below_relocated_folder(const IndexView& view, uint32_t e) {
    const IndexSnapshot& s = view_base(view);
    for (uint32_t parent = s.entries[e].parent; parent != INDEX_NO_ENTRY; parent = s.entries[parent].parent) {
        EntryRef folder = view_entry(view, parent);
        if (folder.record && (folder.record->flags & RECORD_PLACED)) return true;
    }
    return false;
}

bool sort_live(const IndexView& view, int property, const std::unordered_map<std::string_view, uint64_t>& ranks,
               const SearchPoll& poll, std::vector<uint32_t>* results) {
    std::vector<uint32_t> in_base, others;
    bool relocations = view_has_relocations(view);
    for (size_t i = 0; i < results->size(); ++i) {
        if (stop_at(poll, i)) return false;
        uint32_t e = (*results)[i];
        bool base_order = e < view.generation->base_count && view_base_unchanged(view, e) &&
                          !(relocations && below_relocated_folder(view, e));
        (base_order ? in_base : others).push_back(e);
    }
    if (!sort_base(view, property, ranks, poll, &in_base)) return false;
    ItemOrder less{view, property, ranks};
    if (!sort_in_runs(&others, less, poll)) return false;
    // Each of the others goes where it belongs among the base's, which keep their order.
    results->clear();
    auto from = in_base.begin();
    for (size_t i = 0; i < others.size(); ++i) {
        if (stop_at(poll, i + 1)) return false;
        auto at = std::lower_bound(from, in_base.end(), others[i], less);
        results->insert(results->end(), from, at);
        results->push_back(others[i]);
        from = at;
    }
    results->insert(results->end(), from, in_base.end());
    return true;
}

}  // namespace

bool result_sort_knows(int property) {
    switch (property) {
    case PROPERTY_NAME: case PROPERTY_PATH: case PROPERTY_SIZE: case PROPERTY_EXTENSION:
    case PROPERTY_DATE_MODIFIED: case PROPERTY_DATE_CREATED: case PROPERTY_ATTRIBUTES:
    case PROPERTY_DATE_RECENTLY_CHANGED: case PROPERTY_FILE_LIST_FILENAME:
        return true;
    default:
        return false;
    }
}

std::string_view result_extension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

bool result_sort(const IndexView& view, int property, bool ascending, const SearchPoll& poll,
                 std::vector<uint32_t>* results) {
    std::unordered_map<std::string_view, uint64_t> extension_rank;
    if (property == PROPERTY_EXTENSION && !rank_extensions(view, *results, poll, &extension_rank)) return false;
    bool sorted = view_is_pure(view) ? sort_base(view, property, extension_rank, poll, results)
                                     : sort_live(view, property, extension_rank, poll, results);
    if (!sorted || search_poll_stop(poll)) return false;
    if (!ascending) std::reverse(results->begin(), results->end());
    return true;
}

bool result_sort_merge(const IndexView& view, int property, bool ascending, std::vector<uint32_t> added,
                       const SearchPoll& poll, std::vector<uint32_t>* results) {
    // Extensions compare as their ranks do, without ranking every result again.
    const std::unordered_map<std::string_view, uint64_t> no_ranks;
    ItemOrder item{view, property, no_ranks};
    auto less = [&](uint32_t a, uint32_t b) {
        if (property != PROPERTY_EXTENSION) return item(a, b);
        EntryRef ref_a = view_entry(view, a), ref_b = view_entry(view, b);
        int order = result_extension(ref_folded(view, ref_a)).compare(result_extension(ref_folded(view, ref_b)));
        return order != 0 ? order < 0 : compare_paths(view, ref_a, ref_b) < 0;
    };
    auto order = [&](uint32_t a, uint32_t b) { return ascending ? less(a, b) : less(b, a); };
    if (!sort_in_runs(&added, order, poll)) return false;
    std::vector<uint32_t> merged;
    merged.reserve(results->size() + added.size());
    auto from = results->begin();
    for (size_t i = 0; i < added.size(); ++i) {
        if (stop_at(poll, i + 1)) return false;
        auto at = std::lower_bound(from, results->end(), added[i], order);
        merged.insert(merged.end(), from, at);
        merged.push_back(added[i]);
        from = at;
    }
    merged.insert(merged.end(), from, results->end());
    results->swap(merged);
    return true;
}

}  // namespace host
