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
bool sort_texts(std::vector<std::string_view>* texts, const SearchPoll& poll) {
    size_t count = texts->size();
    for (size_t run = 0; run < count; run += POLL_ITEMS) {
        if (search_poll_stop(poll)) return false;
        std::sort(texts->begin() + run, texts->begin() + std::min(count, run + POLL_ITEMS));
    }
    for (size_t width = POLL_ITEMS; width < count; width *= 2)
        for (size_t run = 0; run + width < count; run += 2 * width) {
            if (search_poll_stop(poll)) return false;
            std::inplace_merge(texts->begin() + run, texts->begin() + run + width,
                               texts->begin() + std::min(count, run + 2 * width));
        }
    return true;
}


// Ranks of the distinct extensions among the results, in folded order. False when stopped.
bool rank_extensions(const IndexSnapshot& s, const std::vector<uint32_t>& results, const SearchPoll& poll,
                     std::unordered_map<std::string_view, uint64_t>* rank) {
    for (size_t i = 0; i < results.size(); ++i) {
        if (stop_at(poll, i)) return false;
        rank->emplace(result_extension(entry_folded(s, results[i])), 0);
    }
    std::vector<std::string_view> distinct;
    distinct.reserve(rank->size());
    for (const auto& item : *rank) distinct.push_back(item.first);
    if (!sort_texts(&distinct, poll)) return false;
    for (size_t i = 0; i < distinct.size(); ++i) (*rank)[distinct[i]] = i;
    return true;
}

bool sort_by_key(const IndexSnapshot& s, int property, const SearchPoll& poll, std::vector<uint32_t>* results) {
    std::vector<KeyedResult> keyed(results->size());
    std::unordered_map<std::string_view, uint64_t> extension_rank;
    if (property == PROPERTY_EXTENSION && !rank_extensions(s, *results, poll, &extension_rank)) return false;
    for (size_t i = 0; i < results->size(); ++i) {
        if (stop_at(poll, i)) return false;
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
    if (!radix_sort(&keyed, poll)) return false;
    for (size_t i = 0; i < keyed.size(); ++i) (*results)[i] = keyed[i].entry;
    return true;
}

bool sort_by_rank(const std::vector<uint32_t>* rank, const SearchPoll& poll, std::vector<uint32_t>* results) {
    std::vector<KeyedResult> keyed(results->size());
    for (size_t i = 0; i < results->size(); ++i) {
        uint32_t e = (*results)[i];
        keyed[i] = {0, rank ? (*rank)[e] : e, e};
    }
    if (!radix_sort(&keyed, poll)) return false;
    for (size_t i = 0; i < keyed.size(); ++i) (*results)[i] = keyed[i].entry;
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

bool result_sort(const IndexSnapshot& s, int property, bool ascending, const SearchPoll& poll,
                 std::vector<uint32_t>* results) {
    bool sorted = true;
    if (property == PROPERTY_NAME) {
        // Entry numbers are name ranks: results of a search are already in this order.
        if (!std::is_sorted(results->begin(), results->end())) sorted = sort_by_rank(nullptr, poll, results);
    } else if (property == PROPERTY_PATH) {
        sorted = sort_by_rank(&s.path_rank, poll, results);
    } else {
        sorted = sort_by_key(s, property, poll, results);
    }
    if (!sorted || search_poll_stop(poll)) return false;
    if (!ascending) std::reverse(results->begin(), results->end());
    return true;
}

}  // namespace host
