// The results reply: one multi-line 200 reply written from the current state of a client's host
// query, through the window and the columns the client chose.
#include "search/query_results.h"

#include "plugin/host_services.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr uint64_t UNKNOWN_SIZE = 0xFFFFFFFFFFFFFFFFull;

int results_need_indexed_fd(const FtpClient* c) {
    return c->last_size_column || c->last_attributes_column || c->last_date_modified_column ||
           c->last_date_created_column;
}

void results_send_facts(FtpClient* client, size_t index, int is_folder, int folder_sizes_known) {
    IndexedFd fd{};
    db_query_get_result_indexed_fd(client->query, index, &fd);
    if (client->last_attributes_column) client_printf(client, " ATTRIBUTES %u\r\n", fd.attributes);
    if (client->last_size_column) {
        uint64_t size = (is_folder && !folder_sizes_known) ? UNKNOWN_SIZE : fd.size;
        client_printf(client, " SIZE %I64u\r\n", size);
    }
    if (client->last_date_modified_column) client_printf(client, " DATE_MODIFIED %I64u\r\n", fd.date_modified);
    if (client->last_date_created_column) client_printf(client, " DATE_CREATED %I64u\r\n", fd.date_created);
}

void results_send_file_list_filename(FtpClient* client, size_t index) {
    ScopedUtf8Buf file_list_filename;
    db_query_get_result_file_list_filename(client->query, index, file_list_filename.get());
    client_printf(client, " FILE_LIST_FILENAME %s\r\n", file_list_filename.text());
}

// One result's group: its optional column lines in their fixed order, closed by the FILE or
// FOLDER line that every group has.
void results_send_one(FtpClient* client, size_t index, Utf8Buf* name, Utf8Buf* path, int folder_sizes_known) {
    SorrelwickDbQuery* query = client->query;
    db_query_get_result_name(query, index, name);
    db_query_get_result_path(query, index, path);
    int is_folder = db_query_is_folder_result(query, index);
    if (client->last_path_column) client_printf(client, " PATH %s\r\n", path->text);
    if (results_need_indexed_fd(client)) results_send_facts(client, index, is_folder, folder_sizes_known);
    if (client->last_file_list_filename_column) results_send_file_list_filename(client, index);
    if (client->last_date_recently_changed_column) {
        client_printf(client, " DATE_RECENTLY_CHANGED %I64u\r\n",
                      db_query_get_result_date_recently_changed(query, index));
    }
    client_printf(client, " %s %s\r\n", is_folder ? "FOLDER" : "FILE", name->text);
}

int results_folder_sizes_known() {
    return server_instance && server_instance->db && db_is_index_folder_size(server_instance->db);
}

}  // namespace

void query_send_results(FtpClient* client) {
    ScopedUtf8Buf name;
    ScopedUtf8Buf path;
    size_t total = db_query_get_result_count(client->query);
    // A size_t index, so that a window into more than 4,294,967,295 results cannot wrap around.
    size_t index = client->result_offset;
    uint32_t remaining = client->result_count;
    int folder_sizes_known = results_folder_sizes_known();
    client_printf(client, "200-Query results\r\n");
    client_printf(client, " RESULT_COUNT %zu\r\n", total);
    for (; index < total && remaining != 0; index++, remaining--) {
        results_send_one(client, index, name.get(), path.get(), folder_sizes_known);
    }
    client_printf(client, "200 End.\r\n");
}

// Raised by the host on the user-interface thread, the one thread that touches the client, so the
// owed flag needs no lock.
void query_event_callback(void* context, int event) {
    FtpClient* client = static_cast<FtpClient*>(context);
    if (event != DB_QUERY_EVENT_SEARCH_DONE && event != DB_QUERY_EVENT_SORT_DONE) return;
    if (!client->results_pending) return;
    query_send_results(client);
    client->results_pending = 0;
}
