// The index services of the service table: thin wrappers over the snapshot (host/index/) that
// turn its records into the text buffers and IndexedFd records the plug-in reads.
#include <algorithm>
#include <string>

#include "host/file_beneath.h"
#include "host/index/index.h"
#include "host/index/index_store.h"
#include "host/index/query.h"
#include "host/index/result_sort.h"
#include "host/memory.h"
#include "host/services.h"

// Property handles are the addresses of these records.
struct SorrelwickProperty {
    int number;
};

// A folder enumeration: the snapshot it reads, and the next child to deliver.
struct SorrelwickDbFind {
    host::IndexSnapshot* snapshot;
    uint32_t next;
    uint32_t end;
};

namespace host {
namespace {

constexpr SorrelwickProperty PROPERTIES[] = {
    {PROPERTY_NAME}, {PROPERTY_PATH}, {PROPERTY_SIZE}, {PROPERTY_EXTENSION}, {PROPERTY_DATE_MODIFIED},
    {PROPERTY_DATE_CREATED}, {PROPERTY_ATTRIBUTES}, {PROPERTY_DATE_RECENTLY_CHANGED}, {PROPERTY_FILE_LIST_FILENAME},
};

IndexSnapshot* snapshot_of(SorrelwickDb* db) { return reinterpret_cast<IndexSnapshot*>(db); }

const char* text_or_empty(const char* text) { return text ? text : ""; }

void copy_text(Utf8Buf* buffer, std::string_view text) {
    if (buffer) utf8_buf_copy_utf8_string_n(buffer, text.data(), text.size());
}

uint32_t lookup(SorrelwickDb* db, const char* index_path) {
    if (!db || !index_path) return INDEX_NO_ENTRY;
    return index_lookup(*snapshot_of(db), index_path);
}

bool deliver_next(SorrelwickDbFind* find, Utf8Buf* name, IndexedFd* fd) {
    if (find->next >= find->end) return false;
    const IndexSnapshot& s = *find->snapshot;
    uint32_t e = s.children[find->next++];
    copy_text(name, entry_name(s, e));
    if (fd) index_fill_fd(s, e, fd);
    return true;
}

// The entry behind a result index, or INDEX_NO_ENTRY.
uint32_t result_entry(SorrelwickDbQuery* query, size_t index) {
    return query ? query_result_entry(query, index) : INDEX_NO_ENTRY;
}

}  // namespace

SorrelwickDb* db_add_local_ref() { return reinterpret_cast<SorrelwickDb*>(index_snapshot_acquire_current()); }

void db_release(SorrelwickDb* db) { index_snapshot_release(snapshot_of(db)); }

int db_folder_exists(SorrelwickDb* db, const char* index_path) {
    if (db && index_path && index_path[0] == '\0') return 1;  // the root
    uint32_t e = lookup(db, index_path);
    return e != INDEX_NO_ENTRY && (snapshot_of(db)->entries[e].flags & ENTRY_FOLDER) ? 1 : 0;
}

int db_file_exists(SorrelwickDb* db, const char* index_path) {
    uint32_t e = lookup(db, index_path);
    return e != INDEX_NO_ENTRY && !(snapshot_of(db)->entries[e].flags & ENTRY_FOLDER) ? 1 : 0;
}

SorrelwickDbFind* db_find_first_file(SorrelwickDb* db, const char* folder_path, Utf8Buf* name, IndexedFd* fd) {
    if (!db || !folder_path) return nullptr;
    IndexSnapshot* s = snapshot_of(db);
    uint32_t first = s->top_first, count = s->top_count;
    if (folder_path[0] != '\0') {
        uint32_t e = index_lookup(*s, folder_path);
        if (e == INDEX_NO_ENTRY || !(s->entries[e].flags & ENTRY_FOLDER)) return nullptr;
        first = s->entries[e].first_child;
        count = s->entries[e].child_count;
    }
    if (count == 0) return nullptr;
    index_snapshot_acquire(s);
    auto* find = new SorrelwickDbFind{s, first, first + count};
    deliver_next(find, name, fd);
    return find;
}

int db_find_next_file(SorrelwickDbFind* find, Utf8Buf* name, IndexedFd* fd) {
    return find && deliver_next(find, name, fd) ? 1 : 0;
}

void db_find_close(SorrelwickDbFind* find) {
    if (!find) return;
    index_snapshot_release(find->snapshot);
    delete find;
}

int db_get_indexed_fd(SorrelwickDb* db, const char* index_path, IndexedFd* fd) {
    uint32_t e = lookup(db, index_path);
    if (e == INDEX_NO_ENTRY) return 0;
    if (fd) index_fill_fd(*snapshot_of(db), e, fd);
    return 1;
}

int db_is_index_folder_size(SorrelwickDb* db) { return db && snapshot_of(db)->folder_sizes ? 1 : 0; }

SorrelwickDbQuery* db_query_create(SorrelwickDb* db, DbQueryCallback callback, void* context) {
    return query_create(snapshot_of(db), callback, context);
}

// A query ends with the client that owned it; what the client held is freed with it.
void db_query_destroy(SorrelwickDbQuery* query) {
    query_destroy(query);
    memory_compact_when_idle();
}

int db_query_search2(SorrelwickDbQuery* query, uint32_t match_case, uint32_t match_whole_word, uint32_t match_path,
                     uint32_t match_diacritics, uint32_t match_prefix, uint32_t match_suffix,
                     uint32_t ignore_punctuation, uint32_t ignore_whitespace, uint32_t match_regex,
                     uint32_t hide_empty_search_results, uint32_t include_files, uint32_t include_folders,
                     const char* search_text, uint32_t filter_flags, const char* filter_search_text,
                     const char* /*filter_macro*/, uintptr_t /*filter_columns*/, uint32_t /*filter_sort*/,
                     uint32_t max_results, uint32_t /*track_selection*/, const SorrelwickProperty* sort_property,
                     uint32_t sort_ascending, uintptr_t, uint32_t, uintptr_t, uint32_t, uint32_t, uint32_t, uint32_t,
                     uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t /*allow_disk_access*/, uint32_t,
                     uint32_t, uint32_t, uint32_t /*allow_query_access*/, uint32_t) {
    if (!query) return 0;
    QuerySearch search;
    search.options.match_case = match_case != 0;
    search.options.whole_word = match_whole_word != 0;
    search.options.match_path = match_path != 0;
    search.options.match_diacritics = match_diacritics != 0;
    search.options.prefix = match_prefix != 0;
    search.options.suffix = match_suffix != 0;
    search.options.ignore_punctuation = ignore_punctuation != 0;
    search.options.ignore_whitespace = ignore_whitespace != 0;
    search.options.regex = match_regex != 0;
    search.hide_empty_search_results = hide_empty_search_results != 0;
    search.include_files = include_files != 0;
    search.include_folders = include_folders != 0;
    search.text = text_or_empty(search_text);
    search.filter_flags = filter_flags;
    search.filter_text = text_or_empty(filter_search_text);
    search.max_results = max_results;
    search.sort_property = sort_property ? sort_property->number : PROPERTY_NAME;
    search.sort_ascending = sort_ascending != 0;
    query_search(query, search);
    return 1;
}

int db_query_sort(SorrelwickDbQuery* query, const SorrelwickProperty* property, uint32_t ascending, uint32_t,
                  uint32_t, uintptr_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    if (!query) return 0;
    query_sort(query, property ? property->number : PROPERTY_NAME, ascending != 0);
    return 1;
}

size_t db_query_get_result_count(SorrelwickDbQuery* query) { return query ? query_result_count(query) : 0; }

void db_query_get_result_name(SorrelwickDbQuery* query, size_t index, Utf8Buf* name) {
    uint32_t e = result_entry(query, index);
    copy_text(name, e == INDEX_NO_ENTRY ? std::string_view() : entry_name(query_snapshot(query), e));
}

void db_query_get_result_path(SorrelwickDbQuery* query, size_t index, Utf8Buf* path) {
    uint32_t e = result_entry(query, index);
    std::string text;
    if (e != INDEX_NO_ENTRY) index_append_folder_path(query_snapshot(query), e, &text);
    copy_text(path, text);
}

int db_query_is_folder_result(SorrelwickDbQuery* query, size_t index) {
    uint32_t e = result_entry(query, index);
    return e != INDEX_NO_ENTRY && (query_snapshot(query).entries[e].flags & ENTRY_FOLDER) ? 1 : 0;
}

void db_query_get_result_indexed_fd(SorrelwickDbQuery* query, size_t index, IndexedFd* fd) {
    uint32_t e = result_entry(query, index);
    if (!fd) return;
    if (e == INDEX_NO_ENTRY) {
        *fd = {INDEXED_UNKNOWN, INDEXED_UNKNOWN, INDEXED_UNKNOWN, INDEXED_UNKNOWN, 0};
        return;
    }
    index_fill_fd(query_snapshot(query), e, fd);
}

void db_query_get_result_file_list_filename(SorrelwickDbQuery*, size_t, Utf8Buf* name) { copy_text(name, ""); }

uint64_t db_query_get_result_date_recently_changed(SorrelwickDbQuery* query, size_t index) {
    uint32_t e = result_entry(query, index);
    return e == INDEX_NO_ENTRY ? INDEXED_UNKNOWN : query_snapshot(query).scan_time;
}

const SorrelwickProperty* property_get_builtin_type(int property_number) {
    for (const SorrelwickProperty& property : PROPERTIES)
        if (property.number == property_number) return &property;
    return nullptr;
}

// Opens a file only when the index holds it as a file, below its root folder and without
// following any symbolic link, so that no index path leads outside the indexed folders.
HANDLE os_open_file(const char* index_path) {
    if (!index_path) return INVALID_HANDLE_VALUE;
    IndexSnapshot* s = index_snapshot_acquire_current();
    HANDLE file = INVALID_HANDLE_VALUE;
    uint32_t e = index_lookup(*s, index_path);
    if (e != INDEX_NO_ENTRY && !(s->entries[e].flags & ENTRY_FOLDER)) {
        uint32_t top = e;
        while (s->entries[top].parent != INDEX_NO_ENTRY) top = s->entries[top].parent;
        std::string relative = index_path;
        relative.erase(0, std::min(relative.size(), std::string(entry_name(*s, top)).size() + 1));
        for (const IndexRootFolder& root : s->roots)
            if (root.entry == top) file = file_open_beneath(root.folder, relative);
    }
    index_snapshot_release(s);
    return file;
}

}  // namespace host
