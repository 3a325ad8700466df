// The index services of the service table (first version: an empty index).
#include "host/index/index.h"
#include "host/services.h"

namespace host {

bool index_build(const std::vector<IndexRoot>&, const IndexOptions&, std::string*) { return true; }
void index_shutdown() {}

SorrelwickDb* db_add_local_ref() { return nullptr; }
void db_release(SorrelwickDb*) {}
int db_folder_exists(SorrelwickDb*, const char*) { return 0; }
int db_file_exists(SorrelwickDb*, const char*) { return 0; }
SorrelwickDbFind* db_find_first_file(SorrelwickDb*, const char*, Utf8Buf*, IndexedFd*) { return nullptr; }
int db_find_next_file(SorrelwickDbFind*, Utf8Buf*, IndexedFd*) { return 0; }
void db_find_close(SorrelwickDbFind*) {}
int db_get_indexed_fd(SorrelwickDb*, const char*, IndexedFd*) { return 0; }
int db_is_index_folder_size(SorrelwickDb*) { return 0; }
SorrelwickDbQuery* db_query_create(SorrelwickDb*, DbQueryCallback, void*) {
    static char dummy;
    return reinterpret_cast<SorrelwickDbQuery*>(&dummy);
}
void db_query_destroy(SorrelwickDbQuery*) {}
int db_query_search2(SorrelwickDbQuery*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                     uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*,
                     const char*, uintptr_t, uint32_t, uint32_t, uint32_t, const SorrelwickProperty*, uint32_t,
                     uintptr_t, uint32_t, uintptr_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                     uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    return 1;
}
int db_query_sort(SorrelwickDbQuery*, const SorrelwickProperty*, uint32_t, uint32_t, uint32_t, uintptr_t, uint32_t,
                  uint32_t, uint32_t, uint32_t, uint32_t) {
    return 1;
}
size_t db_query_get_result_count(SorrelwickDbQuery*) { return 0; }
void db_query_get_result_name(SorrelwickDbQuery*, size_t, Utf8Buf*) {}
void db_query_get_result_path(SorrelwickDbQuery*, size_t, Utf8Buf*) {}
int db_query_is_folder_result(SorrelwickDbQuery*, size_t) { return 0; }
void db_query_get_result_indexed_fd(SorrelwickDbQuery*, size_t, IndexedFd*) {}
void db_query_get_result_file_list_filename(SorrelwickDbQuery*, size_t, Utf8Buf*) {}
uint64_t db_query_get_result_date_recently_changed(SorrelwickDbQuery*, size_t) { return 0; }
const SorrelwickProperty* property_get_builtin_type(int) { return nullptr; }
HANDLE os_open_file(const char*) { return INVALID_HANDLE_VALUE; }

}  // namespace host
