// A host for the search extension's tests: the plug-in's service pointers bound to the real host
// services, except the query services, which record their calls and serve a result list that the
// test sets; and a client record with a reply queue the test reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host_services.h"
#include "server/client.h"
#include "server/server.h"

namespace search_test {

struct FakeResult {
    std::string name;
    std::string path;
    bool folder = false;
    IndexedFd fd{};
    std::string file_list_filename;
    uint64_t date_recently_changed = 0;
};

inline FakeResult fake_result(const char* name, const char* path, bool folder) {
    FakeResult result;
    result.name = name;
    result.path = path;
    result.folder = folder;
    return result;
}

// One db_query_search2 call: the 41 arguments by position (1-based; the three texts are recorded
// as text in `texts` and as 0 in `arguments`), and what the client looked like during the call.
struct SearchCall {
    uint64_t arguments[42];
    std::string search_text;         // 14
    std::string filter_search_text;  // 16
    std::string filter_macro;        // 17
    uint32_t results_pending;
    uint32_t last_query_valid;
    std::string last_search_text;
};

// One db_query_sort call: its 11 arguments by position (1-based).
struct SortCall {
    uint64_t arguments[12];
    uint32_t results_pending;
    uintptr_t last_sort_property;
    uint32_t last_sort_ascending;
};

struct FakeHost {
    std::vector<SearchCall> searches;
    std::vector<SortCall> sorts;
    std::vector<FakeResult> results;
    int folder_sizes_indexed = 1;
    std::vector<SorrelwickDb*> folder_size_dbs;  // the db argument of each db_is_index_folder_size
    size_t result_count_reads = 0;
    size_t indexed_fd_fetches = 0;
    size_t file_list_filename_fetches = 0;
    std::vector<int> missing_properties;  // property numbers the host pretends not to know
    FtpClient* client = nullptr;          // read during the recorded calls
};

extern FakeHost* fake_host;

// The handle the fake property_get_builtin_type returns for a property number.
const SorrelwickProperty* fake_property(int number);

// Binds the plug-in's services (every pointer) for one test and unbinds nothing: the next
// binding replaces them. Sets up a server instance with a fake index reference.
void fake_host_install(FakeHost* host);
void fake_host_remove();

SorrelwickDbQuery* fake_query();
SorrelwickDb* fake_db();

// A client as client_create leaves it, with the fake query.
FtpClient* fake_client_create();
void fake_client_destroy(FtpClient* client);
// Every reply queued since the last call, as one string; the queue is emptied.
std::string fake_client_take_replies(FtpClient* client);

}  // namespace search_test
