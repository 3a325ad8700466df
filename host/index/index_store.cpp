#include "host/index/index_store.h"

#include <algorithm>
#include <cstring>

#include "host/index/text_fold.h"

namespace host {
namespace {

bool entry_is_folder(const IndexSnapshot& s, uint32_t e) { return (s.entries[e].flags & ENTRY_FOLDER) != 0; }

}  // namespace

// Folders come first, each group in bytewise name order, so the name is looked for in both groups.
uint32_t index_find_child(const IndexSnapshot& s, uint32_t first, uint32_t count, std::string_view name) {
    const uint32_t* begin = s.children.data() + first;
    const uint32_t* end = begin + count;
    const uint32_t* files = std::partition_point(begin, end, [&](uint32_t e) { return entry_is_folder(s, e); });
    auto by_name = [&](uint32_t e, std::string_view text) { return entry_name(s, e) < text; };
    for (auto [from, to] : {std::pair{begin, files}, std::pair{files, end}}) {
        const uint32_t* at = std::lower_bound(from, to, name, by_name);
        if (at != to && entry_name(s, *at) == name) return *at;
    }
    return INDEX_NO_ENTRY;
}

uint64_t entry_recent(const IndexSnapshot& s, uint32_t e) {
    auto at = std::lower_bound(s.recent_entries.begin(), s.recent_entries.end(), e);
    if (at == s.recent_entries.end() || *at != e) return INDEXED_UNKNOWN;
    return s.recent_times[at - s.recent_entries.begin()];
}

std::string_view extra_fold_form(const IndexSnapshot& s, const ExtraFold& fold, unsigned folds) {
    const char* form = s.extra_text.data() + fold.offset;
    int skipped = folds == FOLD_CASE ? 0 : folds == FOLD_MARKS ? 1 : 2;  // forms before the one asked for
    uint16_t length;
    for (int i = 0;; ++i) {
        std::memcpy(&length, form, sizeof length);
        if (i == skipped) return {form + sizeof length, length};
        form += sizeof length + length;
    }
}

std::string_view entry_name_in(const IndexSnapshot& s, uint32_t e, unsigned folds) {
    bool plain = (s.entries[e].flags & ENTRY_NON_ASCII) == 0;
    if (folds == 0) return entry_name(s, e);
    if (folds == (FOLD_CASE | FOLD_MARKS)) return entry_folded(s, e);
    if (plain) return folds == FOLD_CASE ? entry_folded(s, e) : entry_name(s, e);
    if (folds == FOLD_COMPOSE && !(s.entries[e].flags & ENTRY_DECOMPOSED)) return entry_name(s, e);
    auto at = std::lower_bound(s.extra_folds.begin(), s.extra_folds.end(), e,
                               [](const ExtraFold& fold, uint32_t entry) { return fold.entry < entry; });
    if (at == s.extra_folds.end() || at->entry != e) return entry_name(s, e);
    return extra_fold_form(s, *at, folds);
}

uint32_t index_lookup(const IndexSnapshot& s, std::string_view index_path) {
    if (index_path.empty()) return INDEX_NO_ENTRY;
    uint32_t first = s.top_first, count = s.top_count;
    uint32_t found = INDEX_NO_ENTRY;
    size_t at = 0;
    while (true) {
        size_t end = index_path.find('\\', at);
        std::string_view segment = index_path.substr(at, end == std::string_view::npos ? end : end - at);
        if (segment.empty()) return INDEX_NO_ENTRY;
        found = index_find_child(s, first, count, segment);
        if (found == INDEX_NO_ENTRY || end == std::string_view::npos) return found;
        if (!entry_is_folder(s, found)) return INDEX_NO_ENTRY;
        first = s.entries[found].first_child;
        count = s.entries[found].child_count;
        at = end + 1;
    }
}

// The names are appended from the entry's folder up to the top, each reversed, and then the whole
// is reversed: a path of any depth, without a list of its folders.
void index_append_folder_path(const IndexSnapshot& s, uint32_t e, std::string* out) {
    size_t start = out->size();
    for (uint32_t p = s.entries[e].parent; p != INDEX_NO_ENTRY; p = s.entries[p].parent) {
        if (out->size() != start) out->push_back('\\');
        std::string_view name = entry_name(s, p);
        out->append(name.rbegin(), name.rend());
    }
    std::reverse(out->begin() + static_cast<std::ptrdiff_t>(start), out->end());
}

void index_append_path(const IndexSnapshot& s, uint32_t e, std::string* out) {
    size_t before = out->size();
    index_append_folder_path(s, e, out);
    if (out->size() != before) out->push_back('\\');
    out->append(entry_name(s, e));
}

void index_fill_fd(const IndexSnapshot& s, uint32_t e, IndexedFd* fd) {
    const IndexEntry& entry = s.entries[e];
    fd->size = entry.size;
    fd->date_created = entry.date_created;
    fd->date_modified = entry.date_modified;
    fd->date_accessed = INDEXED_UNKNOWN;
    uint32_t attributes = 0;
    if (entry.flags & ENTRY_FOLDER) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (entry.flags & ENTRY_READ_ONLY) attributes |= FILE_ATTRIBUTE_READONLY;
    if (entry.flags & ENTRY_HIDDEN) attributes |= FILE_ATTRIBUTE_HIDDEN;
    fd->attributes = attributes;
}

IndexMemory index_memory(const IndexSnapshot& s) {
    IndexMemory memory;
    memory.names = s.names.capacity() + s.folded.capacity() + s.extra_text.capacity();
    memory.total = memory.names + s.entries.capacity() * sizeof(IndexEntry) +
                   s.children.capacity() * sizeof(uint32_t) + s.path_rank.capacity() * sizeof(uint32_t) +
                   s.extra_folds.capacity() * sizeof(ExtraFold) + s.recent_entries.capacity() * sizeof(uint32_t) +
                   s.recent_times.capacity() * sizeof(uint64_t) + sizeof(IndexSnapshot);
    return memory;
}

}  // namespace host
