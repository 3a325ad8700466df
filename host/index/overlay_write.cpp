#include "host/index/overlay_write.h"

#include <cstring>
#include <vector>

#include "host/index/text_fold.h"

namespace host {
namespace {

constexpr uint8_t FACT_FLAGS = ENTRY_FOLDER | ENTRY_READ_ONLY | ENTRY_HIDDEN;

// The slot of an id, made when it has none (a later id's is made with the id).
OverlaySlot& slot_make(OverlayWriter& writer, uint32_t id) {
    IndexGeneration& generation = *writer.generation;
    if (id >= generation.base_count) return generation.later_slots.at(id - generation.base_count);
    std::atomic_ref<uint32_t> index(generation.base_slot_of[id]);
    uint32_t known = index.load(std::memory_order_relaxed);
    if (known != 0) return generation.base_slots.at(known - 1);
    OverlaySlot& slot = generation.base_slots.next();
    index.store(static_cast<uint32_t>(generation.base_slots.commit()) + 1, std::memory_order_release);
    return slot;
}

void mark_once(std::atomic<uint32_t>& mark, uint32_t version) {
    if (mark.load(std::memory_order_relaxed) == VERSION_NEVER) mark.store(version, std::memory_order_relaxed);
}

void mark_dirty(OverlayWriter& writer, uint32_t folder) {
    if (folder != INDEX_NO_ENTRY) mark_once(slot_make(writer, folder).dirty_since, writer.next);
}

void name_set(OverlayRecord* record, std::string_view name) {
    record->name.assign(name);
    record->folded.clear();
    text_fold_append(name, FOLD_CASE | FOLD_MARKS, &record->folded);
    record->case_folded.clear();
    record->marks_folded.clear();
    record->composed.clear();
    record->flags &= ~(ENTRY_NON_ASCII | ENTRY_DECOMPOSED);
    if (text_is_ascii(name)) return;
    record->flags |= ENTRY_NON_ASCII;
    text_fold_append(name, FOLD_CASE, &record->case_folded);
    text_fold_append(name, FOLD_MARKS, &record->marks_folded);
    // As the scan does: the composed form is kept only when it differs from the name.
    text_fold_append(name, FOLD_COMPOSE, &record->composed);
    if (record->composed == name) record->composed.clear();
    else record->flags |= ENTRY_DECOMPOSED;
}

// A new record of an entry's current state, to be changed and then written.
OverlayRecord* record_copy(const OverlayWriter& writer, uint32_t id, EntryRef current) {
    IndexView view = overlay_view(writer);
    auto* record = new OverlayRecord;
    record->id = id;
    record->parent = ref_parent(current);
    record->born = writer.next;
    record->size = ref_size(current);
    record->date_created = ref_date_created(current);
    record->date_modified = ref_date_modified(current);
    record->recent = ref_recent(view, current);
    record->flags = ref_flags(current) & (FACT_FLAGS | ENTRY_NON_ASCII | ENTRY_DECOMPOSED);
    record->name.assign(ref_name(view, current));
    record->folded.assign(ref_folded(view, current));
    if (record->flags & ENTRY_NON_ASCII) {
        record->case_folded.assign(ref_name_in(view, current, FOLD_CASE));
        record->marks_folded.assign(ref_name_in(view, current, FOLD_MARKS));
    }
    if (record->flags & ENTRY_DECOMPOSED) record->composed.assign(ref_name_in(view, current, FOLD_COMPOSE));
    return record;
}

// Puts a record's names in the overlay's arenas while they have room and hold every record before it.
void arena_add(IndexGeneration& generation, uint32_t index, OverlayRecord* record) {
    if (generation.arena_records.load(std::memory_order_relaxed) != index) return;
    if (generation.arena_names_used + record->name.size() + 1 > generation.arena_capacity ||
        generation.arena_folded_used + record->folded.size() + 1 > generation.arena_capacity)
        return;
    record->name_at = static_cast<uint32_t>(generation.arena_names_used);
    record->folded_at = static_cast<uint32_t>(generation.arena_folded_used);
    char* names = generation.arena_names + generation.arena_names_used;
    std::memcpy(names, record->name.data(), record->name.size());
    names[record->name.size()] = '\n';
    char* folded = generation.arena_folded + generation.arena_folded_used;
    std::memcpy(folded, record->folded.data(), record->folded.size());
    folded[record->folded.size()] = '\n';
    generation.arena_names_used += record->name.size() + 1;
    generation.arena_folded_used += record->folded.size() + 1;
    generation.arena_records.store(index + 1, std::memory_order_release);
}

// Makes `record` the newest state of its id: links it where readers will look for it.
void state_write(OverlayWriter& writer, OverlayRecord* record) {
    IndexGeneration& generation = *writer.generation;
    const IndexSnapshot& base = *generation.base;
    uint32_t id = record->id;
    OverlaySlot& slot = slot_make(writer, id);
    OverlayRecord* previous = slot.newest.load(std::memory_order_relaxed);
    record->older = previous;
    if (previous) previous->died.store(writer.next, std::memory_order_relaxed);
    bool in_base = id < generation.base_count;
    if (in_base) mark_dirty(writer, base.entries[id].parent);
    if (!(record->flags & RECORD_REMOVED)) {
        bool placed = !in_base || record->parent != base.entries[id].parent || record->name != entry_name(base, id);
        if (placed) {
            record->flags |= RECORD_PLACED;
            OverlaySlot& parent = slot_make(writer, record->parent);
            record->next_child = parent.children.load(std::memory_order_relaxed);
            parent.children.store(record, std::memory_order_release);
            std::atomic_ref<OverlayRecord*> bucket(
                generation.buckets[overlay_bucket_of(generation, record->parent, record->name)]);
            record->next_in_bucket = bucket.load(std::memory_order_relaxed);
            bucket.store(record, std::memory_order_release);
            mark_dirty(writer, record->parent);
            if (in_base && (record->flags & ENTRY_FOLDER)) mark_once(generation.first_relocation, writer.next);
        }
    }
    generation.records.next() = record;
    arena_add(generation, static_cast<uint32_t>(generation.records.commit()), record);
    slot.newest.store(record, std::memory_order_release);
    mark_once(generation.first_change, writer.next);
    ++writer.made;
}

void size_delta(OverlayWriter& writer, uint32_t folder, int64_t delta) {
    if (delta != 0 && folder != INDEX_NO_ENTRY && writer.generation->base->folder_sizes)
        writer.size_deltas[folder] += delta;
}

// The record of an id made for the version being made, or null.
OverlayRecord* pending_record(const OverlayWriter& writer, EntryRef current) {
    return current.record && current.record->born == writer.next ? const_cast<OverlayRecord*>(current.record)
                                                                   : nullptr;
}

// Every entry below a folder at the version being made, and the folder itself.
std::vector<uint32_t> subtree_of(const OverlayWriter& writer, uint32_t top) {
    IndexView view = overlay_view(writer);
    std::vector<uint32_t> subtree{top}, scratch;
    for (size_t at = 0; at < subtree.size(); ++at) {
        EntryRef ref = view_entry(view, subtree[at]);
        if (!ref || !ref_is_folder(ref)) continue;
        for (uint32_t child : view_children(view, subtree[at], &scratch)) subtree.push_back(child);
    }
    return subtree;
}

// Adds each folder's change of size to it and to every folder above it.
void sizes_add_up(OverlayWriter& writer) {
    IndexView view = overlay_view(writer);
    std::unordered_map<uint32_t, int64_t> totals;
    for (const auto& [folder, delta] : writer.size_deltas) {
        if (delta == 0) continue;
        for (uint32_t at = folder; at != INDEX_NO_ENTRY;) {
            EntryRef ref = view_entry(view, at);
            if (!ref) break;  // removed since, with what is below it
            totals[at] += delta;
            at = ref_parent(ref);
        }
    }
    writer.size_deltas.clear();
    for (const auto& [folder, delta] : totals) {
        if (delta == 0) continue;
        EntryRef current = view_entry(view, folder);
        if (OverlayRecord* pending = pending_record(writer, current)) {
            pending->size += static_cast<uint64_t>(delta);
            continue;
        }
        OverlayRecord* record = record_copy(writer, folder, current);
        record->size += static_cast<uint64_t>(delta);
        state_write(writer, record);
    }
}

}  // namespace

EntryFacts entry_facts(EntryRef ref) {
    return {ref_size(ref), ref_date_created(ref), ref_date_modified(ref),
            static_cast<uint8_t>(ref_flags(ref) & FACT_FLAGS)};
}

bool entry_facts_differ(const EntryFacts& index, const EntryFacts& disk) {
    bool folder = index.flags & ENTRY_FOLDER;
    return index.date_created != disk.date_created || index.date_modified != disk.date_modified ||
           index.flags != (disk.flags & FACT_FLAGS) || (!folder && index.size != disk.size);
}

void overlay_writer_start(OverlayWriter* writer, IndexGeneration* generation) {
    writer->generation = generation;
    writer->next = generation->published.load(std::memory_order_relaxed) + 1;
    writer->made = 0;
    writer->size_deltas.clear();
}

void overlay_writer_end(OverlayWriter* writer) {
    index_generation_release(writer->generation);
    writer->generation = nullptr;
}

uint32_t overlay_add(OverlayWriter* writer, uint32_t parent, std::string_view name, const EntryFacts& facts) {
    IndexGeneration& generation = *writer->generation;
    auto id = static_cast<uint32_t>(generation.base_count + generation.later_slots.size());
    generation.later_slots.next();
    generation.later_slots.commit();
    auto* record = new OverlayRecord;
    record->id = id;
    record->parent = parent;
    record->born = writer->next;
    bool folder = facts.flags & ENTRY_FOLDER;
    record->size = !folder ? facts.size : generation.base->folder_sizes ? 0 : INDEXED_UNKNOWN;
    record->date_created = facts.date_created;
    record->date_modified = facts.date_modified;
    record->recent = writer->now;
    record->flags = facts.flags & FACT_FLAGS;
    name_set(record, name);
    state_write(*writer, record);
    if (!folder) size_delta(*writer, parent, static_cast<int64_t>(facts.size));
    return id;
}

bool overlay_update(OverlayWriter* writer, uint32_t id, const EntryFacts& facts) {
    EntryRef current = view_entry(overlay_view(*writer), id);
    if (!current || !entry_facts_differ(entry_facts(current), facts)) return false;
    bool folder = ref_is_folder(current);
    int64_t delta = folder ? 0 : static_cast<int64_t>(facts.size - ref_size(current));
    OverlayRecord* record = pending_record(*writer, current);
    if (!record) record = record_copy(*writer, id, current);
    if (!folder) record->size = facts.size;
    record->date_created = facts.date_created;
    record->date_modified = facts.date_modified;
    record->flags = (record->flags & ~(ENTRY_READ_ONLY | ENTRY_HIDDEN)) | (facts.flags & (ENTRY_READ_ONLY | ENTRY_HIDDEN));
    record->recent = writer->now;
    if (record != current.record) state_write(*writer, record);
    size_delta(*writer, ref_parent(current), delta);
    return true;
}

void overlay_move(OverlayWriter* writer, uint32_t id, uint32_t parent, std::string_view name) {
    EntryRef current = view_entry(overlay_view(*writer), id);
    if (!current) return;
    OverlayRecord* record = record_copy(*writer, id, current);
    record->parent = parent;
    if (name != record->name) name_set(record, name);
    record->recent = writer->now;
    uint64_t size = ref_size(current);
    if (size != INDEXED_UNKNOWN) {
        size_delta(*writer, ref_parent(current), -static_cast<int64_t>(size));
        size_delta(*writer, parent, static_cast<int64_t>(size));
    }
    state_write(*writer, record);
}

void overlay_remove(OverlayWriter* writer, uint32_t id) {
    EntryRef current = view_entry(overlay_view(*writer), id);
    if (!current) return;
    if (ref_size(current) != INDEXED_UNKNOWN)
        size_delta(*writer, ref_parent(current), -static_cast<int64_t>(ref_size(current)));
    for (uint32_t gone : subtree_of(*writer, id)) {
        auto* record = new OverlayRecord;
        record->id = gone;
        record->parent = INDEX_NO_ENTRY;
        record->born = writer->next;
        record->size = record->date_created = record->date_modified = record->recent = INDEXED_UNKNOWN;
        record->flags = RECORD_REMOVED;
        state_write(*writer, record);
    }
}

void overlay_publish(OverlayWriter* writer) {
    sizes_add_up(*writer);
    if (writer->made == 0) return;
    writer->generation->published.store(writer->next, std::memory_order_release);
    ++writer->next;
    writer->made = 0;
    index_changed();
}

}  // namespace host
