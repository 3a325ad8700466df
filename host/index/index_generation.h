// The live index: an immutable base that the scan (or the saved index) made, and an overlay of the
// changes seen since, read by any number of threads while one thread writes.
//
// A generation is one base (IndexSnapshot, entry numbers in name order) and an overlay that only
// grows. A version is a number within a generation; a reader holds a view, (generation, version),
// and sees the base changed by exactly the overlay records born at or before its version. The one
// writer (the updater thread, index_update.cpp) makes records for version `published + 1` and then
// publishes that version; when the overlay has grown past a share of the base, a fold makes a new
// base of a version in the background, and the writer starts a new generation from it and
// replays the changes it made meanwhile (index_update.cpp).
//
// Invariants
//  1. Entry ids are stable within a generation: base entries keep their numbers 0..base_count-1;
//     entries that appear later get base_count, base_count + 1, ... An id is never reused within
//     a generation, and every id names the same file or folder for the generation's life (moved,
//     renamed or changed); a kind change (a file replaced by a folder) is a removal and a new id.
//  2. The records of an id form a chain, newest first (`older`), with non-increasing `born`. The
//     state of an id at version v is the first record of its chain with born <= v; without one,
//     the base entry (for a base id) or nothing (for a later id). A removal is a record with
//     RECORD_REMOVED, and removing a folder removes everything below it at the same version: an
//     entry's presence never depends on its ancestors.
//  3. A record is immutable once its version is published, but for `died`, which is set once: to
//     the version of the record that superseded it. A record is alive at v when born <= v < died;
//     at most one record of an id is alive at any version.
//  4. A record is placed when its parent or name differs from its base entry's (always, for a later
//     id). Placed records are linked into their parent's children list and into the name buckets;
//     an unplaced record gives a base entry new facts at the base entry's own place.
//  5. A folder's slot holds `dirty_since`, the first version at which its children (their set or
//     their facts) differ from the base's. A folder clean at v is listed, looked up and walked from
//     the base alone. `first_change` and `first_relocation` (a base folder renamed or moved) say
//     the same for the whole generation.
//  6. Size totals: with folder sizes on, every folder's size at every version is the sum of the
//     sizes of the files below it at that version.
//
// Thread meeting: readers and the writer share the generation's overlay only. The writer writes a
// record, its slot and list links, and any `dirty_since` or first_* mark, before it stores the
// version into `published` (release); a reader loads `published` once when it takes its view
// (acquire) and from then on reads only what that version covers, looking at `born` first: what
// a newer version adds may be seen half-made and is skipped by `born` alone. Pointers, slot
// indices and table sizes are atomics, stored with release after what they lead to. Nothing of a
// generation is freed before the generation, which goes with its last view.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/index/arena_find.h"
#include "host/index/index_store.h"

namespace host {

constexpr uint32_t VERSION_NEVER = 0xFFFFFFFF;

enum : uint8_t {
    RECORD_REMOVED = 0x40,  // beside the ENTRY_* flags of IndexEntry
    RECORD_PLACED = 0x80,
};

// One state of an entry that differs from the base.
struct OverlayRecord {
    uint32_t id;
    uint32_t parent;  // an entry id, INDEX_NO_ENTRY for a top-level entry
    uint32_t born;
    std::atomic<uint32_t> died{VERSION_NEVER};
    uint64_t size;
    uint64_t date_created;
    uint64_t date_modified;
    uint64_t recent;  // when the host saw the entry appear or change (FILETIME)
    uint32_t name_at = 0;    // where the name's line starts in IndexGeneration::arena_names, and
    uint32_t folded_at = 0;  // the folded name's in arena_folded (when the record is in them)
    uint8_t flags;    // ENTRY_* and RECORD_*
    OverlayRecord* older = nullptr;           // the previous state of the same entry
    OverlayRecord* next_child = nullptr;      // the previous record placed under the same parent
    OverlayRecord* next_in_bucket = nullptr;  // the previous placed record of the same name bucket
    std::string name;
    std::string folded;        // case and marks folded (FOLD_CASE | FOLD_MARKS)
    std::string case_folded;   // non-ASCII names only: FOLD_CASE alone
    std::string marks_folded;  // non-ASCII names only: FOLD_MARKS alone
    std::string composed;      // ENTRY_DECOMPOSED names only: the composed form (NFC)

    bool alive_at(uint32_t version) const {
        return born <= version && died.load(std::memory_order_relaxed) > version;
    }
};

// What a generation keeps for one entry id that has records, or whose children changed.
struct OverlaySlot {
    std::atomic<OverlayRecord*> newest{nullptr};
    std::atomic<OverlayRecord*> children{nullptr};  // placed records under this folder, newest first
    std::atomic<uint32_t> dirty_since{VERSION_NEVER};
};

// A table that only grows: one thread appends, any thread reads below size(); elements never move.
template <typename T>
class GrowOnlyTable {
public:
    static constexpr size_t CHUNK_BITS = 14;
    static constexpr size_t CHUNK = size_t{1} << CHUNK_BITS;
    static constexpr size_t MAX_CHUNKS = size_t{1} << 14;

    GrowOnlyTable() : chunks_(static_cast<T**>(std::calloc(MAX_CHUNKS, sizeof(T*)))) {
        if (!chunks_) throw std::bad_alloc();
    }
    ~GrowOnlyTable() {
        for (size_t i = 0; i < MAX_CHUNKS && chunks_[i]; ++i) delete[] chunks_[i];
        std::free(chunks_);
    }
    GrowOnlyTable(const GrowOnlyTable&) = delete;
    GrowOnlyTable& operator=(const GrowOnlyTable&) = delete;

    size_t size() const { return size_.load(std::memory_order_acquire); }
    T& at(size_t index) const {
        return std::atomic_ref<T*>(chunks_[index >> CHUNK_BITS]).load(std::memory_order_acquire)[index & (CHUNK - 1)];
    }
    // Writer only: the next element, default-made, to be filled before commit() shows it.
    T& next() {
        size_t index = size_.load(std::memory_order_relaxed);
        T*& chunk = chunks_[index >> CHUNK_BITS];
        if (!chunk) std::atomic_ref<T*>(chunk).store(new T[CHUNK](), std::memory_order_release);
        return chunk[index & (CHUNK - 1)];
    }
    size_t commit() { return size_.fetch_add(1, std::memory_order_release); }

private:
    T** chunks_;
    std::atomic<size_t> size_{0};
};

// What a generation made by a fold was made of: a version of another generation, and the number
// each id of that version has here (INDEX_NO_ENTRY: absent), so that what was found there can be
// carried over.
struct FoldOrigin {
    uint64_t generation;  // its serial
    uint32_t version;
    std::vector<uint32_t> ids;
};

struct IndexGeneration {
    explicit IndexGeneration(IndexSnapshot* base_snapshot);
    ~IndexGeneration();
    IndexGeneration(const IndexGeneration&) = delete;
    IndexGeneration& operator=(const IndexGeneration&) = delete;

    std::atomic<long> references{1};
    const uint64_t serial;  // unique in the process, unlike the address
    std::unique_ptr<const FoldOrigin> origin;  // a fold's generation: set before readers see it
    IndexSnapshot* base;  // owned
    uint32_t base_count;
    std::atomic<uint32_t> published{0};
    std::atomic<uint32_t> first_change{VERSION_NEVER};
    std::atomic<uint32_t> first_relocation{VERSION_NEVER};
    // Base ids that have a slot: 1 + its index in base_slots, 0 for none (read with atomic_ref).
    uint32_t* base_slot_of;
    GrowOnlyTable<OverlaySlot> base_slots;
    GrowOnlyTable<OverlaySlot> later_slots;  // of ids base_count, base_count + 1, ...
    GrowOnlyTable<OverlayRecord*> records;   // every record, oldest first; owned
    OverlayRecord** buckets;  // placed records by parent and name, newest first (read with atomic_ref)
    size_t bucket_count;      // a power of two
    // The names of the records in record order, each followed by '\n' (a removal's is empty), raw
    // and folded, for the searches' fast paths as the base's arenas are. Reserved whole at the start,
    // the system giving pages as they are first written, so that they never move while read; the
    // first `arena_records` records are in them, and those beyond the reservation are not.
    char* arena_names;
    char* arena_folded;
    size_t arena_capacity;
    size_t arena_names_used = 0;  // writer only
    size_t arena_folded_used = 0;
    std::atomic<uint32_t> arena_records{0};
    // How often each byte occurs in the base's arenas, raw and folded, for the searches to look for
    // a needle's rarest byte (in the overlay's arenas as well: their names are of the same kind).
    ArenaByteCounts base_name_bytes;
    ArenaByteCounts base_folded_bytes;
};

size_t overlay_bucket_of(const IndexGeneration& generation, uint32_t parent, std::string_view name);

// The slot of an id, or null when it has none.
inline OverlaySlot* overlay_slot(const IndexGeneration& generation, uint32_t id) {
    if (id < generation.base_count) {
        uint32_t slot = std::atomic_ref<uint32_t>(generation.base_slot_of[id]).load(std::memory_order_acquire);
        return slot == 0 ? nullptr : &generation.base_slots.at(slot - 1);
    }
    size_t later = id - generation.base_count;
    return later < generation.later_slots.size() ? &generation.later_slots.at(later) : nullptr;
}

// The generation readers get from now on; takes over the caller's reference. Null: none.
void index_generation_set_current(IndexGeneration* generation);
void index_generation_release(IndexGeneration* generation);
// Runs `hook` (null: nothing) on whichever thread frees a generation, after it was freed.
void index_generation_set_freed_hook(void (*hook)());
// Runs `hook` (null: nothing) on the writing thread whenever readers can take another version:
// one published, or another generation made current. index_changed() runs it.
void index_set_changed_hook(void (*hook)());
void index_changed();

}  // namespace host
