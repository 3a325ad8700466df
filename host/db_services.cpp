// The index services of the service table: thin wrappers over the live index (host/index/) that
// turn its entries into the text buffers and IndexedFd records the plug-in reads. A database
// reference stands for the live index: each call reads the version current when it is made, a
// folder enumeration the version of its first call, and a query's results the version they were
// found in.
#include <algorithm>
#include <string>
#include <vector>

#include "host/file_beneath.h"
#include "host/index/index.h"
#include "host/index/index_view.h"
#include "host/index/query.h"
#include "host/index/result_sort.h"
#include "host/memory.h"
#include "host/services.h"

// Property handles are the addresses of these records.
struct SorrelwickProperty {
    int number;
};

// A reference on the live index.
struct SorrelwickDb {};

// A folder enumeration: the version it reads (a reference of its own), its children in order, and
// the next one to deliver.
struct SorrelwickDbFind {
    host::IndexView view;
    std::vector<uint32_t> children;
    size_t next = 0;
    ~SorrelwickDbFind() { host::index_view_release(&view); }
};

namespace host {
namespace {

constexpr SorrelwickProperty PROPERTIES[] = {
    {PROPERTY_NAME}, {PROPERTY_PATH}, {PROPERTY_SIZE}, {PROPERTY_EXTENSION}, {PROPERTY_DATE_MODIFIED},
    {PROPERTY_DATE_CREATED}, {PROPERTY_ATTRIBUTES}, {PROPERTY_DATE_RECENTLY_CHANGED}, {PROPERTY_FILE_LIST_FILENAME},
};

const char* text_or_empty(const char* text) { return text ? text : ""; }

void copy_text(Utf8Buf* buffer, std::string_view text) {
    if (buffer) utf8_buf_copy_utf8_string_n(buffer, text.data(), text.size());
}

// The entry at an index path in the current version, or a null reference.
EntryRef lookup(SorrelwickDb* db, const char* index_path, const IndexView& view) {
    if (!db || !index_path) return {};
    uint32_t e = view_lookup(view, index_path);
    return e == INDEX_NO_ENTRY ? EntryRef{} : view_entry(view, e);
}

bool deliver_next(SorrelwickDbFind* find, Utf8Buf* name, IndexedFd* fd) {
    while (find->next < find->children.size()) {
        EntryRef ref = view_entry(find->view, find->children[find->next++]);
        if (!ref) continue;
        copy_text(name, ref_name(find->view, ref));
        if (fd) ref_fill_fd(ref, fd);
        return true;
    }
    return false;
}

// The entry behind a result index, or INDEX_NO_ENTRY.
uint32_t result_entry(SorrelwickDbQuery* query, size_t index) {
    return query ? query_result_entry(query, index) : INDEX_NO_ENTRY;
}

// The entry behind a result index as the results' version has it, or a null reference.
EntryRef result_ref(SorrelwickDbQuery* query, size_t index) {
    uint32_t e = result_entry(query, index);
    return e == INDEX_NO_ENTRY ? EntryRef{} : view_entry(query_view(query), e);
}

}  // namespace

SorrelwickDb* db_add_local_ref() { return new SorrelwickDb; }

void db_release(SorrelwickDb* db) { delete db; }

int db_folder_exists(SorrelwickDb* db, const char* index_path) {
    if (db && index_path && index_path[0] == '\0') return 1;  // the root
    ScopedView view;
    EntryRef ref = lookup(db, index_path, view);
    return ref && ref_is_folder(ref) ? 1 : 0;
}

int db_file_exists(SorrelwickDb* db, const char* index_path) {
    ScopedView view;
    EntryRef ref = lookup(db, index_path, view);
    return ref && !ref_is_folder(ref) ? 1 : 0;
}

SorrelwickDbFind* db_find_first_file(SorrelwickDb* db, const char* folder_path, Utf8Buf* name, IndexedFd* fd) {
    if (!db || !folder_path) return nullptr;
    auto* find = new SorrelwickDbFind;
    find->view = index_view_acquire();
    uint32_t folder = INDEX_NO_ENTRY;
    if (folder_path[0] != '\0') {
        folder = view_lookup(find->view, folder_path);
        if (folder == INDEX_NO_ENTRY || !ref_is_folder(view_entry(find->view, folder))) {
            delete find;
            return nullptr;
        }
    }
    std::span<const uint32_t> children = view_children(find->view, folder, &find->children);
    if (children.data() != find->children.data()) find->children.assign(children.begin(), children.end());
    if (!deliver_next(find, name, fd)) {
        delete find;
        return nullptr;
    }
    return find;
}

int db_find_next_file(SorrelwickDbFind* find, Utf8Buf* name, IndexedFd* fd) {
    return find && deliver_next(find, name, fd) ? 1 : 0;
}

void db_find_close(SorrelwickDbFind* find) { delete find; }

int db_get_indexed_fd(SorrelwickDb* db, const char* index_path, IndexedFd* fd) {
    ScopedView view;
    EntryRef ref = lookup(db, index_path, view);
    if (!ref) return 0;
    if (fd) ref_fill_fd(ref, fd);
    return 1;
}

int db_is_index_folder_size(SorrelwickDb* db) {
    if (!db) return 0;
    ScopedView view;
    return view_base(view).folder_sizes ? 1 : 0;
}

SorrelwickDbQuery* db_query_create(SorrelwickDb*, DbQueryCallback callback, void* context) {
    return query_create(callback, context);
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
    EntryRef ref = result_ref(query, index);
    copy_text(name, ref ? ref_name(query_view(query), ref) : std::string_view());
}

void db_query_get_result_path(SorrelwickDbQuery* query, size_t index, Utf8Buf* path) {
    uint32_t e = result_entry(query, index);
    std::string text;
    if (e != INDEX_NO_ENTRY) view_append_folder_path(query_view(query), e, &text);
    copy_text(path, text);
}

int db_query_is_folder_result(SorrelwickDbQuery* query, size_t index) {
    EntryRef ref = result_ref(query, index);
    return ref && ref_is_folder(ref) ? 1 : 0;
}

void db_query_get_result_indexed_fd(SorrelwickDbQuery* query, size_t index, IndexedFd* fd) {
    if (!fd) return;
    EntryRef ref = result_ref(query, index);
    if (!ref) {
        *fd = {INDEXED_UNKNOWN, INDEXED_UNKNOWN, INDEXED_UNKNOWN, INDEXED_UNKNOWN, 0};
        return;
    }
    ref_fill_fd(ref, fd);
}

void db_query_get_result_file_list_filename(SorrelwickDbQuery*, size_t, Utf8Buf* name) { copy_text(name, ""); }

uint64_t db_query_get_result_date_recently_changed(SorrelwickDbQuery* query, size_t index) {
    EntryRef ref = result_ref(query, index);
    return ref ? ref_recent(query_view(query), ref) : INDEXED_UNKNOWN;
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
    ScopedView view;
    uint32_t e = view_lookup(view, index_path);
    if (e == INDEX_NO_ENTRY || ref_is_folder(view_entry(view, e))) return INVALID_HANDLE_VALUE;
    // The path's first name is its top-level entry; the rest is the path below that root's folder.
    std::string_view path = index_path;
    size_t separator = path.find('\\');
    uint32_t top = view_lookup(view, path.substr(0, separator));
    if (separator == std::string_view::npos) return INVALID_HANDLE_VALUE;
    std::string relative(path.substr(separator + 1));
    for (const IndexRootFolder& root : view_base(view).roots)
        if (root.entry == top) return file_open_beneath(root.folder, relative);
    return INVALID_HANDLE_VALUE;
}

}  // namespace host
