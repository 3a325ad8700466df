#include "tests/plugin/search_fake_host.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "host/services.h"
#include "plugin/settings.h"

namespace search_test {

FakeHost* fake_host = nullptr;

namespace {

// Addresses stand in for the host's objects; nothing behind them is read.
char fake_query_object;
char fake_db_object;
char fake_property_objects[16];
ServerInstance fake_server;
int32_t saved_logging_enabled;

uint64_t as_number(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

int fake_db_query_search2(SorrelwickDbQuery* query, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                          uint32_t a6, uint32_t a7, uint32_t a8, uint32_t a9, uint32_t a10, uint32_t a11,
                          uint32_t a12, uint32_t a13, const char* a14, uint32_t a15, const char* a16,
                          const char* a17, uintptr_t a18, uint32_t a19, uint32_t a20, uint32_t a21,
                          const SorrelwickProperty* a22, uint32_t a23, uintptr_t a24, uint32_t a25,
                          uintptr_t a26, uint32_t a27, uint32_t a28, uint32_t a29, uint32_t a30, uint32_t a31,
                          uint32_t a32, uint32_t a33, uint32_t a34, uint32_t a35, uint32_t a36, uint32_t a37,
                          uint32_t a38, uint32_t a39, uint32_t a40, uint32_t a41) {
    SearchCall call{};
    const uint64_t values[42] = {0,   as_number(query), a2,  a3,  a4,  a5,  a6,  a7,  a8,  a9,  a10,
                                 a11, a12, a13, 0,   a15, 0,   0,   a18, a19, a20, a21, as_number(a22),
                                 a23, a24, a25, a26, a27, a28, a29, a30, a31, a32, a33, a34, a35, a36,
                                 a37, a38, a39, a40, a41};
    std::copy(values, values + 42, call.arguments);
    call.search_text = a14 ? a14 : "(null)";
    call.filter_search_text = a16 ? a16 : "(null)";
    call.filter_macro = a17 ? a17 : "(null)";
    if (FtpClient* client = fake_host->client) {
        call.results_pending = client->results_pending;
        call.last_query_valid = client->last_query_valid;
        call.last_search_text = client->last_search_text ? client->last_search_text : "(null)";
    }
    fake_host->searches.push_back(call);
    return 1;
}

int fake_db_query_sort(SorrelwickDbQuery* query, const SorrelwickProperty* property, uint32_t ascending,
                       uint32_t a4, uint32_t a5, uintptr_t a6, uint32_t a7, uint32_t a8, uint32_t a9, uint32_t a10,
                       uint32_t a11) {
    SortCall call{};
    const uint64_t values[12] = {0, as_number(query), as_number(property), ascending, a4, a5, a6, a7, a8, a9, a10, a11};
    std::copy(values, values + 12, call.arguments);
    if (FtpClient* client = fake_host->client) {
        call.results_pending = client->results_pending;
        call.last_sort_property = as_number(client->last_sort_property);
        call.last_sort_ascending = client->last_sort_ascending;
    }
    fake_host->sorts.push_back(call);
    return 1;
}

const FakeResult& result_at(size_t index) { return fake_host->results.at(index); }

size_t fake_db_query_get_result_count(SorrelwickDbQuery*) {
    fake_host->result_count_reads++;
    return fake_host->results.size();
}

void fake_db_query_get_result_name(SorrelwickDbQuery*, size_t index, Utf8Buf* name) {
    host::utf8_buf_copy_utf8_string(name, result_at(index).name.c_str());
}

void fake_db_query_get_result_path(SorrelwickDbQuery*, size_t index, Utf8Buf* path) {
    host::utf8_buf_copy_utf8_string(path, result_at(index).path.c_str());
}

int fake_db_query_is_folder_result(SorrelwickDbQuery*, size_t index) { return result_at(index).folder ? 1 : 0; }

void fake_db_query_get_result_indexed_fd(SorrelwickDbQuery*, size_t index, IndexedFd* fd) {
    fake_host->indexed_fd_fetches++;
    *fd = result_at(index).fd;
}

void fake_db_query_get_result_file_list_filename(SorrelwickDbQuery*, size_t index, Utf8Buf* name) {
    fake_host->file_list_filename_fetches++;
    host::utf8_buf_copy_utf8_string(name, result_at(index).file_list_filename.c_str());
}

uint64_t fake_db_query_get_result_date_recently_changed(SorrelwickDbQuery*, size_t index) {
    return result_at(index).date_recently_changed;
}

int fake_db_is_index_folder_size(SorrelwickDb* db) {
    fake_host->folder_size_dbs.push_back(db);
    return fake_host->folder_sizes_indexed;
}

const SorrelwickProperty* fake_property_get_builtin_type(int number) {
    const std::vector<int>& missing = fake_host->missing_properties;
    if (std::find(missing.begin(), missing.end(), number) != missing.end()) return nullptr;
    return fake_property(number);
}

struct FakeService {
    const char* name;
    void* address;
};

const FakeService FAKE_SERVICES[] = {
    {"db_query_search2", reinterpret_cast<void*>(&fake_db_query_search2)},
    {"db_query_sort", reinterpret_cast<void*>(&fake_db_query_sort)},
    {"db_query_get_result_count", reinterpret_cast<void*>(&fake_db_query_get_result_count)},
    {"db_query_get_result_name", reinterpret_cast<void*>(&fake_db_query_get_result_name)},
    {"db_query_get_result_path", reinterpret_cast<void*>(&fake_db_query_get_result_path)},
    {"db_query_is_folder_result", reinterpret_cast<void*>(&fake_db_query_is_folder_result)},
    {"db_query_get_result_indexed_fd", reinterpret_cast<void*>(&fake_db_query_get_result_indexed_fd)},
    {"db_query_get_result_file_list_filename",
     reinterpret_cast<void*>(&fake_db_query_get_result_file_list_filename)},
    {"db_query_get_result_date_recently_changed",
     reinterpret_cast<void*>(&fake_db_query_get_result_date_recently_changed)},
    {"db_is_index_folder_size", reinterpret_cast<void*>(&fake_db_is_index_folder_size)},
    {"property_get_builtin_type", reinterpret_cast<void*>(&fake_property_get_builtin_type)},
};

// The recorders have the very types the plug-in calls through, so every argument arrives with
// the width the service declares.
static_assert(std::is_same_v<decltype(&fake_db_query_search2), svc_db_query_search2*>);
static_assert(std::is_same_v<decltype(&fake_db_query_sort), svc_db_query_sort*>);
static_assert(std::is_same_v<decltype(&fake_db_query_get_result_indexed_fd), svc_db_query_get_result_indexed_fd*>);

void* fake_lookup(const char* name) {
    for (const FakeService& service : FAKE_SERVICES) {
        if (std::strcmp(service.name, name) == 0) return service.address;
    }
    return host::lookup_service(name);
}

}  // namespace

const SorrelwickProperty* fake_property(int number) {
    if (number < 0 || number >= 16) return nullptr;
    return reinterpret_cast<const SorrelwickProperty*>(&fake_property_objects[number]);
}

SorrelwickDbQuery* fake_query() { return reinterpret_cast<SorrelwickDbQuery*>(&fake_query_object); }
SorrelwickDb* fake_db() { return reinterpret_cast<SorrelwickDb*>(&fake_db_object); }

void fake_host_install(FakeHost* host) {
    fake_host = host;
    ASSERT_EQ(host_services_bind(&fake_lookup), 1);
    fake_server = ServerInstance{};
    fake_server.db = fake_db();
    server_instance = &fake_server;
    // Closing reply lines go to the activity log, whose echo would only clutter the test output.
    saved_logging_enabled = settings.logging_enabled;
    settings.logging_enabled = 0;
}

void fake_host_remove() {
    settings.logging_enabled = saved_logging_enabled;
    server_instance = nullptr;
    fake_host = nullptr;
    host_services_bind(&host::lookup_service);
}

FtpClient* fake_client_create() {
    FtpClient* client = static_cast<FtpClient*>(mem_calloc(sizeof(FtpClient)));
    client->control_socket = INVALID_SOCKET;
    client->query = fake_query();
    client->login_state = LOGIN_LOGGED_ON;
    client->search_text = utf8_string_alloc_utf8_string("");
    client->filter_search_text = utf8_string_alloc_utf8_string("");
    client->last_search_text = utf8_string_alloc_utf8_string("");
    client->last_filter_search_text = utf8_string_alloc_utf8_string("");
    client->sort_property = property_get_builtin_type(0);
    client->last_sort_property = client->sort_property;
    client->sort_ascending = 1;
    client->last_sort_ascending = 1;
    client->result_count = 0xFFFFFFFFu;
    fake_host->client = client;
    return client;
}

void fake_client_destroy(FtpClient* client) {
    fake_client_take_replies(client);
    for (ReplyBlock* block = client->held_head; block;) {
        ReplyBlock* next = block->next;
        mem_free(block);
        block = next;
    }
    mem_free(client->search_text);
    mem_free(client->filter_search_text);
    mem_free(client->last_search_text);
    mem_free(client->last_filter_search_text);
    mem_free(client);
    if (fake_host) fake_host->client = nullptr;
}

std::string fake_client_take_replies(FtpClient* client) {
    std::string replies;
    ReplyBlock* block = client->reply_head;
    while (block) {
        ReplyBlock* next = block->next;
        replies.append(block->bytes(), block->count);
        mem_free(block);
        block = next;
    }
    client->reply_head = nullptr;
    client->reply_tail = nullptr;
    client->reply_remaining = 0;
    client->reply_unsent_bytes = 0;
    return replies;
}

}  // namespace search_test
