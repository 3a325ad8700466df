#include "host/index/index_view.h"

#include <algorithm>
#include <functional>
#include <mutex>

#include "host/index/text_fold.h"
#include "sdk/platform_api.h"

namespace host {
namespace {

std::mutex g_current_lock;
IndexGeneration* g_current = nullptr;  // guarded by g_current_lock
std::atomic<void (*)()> g_freed_hook{nullptr};
std::atomic<void (*)()> g_changed_hook{nullptr};
std::atomic<uint64_t> g_generation_serials{0};

// The overlay's name arenas: half the base's names, within these bounds (a reservation of address
// space: only what the names fill costs memory).
constexpr size_t ARENA_MIN_BYTES = 1 << 20;
constexpr size_t ARENA_MAX_BYTES = 256 << 20;

size_t bucket_count_for(size_t entries) {
    size_t count = 4096;
    while (count < entries / 4) count *= 2;
    return count;
}

// Pages straight from the system, zero and costing nothing until written. From the heap, a large
// block may reuse pages the scan or an older generation left resident (and calloc clears them).
template <typename T>
T* pages_take(size_t count) {
    size_t bytes = std::max<size_t>(1, count) * sizeof(T);
    void* pages = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!pages) throw std::bad_alloc();
    return static_cast<T*>(pages);
}

void pages_give_back(void* pages) { VirtualFree(pages, 0, MEM_RELEASE); }

uint32_t entry_number(const IndexView& view, EntryRef ref) {
    return static_cast<uint32_t>(ref.base - view.generation->base->entries.data());
}

// Enumeration order: folders first, then by name bytes.
bool enumeration_less(bool folder_a, std::string_view name_a, bool folder_b, std::string_view name_b) {
    if (folder_a != folder_b) return folder_a;
    return name_a < name_b;
}

}  // namespace

IndexGeneration::IndexGeneration(IndexSnapshot* base_snapshot)
    : serial(++g_generation_serials), base(base_snapshot), base_count(static_cast<uint32_t>(base_snapshot->entries.size())) {
    // A generation without changes costs no memory for these.
    base_slot_of = pages_take<uint32_t>(base_count);
    bucket_count = bucket_count_for(base_count);
    buckets = pages_take<OverlayRecord*>(bucket_count);
    arena_capacity = std::clamp<size_t>(base->names.size() / 2, ARENA_MIN_BYTES, ARENA_MAX_BYTES);
    arena_names = pages_take<char>(arena_capacity);
    arena_folded = pages_take<char>(arena_capacity);
    base_name_bytes = arena_byte_counts(base->names);
    base_folded_bytes = arena_byte_counts(base->folded);
}

IndexGeneration::~IndexGeneration() {
    for (size_t i = 0; i < records.size(); ++i) delete records.at(i);
    pages_give_back(base_slot_of);
    pages_give_back(buckets);
    pages_give_back(arena_names);
    pages_give_back(arena_folded);
    delete base;
}

size_t overlay_bucket_of(const IndexGeneration& generation, uint32_t parent, std::string_view name) {
    size_t hash = std::hash<std::string_view>{}(name) ^ (parent * 0x9E3779B97F4A7C15ull);
    return hash & (generation.bucket_count - 1);
}

void index_generation_release(IndexGeneration* generation) {
    if (!generation || generation->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    delete generation;
    if (auto hook = g_freed_hook.load()) hook();
}

void index_generation_set_freed_hook(void (*hook)()) { g_freed_hook = hook; }

void index_set_changed_hook(void (*hook)()) { g_changed_hook = hook; }

void index_changed() {
    if (auto hook = g_changed_hook.load(std::memory_order_relaxed)) hook();
}

void index_generation_set_current(IndexGeneration* generation) {
    IndexGeneration* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_current_lock);
        old = g_current;
        g_current = generation;
    }
    index_generation_release(old);
    index_changed();
}

IndexView index_view_acquire() {
    std::lock_guard<std::mutex> lock(g_current_lock);
    if (!g_current) g_current = new IndexGeneration(new IndexSnapshot());
    g_current->references.fetch_add(1, std::memory_order_relaxed);
    return {g_current, g_current->published.load(std::memory_order_acquire)};
}

IndexView index_view_copy(const IndexView& view) {
    if (view.generation) view.generation->references.fetch_add(1, std::memory_order_relaxed);
    return view;
}

void index_view_release(IndexView* view) {
    index_generation_release(view->generation);
    *view = {};
}

EntryRef view_entry(const IndexView& view, uint32_t id) {
    const IndexGeneration& generation = *view.generation;
    if (OverlaySlot* slot = overlay_slot(generation, id))
        for (OverlayRecord* record = slot->newest.load(std::memory_order_acquire); record; record = record->older)
            if (record->born <= view.version)
                return record->flags & RECORD_REMOVED ? EntryRef{} : EntryRef{nullptr, record};
    if (id < generation.base_count) return {&generation.base->entries[id], nullptr};
    return {};
}

std::string_view ref_name(const IndexView& view, EntryRef ref) {
    return ref.base ? entry_name(view_base(view), entry_number(view, ref)) : std::string_view(ref.record->name);
}

std::string_view ref_folded(const IndexView& view, EntryRef ref) {
    return ref.base ? entry_folded(view_base(view), entry_number(view, ref)) : std::string_view(ref.record->folded);
}

std::string_view ref_name_in(const IndexView& view, EntryRef ref, unsigned folds) {
    if (ref.base) return entry_name_in(view_base(view), entry_number(view, ref), folds);
    const OverlayRecord& record = *ref.record;
    bool plain = (record.flags & ENTRY_NON_ASCII) == 0;
    switch (folds) {
        case 0: return record.name;
        case FOLD_CASE | FOLD_MARKS: return record.folded;
        case FOLD_CASE: return plain ? record.folded : record.case_folded;
        case FOLD_COMPOSE: return (record.flags & ENTRY_DECOMPOSED) ? record.composed : record.name;
        default: return plain ? record.name : record.marks_folded;
    }
}

uint64_t ref_recent(const IndexView& view, EntryRef ref) {
    return ref.base ? entry_recent(view_base(view), entry_number(view, ref)) : ref.record->recent;
}

void ref_fill_fd(EntryRef ref, IndexedFd* fd) {
    fd->size = ref_size(ref);
    fd->date_created = ref_date_created(ref);
    fd->date_modified = ref_date_modified(ref);
    fd->date_accessed = INDEXED_UNKNOWN;
    uint8_t flags = ref_flags(ref);
    uint32_t attributes = 0;
    if (flags & ENTRY_FOLDER) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (flags & ENTRY_READ_ONLY) attributes |= FILE_ATTRIBUTE_READONLY;
    if (flags & ENTRY_HIDDEN) attributes |= FILE_ATTRIBUTE_HIDDEN;
    fd->attributes = attributes;
}

bool view_folder_clean(const IndexView& view, uint32_t folder) {
    if (view_is_pure(view)) return true;
    if (folder == INDEX_NO_ENTRY || folder >= view.generation->base_count) return false;
    OverlaySlot* slot = overlay_slot(*view.generation, folder);
    return !slot || slot->dirty_since.load(std::memory_order_relaxed) > view.version;
}

uint32_t view_child(const IndexView& view, uint32_t folder, std::string_view name) {
    const IndexSnapshot& s = view_base(view);
    if (folder == INDEX_NO_ENTRY) return index_find_child(s, s.top_first, s.top_count, name);  // roots never move
    if (folder < view.generation->base_count) {
        const IndexEntry& entry = s.entries[folder];
        uint32_t child = index_find_child(s, entry.first_child, entry.child_count, name);
        if (child != INDEX_NO_ENTRY) {
            EntryRef ref = view_entry(view, child);
            if (ref.base || (ref.record && !(ref.record->flags & RECORD_PLACED))) return child;
        }
    }
    if (view_folder_clean(view, folder)) return INDEX_NO_ENTRY;
    const IndexGeneration& generation = *view.generation;
    OverlayRecord*& bucket = generation.buckets[overlay_bucket_of(generation, folder, name)];
    for (OverlayRecord* record = std::atomic_ref<OverlayRecord*>(bucket).load(std::memory_order_acquire); record;
         record = record->next_in_bucket)
        if (record->alive_at(view.version) && record->parent == folder && record->name == name) return record->id;
    return INDEX_NO_ENTRY;
}

uint32_t view_lookup(const IndexView& view, std::string_view index_path) {
    if (view_is_pure(view)) return index_lookup(view_base(view), index_path);
    if (index_path.empty()) return INDEX_NO_ENTRY;
    uint32_t found = INDEX_NO_ENTRY;
    for (size_t at = 0;;) {
        size_t end = index_path.find('\\', at);
        std::string_view segment = index_path.substr(at, end == std::string_view::npos ? end : end - at);
        if (segment.empty()) return INDEX_NO_ENTRY;
        if (found != INDEX_NO_ENTRY && !ref_is_folder(view_entry(view, found))) return INDEX_NO_ENTRY;
        found = view_child(view, found, segment);
        if (found == INDEX_NO_ENTRY || end == std::string_view::npos) return found;
        at = end + 1;
    }
}

std::span<const uint32_t> view_children(const IndexView& view, uint32_t folder, std::vector<uint32_t>* scratch) {
    const IndexSnapshot& s = view_base(view);
    if (folder == INDEX_NO_ENTRY) return {s.children.data() + s.top_first, s.top_count};
    bool in_base = folder < view.generation->base_count;
    if (in_base && view_folder_clean(view, folder))
        return {s.children.data() + s.entries[folder].first_child, s.entries[folder].child_count};
    // The base's children that are still there, in their order, and the records placed here.
    std::vector<uint32_t> kept;
    if (in_base) {
        const IndexEntry& entry = s.entries[folder];
        for (uint32_t i = entry.first_child; i < entry.first_child + entry.child_count; ++i) {
            uint32_t child = s.children[i];
            EntryRef ref = view_entry(view, child);
            if (ref.base || (ref.record && !(ref.record->flags & RECORD_PLACED))) kept.push_back(child);
        }
    }
    // The placed records, sorted by what the order needs alone, kept beside them.
    struct Placed {
        bool folder;
        std::string_view name;
        uint32_t id;
    };
    std::vector<Placed> placed;
    if (OverlaySlot* slot = overlay_slot(*view.generation, folder))
        for (OverlayRecord* record = slot->children.load(std::memory_order_acquire); record; record = record->next_child)
            if (record->alive_at(view.version))
                placed.push_back({(record->flags & ENTRY_FOLDER) != 0, record->name, record->id});
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return enumeration_less(a.folder, a.name, b.folder, b.name);
    });
    scratch->clear();
    scratch->reserve(kept.size() + placed.size());
    size_t next = 0;
    for (uint32_t child : kept) {
        bool folder_child = s.entries[child].flags & ENTRY_FOLDER;
        while (next < placed.size() &&
               enumeration_less(placed[next].folder, placed[next].name, folder_child, entry_name(s, child)))
            scratch->push_back(placed[next++].id);
        scratch->push_back(child);
    }
    for (; next < placed.size(); ++next) scratch->push_back(placed[next].id);
    return *scratch;
}

void view_overlay_records(const IndexView& view, std::vector<const OverlayRecord*>* out) {
    const IndexGeneration& generation = *view.generation;
    size_t count = generation.records.size();
    for (size_t i = 0; i < count; ++i) {
        const OverlayRecord* record = generation.records.at(i);
        if (record->born > view.version) break;  // records are made in version order
        if (record->alive_at(view.version) && !(record->flags & RECORD_REMOVED)) out->push_back(record);
    }
}

// As index_append_folder_path(): reversed names from the folder up, then the whole reversed.
void view_append_folder_path(const IndexView& view, uint32_t id, std::string* out) {
    if (view_is_pure(view)) return index_append_folder_path(view_base(view), id, out);
    size_t start = out->size();
    EntryRef ref = view_entry(view, id);
    for (uint32_t parent = ref ? ref_parent(ref) : INDEX_NO_ENTRY; parent != INDEX_NO_ENTRY;) {
        EntryRef folder = view_entry(view, parent);
        if (!folder) break;
        if (out->size() != start) out->push_back('\\');
        std::string_view name = ref_name(view, folder);
        out->append(name.rbegin(), name.rend());
        parent = ref_parent(folder);
    }
    std::reverse(out->begin() + static_cast<std::ptrdiff_t>(start), out->end());
}

void view_append_path(const IndexView& view, uint32_t id, std::string* out) {
    size_t before = out->size();
    view_append_folder_path(view, id, out);
    EntryRef ref = view_entry(view, id);
    if (!ref) return;
    if (out->size() != before) out->push_back('\\');
    out->append(ref_name(view, ref));
}

bool view_enumeration_less(const IndexView& view, EntryRef a, EntryRef b) {
    return enumeration_less(ref_is_folder(a), ref_name(view, a), ref_is_folder(b), ref_name(view, b));
}

}  // namespace host
