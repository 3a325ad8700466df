// Reading the live index: a view is one version of one generation (index_generation.h), held by a
// reference, and every answer below is the index as that version has it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/index/index_generation.h"

namespace host {

struct IndexView {
    IndexGeneration* generation = nullptr;
    uint32_t version = 0;
};

// The current version (an empty index before any is made), with a reference of its own.
IndexView index_view_acquire();
IndexView index_view_copy(const IndexView& view);  // another reference on the same version
void index_view_release(IndexView* view);          // leaves it empty

// A view released at the end of a block.
class ScopedView {
public:
    ScopedView() : view_(index_view_acquire()) {}
    explicit ScopedView(const IndexView& view) : view_(index_view_copy(view)) {}
    ~ScopedView() { index_view_release(&view_); }
    ScopedView(const ScopedView&) = delete;
    ScopedView& operator=(const ScopedView&) = delete;
    const IndexView& get() const { return view_; }
    operator const IndexView&() const { return view_; }

private:
    IndexView view_;
};

inline const IndexSnapshot& view_base(const IndexView& view) { return *view.generation->base; }
// Whether the version is its base unchanged, so that base-only code answers for it.
inline bool view_is_pure(const IndexView& view) {
    return view.generation->first_change.load(std::memory_order_relaxed) > view.version;
}
// Whether a base folder was renamed or moved at this version (base path order is then stale below it).
inline bool view_has_relocations(const IndexView& view) {
    return view.generation->first_relocation.load(std::memory_order_relaxed) <= view.version;
}
// One past the largest id the version may hold.
inline uint32_t view_id_end(const IndexView& view) {
    return view.generation->base_count + static_cast<uint32_t>(view.generation->later_slots.size());
}

// An entry as a view has it: its base entry unchanged, or its overlay record; neither when absent.
struct EntryRef {
    const IndexEntry* base = nullptr;
    const OverlayRecord* record = nullptr;
    explicit operator bool() const { return base || record; }
};

EntryRef view_entry(const IndexView& view, uint32_t id);
// The base id's state when its base entry holds unchanged at the version (the common case, cheap).
inline bool view_base_unchanged(const IndexView& view, uint32_t id) {
    OverlaySlot* slot = overlay_slot(*view.generation, id);
    if (!slot) return true;
    for (OverlayRecord* record = slot->newest.load(std::memory_order_acquire); record; record = record->older)
        if (record->born <= view.version) return false;
    return true;
}

inline uint8_t ref_flags(EntryRef ref) { return ref.base ? ref.base->flags : ref.record->flags; }
inline bool ref_is_folder(EntryRef ref) { return (ref_flags(ref) & ENTRY_FOLDER) != 0; }
inline uint32_t ref_parent(EntryRef ref) { return ref.base ? ref.base->parent : ref.record->parent; }
inline uint64_t ref_size(EntryRef ref) { return ref.base ? ref.base->size : ref.record->size; }
inline uint64_t ref_date_created(EntryRef ref) { return ref.base ? ref.base->date_created : ref.record->date_created; }
inline uint64_t ref_date_modified(EntryRef ref) {
    return ref.base ? ref.base->date_modified : ref.record->date_modified;
}
std::string_view ref_name(const IndexView& view, EntryRef ref);
std::string_view ref_folded(const IndexView& view, EntryRef ref);
std::string_view ref_name_in(const IndexView& view, EntryRef ref, unsigned folds);  // folds: FOLD_* bits
uint64_t ref_recent(const IndexView& view, EntryRef ref);
void ref_fill_fd(EntryRef ref, IndexedFd* fd);

// The child of a folder (INDEX_NO_ENTRY: the top level) with that name, or INDEX_NO_ENTRY.
uint32_t view_child(const IndexView& view, uint32_t folder, std::string_view name);
// The entry at an index path, as index_lookup() for a base.
uint32_t view_lookup(const IndexView& view, std::string_view index_path);
// Whether the children of a folder (INDEX_NO_ENTRY: the top level) are the base's at this version.
bool view_folder_clean(const IndexView& view, uint32_t folder);
// The children of a folder (INDEX_NO_ENTRY: the top level) in enumeration order, folders first,
// then by name bytes: the base's children, or a list made in *scratch.
std::span<const uint32_t> view_children(const IndexView& view, uint32_t folder, std::vector<uint32_t>* scratch);
// The overlay records alive at the version that are not removals, oldest first, into *out.
void view_overlay_records(const IndexView& view, std::vector<const OverlayRecord*>* out);

// Index paths, as index_append_folder_path() and index_append_path() for a base.
void view_append_folder_path(const IndexView& view, uint32_t id, std::string* out);
void view_append_path(const IndexView& view, uint32_t id, std::string* out);

// Enumeration order and name order between two entries of one view.
bool view_enumeration_less(const IndexView& view, EntryRef a, EntryRef b);

}  // namespace host
