#include "host/index/index_fold.h"

#include "host/index/index_scan.h"

namespace host {
namespace {

constexpr size_t CANCEL_POLL_NODES = 4096;

void node_add(const IndexView& view, uint32_t id, uint32_t parent, ScanState* scan, ScanExtras* extras) {
    EntryRef ref = view_entry(view, id);
    std::string_view name = ref_name(view, ref);
    ScanNode node = {};
    node.size = ref_size(ref);
    node.date_created = ref_date_created(ref);
    node.date_modified = ref_date_modified(ref);
    node.name_offset = static_cast<uint32_t>(scan->names.size());
    node.parent = parent;
    node.name_length = static_cast<uint8_t>(name.size());
    node.flags = ref_flags(ref) & (ENTRY_FOLDER | ENTRY_READ_ONLY | ENTRY_HIDDEN);
    uint64_t recent = ref_recent(view, ref);
    if (recent != INDEXED_UNKNOWN) extras->recent.push_back({static_cast<uint32_t>(scan->nodes.size()), recent});
    scan->names.append(name);
    scan->nodes.push_back(node);
}

}  // namespace

IndexSnapshot* index_fold(const IndexView& view, const std::atomic<bool>* cancel, std::vector<uint32_t>* renumbered) {
    const IndexSnapshot& base = view_base(view);
    ScanState scan;
    ScanExtras extras;
    extras.sizes_are_totals = true;
    // Breadth first, as a scan goes: each folder's children one after the other, after it.
    std::vector<uint32_t> ids;
    std::vector<IndexRootFolder> roots = base.roots;
    std::vector<uint32_t> scratch;
    for (uint32_t top : view_children(view, INDEX_NO_ENTRY, &scratch)) {
        for (IndexRootFolder& root : roots)
            if (root.entry == top) root.entry = static_cast<uint32_t>(ids.size());
        node_add(view, top, INDEX_NO_ENTRY, &scan, &extras);
        ids.push_back(top);
    }
    for (uint32_t node = 0; node < scan.nodes.size(); ++node) {
        if (node % CANCEL_POLL_NODES == 0 && cancel && cancel->load(std::memory_order_relaxed)) return nullptr;
        if (!(scan.nodes[node].flags & ENTRY_FOLDER)) continue;
        std::span<const uint32_t> children = view_children(view, ids[node], &scratch);
        scan.nodes[node].first_child = static_cast<uint32_t>(scan.nodes.size());
        scan.nodes[node].child_count = static_cast<uint32_t>(children.size());
        for (uint32_t child : children) {
            node_add(view, child, node, &scan, &extras);
            ids.push_back(child);
        }
    }
    if (!renumbered) {
        std::vector<uint32_t>().swap(ids);
        return index_snapshot_from_scan(scan, std::move(roots), base.folder_sizes, extras);
    }
    std::vector<uint32_t> entry_of;
    extras.entry_of = &entry_of;
    IndexSnapshot* folded = index_snapshot_from_scan(scan, std::move(roots), base.folder_sizes, extras);
    renumbered->assign(view_id_end(view), INDEX_NO_ENTRY);
    for (size_t node = 0; node < ids.size(); ++node) (*renumbered)[ids[node]] = entry_of[node];
    return folded;
}

}  // namespace host
