// The scan that an index build starts with: the root folders and everything below them, read
// by two threads, each folder through folder_read (which never follows links).
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "host/index/index.h"
#include "host/index/index_progress.h"
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

// An entry the scan passed over, named so that the user can find it: `path` itself, or the
// `entries` entries of the folder at `path` that were left out together.
struct ScanSkip {
    std::string path;
    std::string reason;
    size_t entries = 0;
};

// How many skipped entries the scan names; the rest are only counted.
constexpr size_t SCAN_NAMED_SKIPS = 5;

struct ScanState {
    std::vector<ScanNode> nodes;
    std::string names;
    size_t skipped = 0;
    std::vector<ScanSkip> named_skips;  // the first few of the skipped
    ScanProgress progress;
    const std::atomic<bool>* stop = nullptr;  // raised: the scan ends early
};

inline std::string_view node_name(const ScanState& scan, const ScanNode& node) {
    return {scan.names.data() + node.name_offset, node.name_length};
}

// Scans the roots into `scan` (the roots first, as nodes 0 to roots.size() - 1) and fills `folders`
// with the roots' folders and nodes. On failure (a root that is no folder or cannot be read)
// returns false with a message for the user.
bool index_scan(const std::vector<IndexRoot>& roots, ScanState* scan, std::vector<IndexRootFolder>* folders,
                std::string* error);
// The two halves of index_scan: the roots' own nodes, then everything below them.
bool index_scan_roots(const std::vector<IndexRoot>& roots, ScanState* scan, std::vector<IndexRootFolder>* folders,
                      std::string* error);
bool index_scan_below(ScanState* scan, const std::vector<IndexRootFolder>& folders, std::string* error);

// Names that an index path cannot carry (a backslash separates path names, at most 255 bytes) or
// that would break the line-based protocols that show them (CR, LF).
bool scan_name_is_indexable(std::string_view name);

// A node with an entry's facts: Windows attribute bits, size (ignored for folders), creation and
// modification FILETIMEs. Name and tree links are left for the caller.
ScanNode scan_node_from(DWORD attributes, uint64_t size, const FILETIME& created, const FILETIME& modified);
// A root folder's own facts, for its top-level entry of that name (its folder is given by the
// user, so a link to it is followed).
WIN32_FIND_DATAA index_root_data(const std::string& folder, std::string_view name);
// The facts of one entry as FindFirstFileA reports them (ENTRY_* flags, a folder's size 0).
ScanNode index_node_from(const WIN32_FIND_DATAA& data, uint32_t parent);

uint64_t filetime_value(const FILETIME& time);

// What a base made from nodes that are not a fresh scan carries beyond them.
struct ScanRecent {
    uint32_t node;
    uint64_t time;  // when the host saw the entry appear or change
};
struct ScanExtras {
    bool sizes_are_totals = false;  // folders' sizes are already the sums below them
    std::vector<ScanRecent> recent;
    std::vector<uint32_t>* entry_of = nullptr;  // when given: filled with each node's entry number
};

// Makes a base of the nodes (index_build.cpp); `scan` is spent: its nodes and names are freed.
IndexSnapshot* index_snapshot_from_scan(ScanState& scan, std::vector<IndexRootFolder> roots, bool folder_sizes,
                                        const ScanExtras& extras);

// Writes the summary line (`entries` indexed) and names the first skipped entries on stderr.
void index_scan_report(const ScanState& scan, size_t entries, double seconds);

}  // namespace host
