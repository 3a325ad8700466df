// Reading indexed folders again and making the index what the disk holds: one path after a change
// notification, a move, or a whole subtree after lost notifications, on request, or to bring a
// saved index up to date. The disk is read below each root without following any link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "host/index/index_store.h"
#include "host/index/overlay_write.h"

namespace host {

struct RescanCounts {
    size_t examined = 0;  // entries read from the disk
    size_t added = 0;
    size_t changed = 0;
    size_t removed = 0;
    size_t skipped = 0;   // entries and folders that could not be indexed or read
};

// A change to the index, kept while a fold runs so that it can be made again on the fold's base.
struct ReplayOp {
    enum Kind : uint8_t { ADD, UPDATE, MOVE, REMOVE };
    Kind kind;
    std::string path;  // the entry's index path (ADD: the new entry's)
    std::string to;    // MOVE: its new index path
    EntryFacts facts;
    uint64_t recent;   // the writer's date of the change
};

// How rescans change the index: through the writer, noting each change for a running fold.
struct IndexChanger {
    OverlayWriter* writer = nullptr;
    std::vector<ReplayOp>* replay = nullptr;  // set while a fold runs
    RescanCounts* counts = nullptr;
    // Set while the notes of one batch are applied: the folders whose subtrees were read whole from
    // the disk since the batch was taken. Each change of the batch was made before that read and
    // is in it, so that a note below such a folder needs nothing more.
    std::unordered_set<uint32_t>* read_whole = nullptr;
    // Called between folders of a long rescan (which may publish, and apply other changes);
    // false ends the rescan early, as the host stops.
    std::function<bool()> between_folders;

    uint32_t add(uint32_t parent, std::string_view name, const EntryFacts& facts);
    bool update(uint32_t id, const EntryFacts& facts);
    void move(uint32_t id, uint32_t parent, std::string_view name);
    void remove(uint32_t id);
};

// The entry at a path below a root ("/"-separated, "" for the root's own entry), or INDEX_NO_ENTRY.
uint32_t rescan_find(const IndexView& view, const IndexRootFolder& root, const std::string& relative);

// Makes the subtree of an indexed folder, at `relative` below its root, what the disk holds.
// False when ended early.
bool rescan_subtree(IndexChanger& changer, const IndexRootFolder& root, uint32_t folder, const std::string& relative);
// Makes the entry at a path below a root what the disk holds (added with all below it, changed, or
// removed), and its folder's own facts. `appeared`: the path was reported added, so a folder the
// index holds already is read again whole (it may have been read before its watch was in place).
void rescan_path(IndexChanger& changer, const IndexRootFolder& root, const std::string& relative, bool appeared);
// Applies a move inside one root, the entry keeping what is below it, when the disk shows it
// (the old path gone, the new one of the same kind); false otherwise, and nothing is changed.
bool rescan_move(IndexChanger& changer, const IndexRootFolder& root, const std::string& from, const std::string& to);

// Makes a change noted during a fold on the fold's generation.
void replay_apply(OverlayWriter* writer, const ReplayOp& op);

}  // namespace host
