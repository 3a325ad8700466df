// Changing the live index: the writer's side of a generation (index_generation.h). Every call
// makes records for the version being made, which readers see once overlay_publish() has run.
// One thread at a time (the updater's) writes a generation.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "host/index/index_view.h"

namespace host {

// An entry's own facts as the disk gives them.
struct EntryFacts {
    uint64_t size = 0;  // files only: a folder's size is the index's sum, or unknown
    uint64_t date_created = INDEXED_UNKNOWN;
    uint64_t date_modified = INDEXED_UNKNOWN;
    uint8_t flags = 0;  // ENTRY_FOLDER, ENTRY_READ_ONLY, ENTRY_HIDDEN

    bool operator==(const EntryFacts&) const = default;
};

struct OverlayWriter {
    IndexGeneration* generation = nullptr;  // with a reference of the writer's own
    uint32_t next = 1;                      // the version being made
    uint64_t now = INDEXED_UNKNOWN;         // the date recently changed of what is made now
    size_t made = 0;                        // records made for `next`
    std::unordered_map<uint32_t, int64_t> size_deltas;  // by folder, added up by overlay_publish()
};

// Starts writing a generation after its last published version; takes over the caller's reference.
void overlay_writer_start(OverlayWriter* writer, IndexGeneration* generation);
void overlay_writer_end(OverlayWriter* writer);  // drops the reference

// The version being made, with what has been made so far (no reference of its own).
inline IndexView overlay_view(const OverlayWriter& writer) { return {writer.generation, writer.next}; }

// A new entry under a folder (never the top level). Returns its id.
uint32_t overlay_add(OverlayWriter* writer, uint32_t parent, std::string_view name, const EntryFacts& facts);
// New facts for an entry of the same kind; false when they are the ones it has.
bool overlay_update(OverlayWriter* writer, uint32_t id, const EntryFacts& facts);
// An entry (and what is below it) under another folder or name.
void overlay_move(OverlayWriter* writer, uint32_t id, uint32_t parent, std::string_view name);
// An entry and everything below it leave the index.
void overlay_remove(OverlayWriter* writer, uint32_t id);
// Adds up the folder sizes and shows the version to readers; nothing when nothing was made.
void overlay_publish(OverlayWriter* writer);

// The facts an entry has at a view, in the form the disk gives them.
EntryFacts entry_facts(EntryRef ref);
// Whether the disk's facts differ from the index's (a folder's size is the index's own).
bool entry_facts_differ(const EntryFacts& index, const EntryFacts& disk);

}  // namespace host
