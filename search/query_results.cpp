// The results reply: one multi-line 200 reply written from the current state of a client's host
// query, through the window and the columns the client chose. The reply is written as the
// client's reply queue drains, so that a reply of a million results never sits in memory whole.
#include "search/query_results.h"

#include <cassert>
#include <cstdarg>

#include "plugin/host_services.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr uint64_t UNKNOWN_SIZE = 0xFFFFFFFFFFFFFFFFull;

// The text buffers one call of the writer shares among its lines.
struct ResultBuffers {
    ScopedUtf8Buf name;
    ScopedUtf8Buf path;
    ScopedUtf8Buf line;
};

// Formats one line into the shared line buffer and queues it.
void results_line(FtpClient* client, ResultBuffers* buffers, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(buffers->line.get(), format, arguments);
    va_end(arguments);
    client_queue_results_text(client, buffers->line.text(), buffers->line.length());
}

int results_need_indexed_fd(const FtpClient* c) {
    return c->last_size_column || c->last_attributes_column || c->last_date_modified_column ||
           c->last_date_created_column;
}

void results_send_facts(FtpClient* client, ResultBuffers* buffers, size_t index, int is_folder) {
    IndexedFd fd{};
    db_query_get_result_indexed_fd(client->query, index, &fd);
    if (client->last_attributes_column) results_line(client, buffers, " ATTRIBUTES %u\r\n", fd.attributes);
    if (client->last_size_column) {
        uint64_t size = (is_folder && !client->results_folder_sizes_known) ? UNKNOWN_SIZE : fd.size;
        results_line(client, buffers, " SIZE %I64u\r\n", size);
    }
    if (client->last_date_modified_column) {
        results_line(client, buffers, " DATE_MODIFIED %I64u\r\n", fd.date_modified);
    }
    if (client->last_date_created_column) results_line(client, buffers, " DATE_CREATED %I64u\r\n", fd.date_created);
}

void results_send_file_list_filename(FtpClient* client, ResultBuffers* buffers, size_t index) {
    ScopedUtf8Buf file_list_filename;
    db_query_get_result_file_list_filename(client->query, index, file_list_filename.get());
    results_line(client, buffers, " FILE_LIST_FILENAME %s\r\n", file_list_filename.text());
}

// One result's group: its optional column lines in their fixed order, closed by the FILE or
// FOLDER line that every group has.
void results_send_one(FtpClient* client, ResultBuffers* buffers, size_t index) {
    SorrelwickDbQuery* query = client->query;
    db_query_get_result_name(query, index, buffers->name.get());
    db_query_get_result_path(query, index, buffers->path.get());
    int is_folder = db_query_is_folder_result(query, index);
    if (client->last_path_column) results_line(client, buffers, " PATH %s\r\n", buffers->path.text());
    if (results_need_indexed_fd(client)) results_send_facts(client, buffers, index, is_folder);
    if (client->last_file_list_filename_column) results_send_file_list_filename(client, buffers, index);
    if (client->last_date_recently_changed_column) {
        results_line(client, buffers, " DATE_RECENTLY_CHANGED %I64u\r\n",
                     db_query_get_result_date_recently_changed(query, index));
    }
    results_line(client, buffers, " %s %s\r\n", is_folder ? "FOLDER" : "FILE", buffers->name.text());
}

int results_folder_sizes_known() {
    return server_instance && server_instance->db && db_is_index_folder_size(server_instance->db);
}

}  // namespace

void query_send_results(FtpClient* client) {
    // Commands wait while a results reply is written, so a second one cannot begin inside it.
    assert(!client->results_writing);
    client->results_total = db_query_get_result_count(client->query);
    // A size_t index, so that a window into more than 4,294,967,295 results cannot wrap around.
    client->results_next = client->result_offset;
    client->results_left = client->result_count;
    client->results_folder_sizes_known = results_folder_sizes_known();
    client_printf(client, "200-Query results\r\n");
    client_printf(client, " RESULT_COUNT %zu\r\n", client->results_total);
    client->results_writing = 1;
    uint32_t groups = CONTROL_EVENT_RESULT_GROUPS;
    query_results_continue(client, &groups);
}

void query_results_continue(FtpClient* client, uint32_t* groups) {
    if (!client->results_writing) return;
    ResultBuffers buffers;
    while (client->results_next < client->results_total && client->results_left != 0) {
        // Unsent replies stay within the mark plus the one group that crossed it.
        if (*groups == 0 || client->reply_unsent_bytes > RESULTS_UNSENT_MARK) return;
        results_send_one(client, &buffers, client->results_next);
        client->results_next++;
        client->results_left--;
        (*groups)--;
    }
    client->results_writing = 0;
    client_printf(client, "200 End.\r\n");
    client_release_held_replies(client);
}

// Raised by the host on the user-interface thread, the one thread that touches the client, so the
// owed flag needs no lock.
void query_event_callback(void* context, int event) {
    FtpClient* client = static_cast<FtpClient*>(context);
    if (event != DB_QUERY_EVENT_SEARCH_DONE && event != DB_QUERY_EVENT_SORT_DONE) return;
    // The host raises these events only for the query's newest search or sort.
    client->query_results_ready = 1;
    if (!client->results_pending) return;
    query_send_results(client);
    client->results_pending = 0;
}
