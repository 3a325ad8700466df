// The index snapshot: every entry in one array of fixed-size records, ordered by name, with the
// names in one arena. Built by index_build.cpp (from a scan or from a version of the live index),
// or read from the saved index, then read by any thread without locks as the base of a generation
// (index_generation.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/sorrelwick_plugin.h"

namespace host {

constexpr uint32_t INDEX_NO_ENTRY = 0xFFFFFFFF;

enum : uint8_t {
    ENTRY_FOLDER = 0x1,
    ENTRY_READ_ONLY = 0x2,
    ENTRY_HIDDEN = 0x4,
    ENTRY_NON_ASCII = 0x8,  // its name has other folded forms in IndexSnapshot::extra_folds
    ENTRY_DECOMPOSED = 0x10,  // its name is not in composed form (NFC): that form is in extra_folds
};

// One file or folder. Entry numbers follow the name order (see IndexSnapshot), so the number of
// an entry is also its rank when results are sorted by name.
struct IndexEntry {
    uint64_t size;           // folders: the sum of the sizes below, or INDEXED_UNKNOWN
    uint64_t date_created;   // FILETIME
    uint64_t date_modified;  // FILETIME
    uint32_t name_offset;    // the name's bytes in IndexSnapshot::names
    uint32_t folded_offset;  // the case-folded name without marks in IndexSnapshot::folded
    uint32_t parent;         // INDEX_NO_ENTRY for a top-level entry
    uint32_t first_child;    // folders: the first of child_count numbers in IndexSnapshot::children
    uint32_t child_count;
    uint8_t name_length;
    uint8_t flags;
    uint16_t folded_length;
};
static_assert(sizeof(IndexEntry) == 48);

// Where the further forms of a non-ASCII name are (for an ASCII name they equal the fully folded
// name and the raw name): at `offset` in IndexSnapshot::extra_text, the case-folded form, then the
// form without marks, then for an ENTRY_DECOMPOSED name its composed form, each a 16-bit length
// followed by its bytes.
struct ExtraFold {
    uint32_t entry;
    uint32_t offset;
};

struct IndexRootFolder {
    std::string folder;  // the folder of this machine
    uint32_t entry;      // its top-level entry
};

struct IndexSnapshot {
    // Entries ordered by folded name, then by name bytes, then by the path order of the parent.
    std::vector<IndexEntry> entries;
    // Each folder's children: folders first, then by name bytes (the enumeration and lookup order).
    std::vector<uint32_t> children;
    uint32_t top_first = 0, top_count = 0;  // the root's children, also in `children`
    // Rank of each entry when sorted by the path of its folder, then by name.
    std::vector<uint32_t> path_rank;
    // Names in entry order, each followed by '\n' (names hold no line feed), so that one search
    // over the whole arena finds matches in entry order.
    std::string names;
    std::string folded;
    std::vector<ExtraFold> extra_folds;  // sorted by entry
    std::string extra_text;
    std::vector<IndexRootFolder> roots;
    bool folder_sizes = true;
    // When the host saw an entry appear or change, for the entries it saw change since the first
    // scan, by entry (sorted); every other entry's is unknown.
    std::vector<uint32_t> recent_entries;
    std::vector<uint64_t> recent_times;
};

uint64_t entry_recent(const IndexSnapshot& s, uint32_t e);  // INDEXED_UNKNOWN when not known

inline std::string_view entry_name(const IndexSnapshot& s, uint32_t e) {
    const IndexEntry& entry = s.entries[e];
    return {s.names.data() + entry.name_offset, entry.name_length};
}
inline std::string_view entry_folded(const IndexSnapshot& s, uint32_t e) {
    const IndexEntry& entry = s.entries[e];
    return {s.folded.data() + entry.folded_offset, entry.folded_length};
}
// The name in the form of `folds` (a FOLD_* bit set: FOLD_CASE, FOLD_MARKS, both, FOLD_COMPOSE
// or none).
std::string_view entry_name_in(const IndexSnapshot& s, uint32_t e, unsigned folds);
// The same for the entry of one of IndexSnapshot::extra_folds, without looking it up (FOLD_CASE,
// FOLD_MARKS, or FOLD_COMPOSE for an ENTRY_DECOMPOSED entry).
std::string_view extra_fold_form(const IndexSnapshot& s, const ExtraFold& fold, unsigned folds);

// The child of that name among the children [first, first + count), or INDEX_NO_ENTRY.
uint32_t index_find_child(const IndexSnapshot& s, uint32_t first, uint32_t count, std::string_view name);

// The entry at an index path (names joined by backslashes, the first a top-level name), or
// INDEX_NO_ENTRY. The empty path is the root, which is not an entry: also INDEX_NO_ENTRY.
uint32_t index_lookup(const IndexSnapshot& s, std::string_view index_path);

// Appends the index path of an entry's folder (empty for a top-level entry) or of the entry.
void index_append_folder_path(const IndexSnapshot& s, uint32_t e, std::string* out);
void index_append_path(const IndexSnapshot& s, uint32_t e, std::string* out);

void index_fill_fd(const IndexSnapshot& s, uint32_t e, IndexedFd* fd);

// Bytes used by the snapshot, in total and for the name text alone.
struct IndexMemory {
    size_t total;
    size_t names;
};
IndexMemory index_memory(const IndexSnapshot& s);

}  // namespace host
