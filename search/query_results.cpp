// The results reply: one multi-line 200 reply written from the current state of a client's host
// query, through the window and the columns the client chose. The reply is written as the
// client's reply queue drains, so that a reply of a million results never sits in memory whole.
#include "search/query_results.h"

#include <cassert>

#include "plugin/host_services.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr uint64_t UNKNOWN_SIZE = 0xFFFFFFFFFFFFFFFFull;

// The text buffers one call of the writer shares among its groups.
struct ResultBuffers {
    ScopedUtf8Buf name;
    ScopedUtf8Buf path;
    ScopedUtf8Buf group;  // the lines of the group being written, queued whole at its end
};

// Appends bytes to the group text, growing it as needed; the terminator follows them.
void group_append(Utf8Buf* group, const char* bytes, size_t length) {
    size_t start = group->length;
    if (start + length + 1 > group->capacity) utf8_buf_grow_length(group, start + length);
    os_copy_memory(group->text + start, bytes, length);
    group->length = start + length;
    group->text[group->length] = '\0';
}

void group_text(Utf8Buf* group, const char* text) { group_append(group, text, utf8_string_get_length_in_bytes(text)); }

// The decimal digits of a number, as %I64u and %u write them.
void group_number(Utf8Buf* group, uint64_t value) {
    char digits[20];
    size_t at = sizeof(digits);
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    group_append(group, digits + at, sizeof(digits) - at);
}

// One line " WORD number\r\n".
void group_number_line(Utf8Buf* group, const char* word, uint64_t value) {
    group_text(group, word);
    group_number(group, value);
    group_append(group, "\r\n", 2);
}

int results_need_indexed_fd(const FtpClient* c) {
    return c->last_size_column || c->last_attributes_column || c->last_date_modified_column ||
           c->last_date_created_column;
}

void results_write_facts(FtpClient* client, Utf8Buf* group, size_t index, int is_folder) {
    IndexedFd fd{};
    db_query_get_result_indexed_fd(client->query, index, &fd);
    if (client->last_attributes_column) group_number_line(group, " ATTRIBUTES ", fd.attributes);
    if (client->last_size_column) {
        uint64_t size = (is_folder && !client->results_folder_sizes_known) ? UNKNOWN_SIZE : fd.size;
        group_number_line(group, " SIZE ", size);
    }
    if (client->last_date_modified_column) group_number_line(group, " DATE_MODIFIED ", fd.date_modified);
    if (client->last_date_created_column) group_number_line(group, " DATE_CREATED ", fd.date_created);
}

void results_write_file_list_filename(FtpClient* client, Utf8Buf* group, size_t index) {
    ScopedUtf8Buf file_list_filename;
    db_query_get_result_file_list_filename(client->query, index, file_list_filename.get());
    group_text(group, " FILE_LIST_FILENAME ");
    group_text(group, file_list_filename.text());
    group_append(group, "\r\n", 2);
}

// One result's group: its optional column lines in their fixed order, closed by the FILE or
// FOLDER line that every group has. The lines are written straight into one text and queued
// together: formatting each through the host's printf took most of a long reply's time.
void results_send_one(FtpClient* client, ResultBuffers* buffers, size_t index) {
    SorrelwickDbQuery* query = client->query;
    Utf8Buf* group = buffers->group.get();
    group->length = 0;
    db_query_get_result_name(query, index, buffers->name.get());
    db_query_get_result_path(query, index, buffers->path.get());
    int is_folder = db_query_is_folder_result(query, index);
    if (client->last_path_column) {
        group_text(group, " PATH ");
        group_text(group, buffers->path.text());
        group_append(group, "\r\n", 2);
    }
    if (results_need_indexed_fd(client)) results_write_facts(client, group, index, is_folder);
    if (client->last_file_list_filename_column) results_write_file_list_filename(client, group, index);
    if (client->last_date_recently_changed_column) {
        group_number_line(group, " DATE_RECENTLY_CHANGED ", db_query_get_result_date_recently_changed(query, index));
    }
    group_text(group, is_folder ? " FOLDER " : " FILE ");
    group_text(group, buffers->name.text());
    group_append(group, "\r\n", 2);
    client_queue_results_text(client, group->text, group->length);
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
