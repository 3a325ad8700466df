// Building a base: scanned nodes become the snapshot, with the name order, each folder's children
// in enumeration order, the path order, folder sizes and the folded names.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "host/index/index.h"
#include "host/index/index_generation.h"
#include "host/index/index_scan.h"
#include "host/index/index_store.h"
#include "host/index/text_fold.h"

namespace host {
namespace {

// Folded names of the scan's nodes, made by two threads over halves of the nodes and then joined
// into one text. The two further forms of non-ASCII names go to `extra` (see ExtraFold).
struct FoldedNames {
    std::vector<uint32_t> offset;  // into text
    std::vector<uint16_t> length;
    std::vector<uint32_t> extra;   // into extra_text[part of the node], or INDEX_NO_ENTRY for an ASCII name
    std::vector<uint8_t> decomposed;  // 1: the name is not in composed form
    std::string text;
    std::string extra_text[2];
    uint32_t split = 0;            // nodes below it are in part 0
    std::string_view of(uint32_t node) const { return {text.data() + offset[node], length[node]}; }
};

void append_length_and_form(std::string_view name, unsigned folds, std::string* out) {
    size_t at = out->size();
    out->append(sizeof(uint16_t), '\0');
    text_fold_append(name, folds, out);
    auto length = static_cast<uint16_t>(std::min<size_t>(out->size() - at - sizeof(uint16_t), 0xFFFF));
    std::memcpy(out->data() + at, &length, sizeof length);
}

void fold_part(const ScanState& scan, FoldedNames& folded, int part, uint32_t from, uint32_t to,
               std::string* text_out) {
    std::string& text = *text_out;
    std::string& extra = folded.extra_text[part];
    text.reserve((scan.names.size() / 2) + (scan.names.size() / 16));
    for (uint32_t i = from; i < to; ++i) {
        std::string_view name = node_name(scan, scan.nodes[i]);
        size_t before = text.size();
        text_fold_append(name, FOLD_CASE | FOLD_MARKS, &text);
        folded.offset[i] = static_cast<uint32_t>(before);
        folded.length[i] = static_cast<uint16_t>(std::min<size_t>(text.size() - before, 0xFFFF));
        folded.extra[i] = INDEX_NO_ENTRY;
        if (text_is_ascii(name)) continue;
        folded.extra[i] = static_cast<uint32_t>(extra.size());
        append_length_and_form(name, FOLD_CASE, &extra);
        append_length_and_form(name, FOLD_MARKS, &extra);
        // The composed form is kept only when it differs from the name, which is rare.
        size_t composed = extra.size();
        append_length_and_form(name, FOLD_COMPOSE, &extra);
        folded.decomposed[i] = std::string_view(extra).substr(composed + sizeof(uint16_t)) != name;
        if (!folded.decomposed[i]) extra.resize(composed);
    }
}

FoldedNames fold_names(const ScanState& scan) {
    FoldedNames folded;
    auto count = static_cast<uint32_t>(scan.nodes.size());
    folded.offset.resize(count);
    folded.length.resize(count);
    folded.extra.resize(count);
    folded.decomposed.resize(count);
    folded.split = count / 2;
    std::string second;
    std::thread helper([&] { fold_part(scan, folded, 1, folded.split, count, &second); });
    fold_part(scan, folded, 0, 0, folded.split, &folded.text);
    helper.join();
    auto second_at = static_cast<uint32_t>(folded.text.size());
    folded.text += second;
    for (uint32_t i = folded.split; i < count; ++i) folded.offset[i] += second_at;
    return folded;
}

// Name order between two nodes, without the path: folded name, then name bytes.
int compare_names(const ScanState& scan, const FoldedNames& folded, uint32_t a, uint32_t b) {
    int order = folded.of(a).compare(folded.of(b));
    if (order != 0) return order;
    return node_name(scan, scan.nodes[a]).compare(node_name(scan, scan.nodes[b]));
}

// The rank of each folder in path order (depth first, siblings in name order); 0 is the root.
std::vector<uint32_t> rank_folders(const ScanState& scan, const FoldedNames& folded) {
    const auto& nodes = scan.nodes;
    std::vector<uint32_t> rank(nodes.size(), 0);
    auto name_greater = [&](uint32_t a, uint32_t b) { return compare_names(scan, folded, a, b) > 0; };
    // The stack holds siblings in reverse name order, so that the smallest is taken first.
    std::vector<uint32_t> stack;
    for (uint32_t i = 0; i < nodes.size() && nodes[i].parent == INDEX_NO_ENTRY; ++i) stack.push_back(i);
    std::sort(stack.begin(), stack.end(), name_greater);
    uint32_t next = 1;
    std::vector<uint32_t> folders;
    while (!stack.empty()) {
        uint32_t folder = stack.back();
        stack.pop_back();
        rank[folder] = next++;
        folders.clear();
        const ScanNode& node = nodes[folder];
        for (uint32_t c = node.first_child; c < node.first_child + node.child_count; ++c)
            if (nodes[c].flags & ENTRY_FOLDER) folders.push_back(c);
        std::sort(folders.begin(), folders.end(), name_greater);
        stack.insert(stack.end(), folders.begin(), folders.end());
    }
    return rank;
}

// The first 24 bytes of a folded name, so that most comparisons of the name sort stay in the key.
struct NameKey {
    uint64_t prefix[3];
    uint32_t node;
};

NameKey name_key(std::string_view text, uint32_t node) {
    NameKey key = {{0, 0, 0}, node};
    for (size_t word = 0; word < 3; ++word)
        for (size_t i = 0; i < 8; ++i) {
            size_t at = word * 8 + i;
            key.prefix[word] = (key.prefix[word] << 8) | (at < text.size() ? static_cast<unsigned char>(text[at]) : 0);
        }
    return key;
}

// Node numbers in name order: folded name, name bytes, then the path order of the parent.
// Two threads sort one half each; the halves are then merged.
std::vector<uint32_t> order_by_name(const ScanState& scan, const FoldedNames& folded,
                                    const std::vector<uint32_t>& folder_rank) {
    std::vector<NameKey> keys(scan.nodes.size());
    for (uint32_t i = 0; i < keys.size(); ++i) keys[i] = name_key(folded.of(i), i);
    auto parent_rank = [&](uint32_t node) {
        uint32_t parent = scan.nodes[node].parent;
        return parent == INDEX_NO_ENTRY ? 0u : folder_rank[parent];
    };
    auto less = [&](const NameKey& a, const NameKey& b) {
        for (int word = 0; word < 3; ++word)
            if (a.prefix[word] != b.prefix[word]) return a.prefix[word] < b.prefix[word];
        int order = compare_names(scan, folded, a.node, b.node);
        if (order != 0) return order < 0;
        return parent_rank(a.node) < parent_rank(b.node);
    };
    auto middle = keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2);
    std::thread helper([&] { std::sort(middle, keys.end(), less); });
    std::sort(keys.begin(), middle, less);
    helper.join();
    // Merged straight into node numbers: a merged copy of the keys would double their memory.
    std::vector<uint32_t> order(keys.size());
    auto a = keys.begin(), b = middle;
    for (uint32_t& node : order) node = (b == keys.end() || (a != middle && !less(*b, *a)) ? a++ : b++)->node;
    return order;
}

// The records in name order, their name and folded offsets still pointing into the scan's names
// and the folded text (fill_arenas moves them), filled by two threads.
void fill_records(IndexSnapshot& s, const ScanState& scan, const FoldedNames& folded,
                  const std::vector<uint32_t>& order, const std::vector<uint32_t>& entry_of) {
    auto count = static_cast<uint32_t>(order.size());
    s.entries.resize(count);
    auto second_extra = static_cast<uint32_t>(folded.extra_text[0].size());
    std::vector<ExtraFold> extra_folds[2];
    auto fill = [&](uint32_t from, uint32_t to, std::vector<ExtraFold>* extras) {
        for (uint32_t e = from; e < to; ++e) {
            uint32_t node_number = order[e];
            const ScanNode& node = scan.nodes[node_number];
            IndexEntry& entry = s.entries[e];
            entry.size = node.size;
            entry.date_created = node.date_created;
            entry.date_modified = node.date_modified;
            entry.parent = node.parent == INDEX_NO_ENTRY ? INDEX_NO_ENTRY : entry_of[node.parent];
            entry.first_child = entry.child_count = 0;
            entry.name_length = node.name_length;
            entry.flags = node.flags;
            entry.name_offset = node.name_offset;
            entry.folded_offset = folded.offset[node_number];
            entry.folded_length = folded.length[node_number];
            if (folded.extra[node_number] != INDEX_NO_ENTRY) {
                entry.flags |= ENTRY_NON_ASCII | (folded.decomposed[node_number] ? ENTRY_DECOMPOSED : 0);
                uint32_t offset = folded.extra[node_number] + (node_number >= folded.split ? second_extra : 0);
                extras->push_back({e, offset});
            }
        }
    };
    std::thread helper(fill, count / 2, count, &extra_folds[1]);
    fill(0, count / 2, &extra_folds[0]);
    helper.join();
    s.extra_folds = std::move(extra_folds[0]);
    s.extra_folds.insert(s.extra_folds.end(), extra_folds[1].begin(), extra_folds[1].end());
    s.extra_folds.shrink_to_fit();
}

// The names and folded names in entry order, each followed by '\n', written by two threads into
// arenas of their final size; the records' offsets move from the scan's texts to the arenas.
void fill_arenas(IndexSnapshot& s, const std::string& scan_names, const std::string& folded_text) {
    auto count = static_cast<uint32_t>(s.entries.size());
    uint32_t half = count / 2;
    size_t names_at_half = 0, folded_at_half = 0, names_total = 0, folded_total = 0;
    for (uint32_t e = 0; e < count; ++e) {
        if (e == half) names_at_half = names_total, folded_at_half = folded_total;
        names_total += s.entries[e].name_length + 1;
        folded_total += s.entries[e].folded_length + 1;
    }
    if (half == count) names_at_half = names_total, folded_at_half = folded_total;
    s.names.resize(names_total);
    s.folded.resize(folded_total);
    auto fill = [&](uint32_t from, uint32_t to, size_t names_at, size_t folded_at) {
        for (uint32_t e = from; e < to; ++e) {
            IndexEntry& entry = s.entries[e];
            std::memcpy(s.names.data() + names_at, scan_names.data() + entry.name_offset, entry.name_length);
            entry.name_offset = static_cast<uint32_t>(names_at);
            names_at += entry.name_length;
            s.names[names_at++] = '\n';
            std::memcpy(s.folded.data() + folded_at, folded_text.data() + entry.folded_offset, entry.folded_length);
            entry.folded_offset = static_cast<uint32_t>(folded_at);
            folded_at += entry.folded_length;
            s.folded[folded_at++] = '\n';
        }
    };
    std::thread helper(fill, half, count, names_at_half, folded_at_half);
    fill(0, half, 0, 0);
    helper.join();
}

// Each folder's children in enumeration order (folders first, then by name bytes), sorted at the
// scan's positions, where a folder's children and their names lie side by side.
std::vector<uint32_t> sort_children(const ScanState& scan) {
    std::vector<uint32_t> children(scan.nodes.size());
    std::iota(children.begin(), children.end(), 0u);
    auto enumeration_less = [&](uint32_t a, uint32_t b) {
        bool folder_a = scan.nodes[a].flags & ENTRY_FOLDER, folder_b = scan.nodes[b].flags & ENTRY_FOLDER;
        if (folder_a != folder_b) return folder_a;
        return node_name(scan, scan.nodes[a]) < node_name(scan, scan.nodes[b]);
    };
    auto place = [&](uint32_t first, uint32_t count) {
        std::sort(children.begin() + first, children.begin() + first + count, enumeration_less);
    };
    uint32_t top = 0;
    while (top < scan.nodes.size() && scan.nodes[top].parent == INDEX_NO_ENTRY) ++top;
    place(0, top);
    for (const ScanNode& node : scan.nodes)
        if (node.flags & ENTRY_FOLDER) place(node.first_child, node.child_count);
    return children;
}

void fill_children(IndexSnapshot& s, const ScanState& scan, std::vector<uint32_t> sorted,
                   const std::vector<uint32_t>& entry_of) {
    for (uint32_t& child : sorted) child = entry_of[child];
    s.children = std::move(sorted);
    s.top_first = 0;
    s.top_count = 0;
    while (s.top_count < scan.nodes.size() && scan.nodes[s.top_count].parent == INDEX_NO_ENTRY) ++s.top_count;
    for (uint32_t i = 0; i < scan.nodes.size(); ++i) {
        const ScanNode& node = scan.nodes[i];
        if (!(node.flags & ENTRY_FOLDER)) continue;
        IndexEntry& entry = s.entries[entry_of[i]];
        entry.first_child = node.first_child;
        entry.child_count = node.child_count;
    }
}

// path_rank: a counting sort of the entries (already in name order) by their folder's rank.
void fill_path_rank(IndexSnapshot& s, const ScanState& scan, const std::vector<uint32_t>& order,
                    const std::vector<uint32_t>& folder_rank) {
    uint32_t folders = 1;
    for (uint32_t rank : folder_rank) folders = std::max(folders, rank + 1);
    std::vector<uint32_t> start(folders + 1, 0);
    std::vector<uint32_t> key(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) {
        uint32_t parent = scan.nodes[order[e]].parent;
        key[e] = parent == INDEX_NO_ENTRY ? 0 : folder_rank[parent];
        ++start[key[e] + 1];
    }
    std::partial_sum(start.begin(), start.end(), start.begin());
    s.path_rank.resize(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) s.path_rank[e] = start[key[e]]++;
}

// Frees each container's memory now (clear() would keep it).
template <typename... Containers>
void release(Containers&... containers) {
    ((void)Containers().swap(containers), ...);
}

void sum_folder_sizes(ScanState& scan, bool folder_sizes) {
    for (size_t i = scan.nodes.size(); i-- > 0;) {
        ScanNode& node = scan.nodes[i];
        if (folder_sizes && node.parent != INDEX_NO_ENTRY) scan.nodes[node.parent].size += node.size;
    }
    if (folder_sizes) return;
    for (ScanNode& node : scan.nodes)
        if (node.flags & ENTRY_FOLDER) node.size = INDEXED_UNKNOWN;
}

void fill_recent(IndexSnapshot& s, std::vector<ScanRecent> recent, const std::vector<uint32_t>& entry_of) {
    for (ScanRecent& item : recent) item.node = entry_of[item.node];
    std::sort(recent.begin(), recent.end(), [](const ScanRecent& a, const ScanRecent& b) { return a.node < b.node; });
    s.recent_entries.resize(recent.size());
    s.recent_times.resize(recent.size());
    for (size_t i = 0; i < recent.size(); ++i) {
        s.recent_entries[i] = recent[i].node;
        s.recent_times[i] = recent[i].time;
    }
}

}  // namespace

IndexSnapshot* index_snapshot_from_scan(ScanState& scan, std::vector<IndexRootFolder> roots, bool folder_sizes,
                                        const ScanExtras& extras) {
    if (!extras.sizes_are_totals) sum_folder_sizes(scan, folder_sizes);
    FoldedNames folded = fold_names(scan);
    std::vector<uint32_t> folder_rank = rank_folders(scan, folded);
    std::vector<uint32_t> sorted_children;
    std::thread helper([&] { sorted_children = sort_children(scan); });
    std::vector<uint32_t> order = order_by_name(scan, folded, folder_rank);
    std::vector<uint32_t> entry_of(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) entry_of[order[e]] = e;

    // Each step lets go of what the next ones no longer need, so that the scan, the folded names
    // and the new snapshot are never all held whole at once.
    auto* s = new IndexSnapshot();
    fill_records(*s, scan, folded, order, entry_of);
    release(folded.offset, folded.length, folded.extra, folded.decomposed);
    s->extra_text = std::move(folded.extra_text[0]);
    s->extra_text += folded.extra_text[1];
    s->extra_text.shrink_to_fit();
    release(folded.extra_text[1]);
    helper.join();
    fill_children(*s, scan, std::move(sorted_children), entry_of);
    fill_path_rank(*s, scan, order, folder_rank);
    release(order, folder_rank, scan.nodes);
    for (IndexRootFolder& root : roots) root.entry = entry_of[root.entry];
    s->roots = std::move(roots);
    s->folder_sizes = folder_sizes;
    fill_recent(*s, extras.recent, entry_of);
    if (extras.entry_of) extras.entry_of->swap(entry_of);
    release(entry_of);
    fill_arenas(*s, scan.names, folded.text);
    release(scan.names, folded.text);
    return s;
}

bool index_build(const std::vector<IndexRoot>& roots, const IndexOptions& options, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    ScanState scan;
    std::vector<IndexRootFolder> folders;
    if (!index_scan(roots, &scan, &folders, error)) return false;
    IndexSnapshot* snapshot = index_snapshot_from_scan(scan, std::move(folders), options.folder_sizes, {});
    index_scan_report(scan, snapshot->entries.size(), progress_seconds(scan.progress));
    index_generation_set_current(new IndexGeneration(snapshot));
    return true;
}

}  // namespace host
