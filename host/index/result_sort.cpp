#include "host/index/result_sort.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>

namespace host {
namespace {

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
// the same for every item are skipped.
void radix_sort(std::vector<KeyedResult>* items) {
    constexpr int PASSES = 12;
    size_t count = items->size();
    std::vector<std::array<uint32_t, 256>> histogram(PASSES);
    for (auto& counts : histogram) counts.fill(0);
    for (const KeyedResult& item : *items)
        for (int pass = 0; pass < PASSES; ++pass) ++histogram[pass][key_byte(item, pass)];
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
        for (const KeyedResult& item : *from) (*to)[counts[key_byte(item, pass)]++] = item;
        std::swap(from, to);
    }
    if (from != items) items->swap(other);
}


// Ranks of the distinct extensions among the results, in folded order.
std::unordered_map<std::string_view, uint64_t> rank_extensions(const IndexSnapshot& s,
                                                              const std::vector<uint32_t>& results) {
    std::unordered_map<std::string_view, uint64_t> rank;
    for (uint32_t e : results) rank.emplace(result_extension(entry_folded(s, e)), 0);
    std::vector<std::string_view> distinct;
    distinct.reserve(rank.size());
    for (const auto& item : rank) distinct.push_back(item.first);
    std::sort(distinct.begin(), distinct.end());
    for (size_t i = 0; i < distinct.size(); ++i) rank[distinct[i]] = i;
    return rank;
}

void sort_by_key(const IndexSnapshot& s, int property, std::vector<uint32_t>* results) {
    std::vector<KeyedResult> keyed(results->size());
    std::unordered_map<std::string_view, uint64_t> extension_rank;
    if (property == PROPERTY_EXTENSION) extension_rank = rank_extensions(s, *results);
    for (size_t i = 0; i < results->size(); ++i) {
        uint32_t e = (*results)[i];
        const IndexEntry& entry = s.entries[e];
        uint64_t key = 0;
        switch (property) {
        case PROPERTY_SIZE: key = entry.size; break;
        case PROPERTY_DATE_MODIFIED: key = entry.date_modified; break;
        case PROPERTY_DATE_CREATED: key = entry.date_created; break;
        case PROPERTY_EXTENSION: key = extension_rank[result_extension(entry_folded(s, e))]; break;
        case PROPERTY_ATTRIBUTES: {
            IndexedFd fd;
            index_fill_fd(s, e, &fd);
            key = fd.attributes;
            break;
        }
        default: break;  // recently changed and file-list file name are the same for every entry
        }
        keyed[i] = {key, s.path_rank[e], e};
    }
    radix_sort(&keyed);
    for (size_t i = 0; i < keyed.size(); ++i) (*results)[i] = keyed[i].entry;
}

void sort_by_rank(const std::vector<uint32_t>* rank, std::vector<uint32_t>* results) {
    std::vector<KeyedResult> keyed(results->size());
    for (size_t i = 0; i < results->size(); ++i) {
        uint32_t e = (*results)[i];
        keyed[i] = {0, rank ? (*rank)[e] : e, e};
    }
    radix_sort(&keyed);
    for (size_t i = 0; i < keyed.size(); ++i) (*results)[i] = keyed[i].entry;
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

bool result_sort(const IndexSnapshot& s, int property, bool ascending, const std::atomic<bool>* cancel,
                 std::vector<uint32_t>* results) {
    if (property == PROPERTY_NAME) {
        // Entry numbers are name ranks: results of a search are already in this order.
        if (!std::is_sorted(results->begin(), results->end())) sort_by_rank(nullptr, results);
    } else if (property == PROPERTY_PATH) {
        sort_by_rank(&s.path_rank, results);
    } else {
        sort_by_key(s, property, results);
    }
    if (cancel && cancel->load(std::memory_order_relaxed)) return false;
    if (!ascending) std::reverse(results->begin(), results->end());
    return true;
}

}  // namespace host
