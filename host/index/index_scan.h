// The scan that an index build starts with: the root folders and everything below them, read
// through FindFirstFileA (which never follows symbolic links) by two threads.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "host/index/index.h"
#include "host/index/index_store.h"

namespace host {

// An entry as the scan finds it; the scan appends a folder's children one after the other, so
// they are contiguous and come after their folder.
struct ScanNode {
    uint64_t size;
    uint64_t date_created;
    uint64_t date_modified;
    uint32_t name_offset;
    uint32_t parent;
    uint32_t first_child;
    uint32_t child_count;
    uint8_t name_length;
    uint8_t flags;
};

// An entry the scan passed over, named so that the user can find it.
struct ScanSkip {
    std::string path;
    std::string reason;
};

// How many skipped entries the scan names; the rest are only counted.
constexpr size_t SCAN_NAMED_SKIPS = 5;

struct ScanState {
    std::vector<ScanNode> nodes;
    std::string names;
    size_t skipped = 0;
    std::vector<ScanSkip> named_skips;  // the first few of the skipped
    bool show_progress = false;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point last_progress;
};

inline std::string_view node_name(const ScanState& scan, const ScanNode& node) {
    return {scan.names.data() + node.name_offset, node.name_length};
}

// Scans the roots into `scan` (the roots first, as nodes 0 to roots.size() - 1) and fills `folders`
// with the roots' folders and nodes. On failure (a root that is no folder or cannot be read)
// returns false with a message for the user.
bool index_scan(const std::vector<IndexRoot>& roots, ScanState* scan, std::vector<IndexRootFolder>* folders,
                std::string* error);

uint64_t filetime_value(const FILETIME& time);

// What a base made from nodes that are not a fresh scan carries beyond them.
struct ScanRecent {
    uint32_t node;
    uint64_t time;  // when the host saw the entry appear or change
};
struct ScanExtras {
    bool sizes_are_totals = false;  // folders' sizes are already the sums below them
    std::vector<ScanRecent> recent;
};

// Makes a base of the nodes (index_build.cpp); `scan` is spent.
IndexSnapshot* index_snapshot_from_scan(ScanState& scan, std::vector<IndexRootFolder> roots, bool folder_sizes,
                                        const ScanExtras& extras);

// Writes the summary line and names the first skipped entries on stderr.
void index_scan_report(const ScanState& scan, double seconds);

}  // namespace host
