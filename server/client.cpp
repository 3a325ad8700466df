// One FTP control connection: the record's life, the receive chain that cuts the byte stream into
// command lines, the reply queue through which every reply leaves, and the welcome banner.
#include "server/client.h"

#include <cassert>
#include <cstdarg>
#include <cstring>

#include "ftp/data_connection.h"
#include "ftp/dispatcher.h"
#include "search/query_results.h"
#include "server/activity_log.h"
#include "server/idle_clients.h"
#include "server/listener_pause.h"
#include "server/server.h"
#include "server/socket_send.h"

namespace {

constexpr int PEER_ADDRESS_LENGTH = 128;
constexpr char DEFAULT_WELCOME[] = "Welcome to Sorrelwick SWP/FTP";

bool replies_over_bound(const FtpClient* client) {
    return client->reply_unsent_bytes > MAX_UNSENT_REPLY_BYTES;
}

void client_list_append(FtpClient* client) {
    ServerInstance* server = server_instance;
    client->prev = server->clients_tail;
    client->next = nullptr;
    if (server->clients_tail) {
        server->clients_tail->next = client;
    } else {
        server->clients_head = client;
    }
    server->clients_tail = client;
}

void client_list_unlink(FtpClient* client) {
    ServerInstance* server = server_instance;
    if (client->prev) {
        client->prev->next = client->next;
    } else if (server && server->clients_head == client) {
        server->clients_head = client->next;
    }
    if (client->next) {
        client->next->prev = client->prev;
    } else if (server && server->clients_tail == client) {
        server->clients_tail = client->prev;
    }
    client->next = nullptr;
    client->prev = nullptr;
}

void client_free_strings(FtpClient* client) {
    mem_free(client->current_directory);
    mem_free(client->search_text);
    mem_free(client->filter_search_text);
    mem_free(client->last_search_text);
    mem_free(client->last_filter_search_text);
}

void reply_free_blocks(ReplyBlock* block) {
    while (block) {
        ReplyBlock* next = block->next;
        mem_free(block);
        block = next;
    }
}

void client_free_queues(FtpClient* client) {
    reply_free_blocks(client->reply_head);
    reply_free_blocks(client->held_head);
    for (ReceiveChunk* chunk = client->recv_head; chunk;) {
        ReceiveChunk* next = chunk->next;
        mem_free(chunk);
        chunk = next;
    }
}

ReceiveChunk* recv_chunk_alloc(size_t data_bytes) {
    return static_cast<ReceiveChunk*>(mem_alloc(offsetof(ReceiveChunk, data) + data_bytes));
}

// Appends a chunk with room for `data_bytes`; false when it cannot be allocated.
bool recv_append_chunk(FtpClient* client, size_t data_bytes) {
    ReceiveChunk* chunk = recv_chunk_alloc(data_bytes);
    if (!chunk) return false;
    chunk->next = nullptr;
    if (client->recv_tail) {
        client->recv_tail->next = chunk;
    } else {
        client->recv_head = chunk;
    }
    client->recv_tail = chunk;
    client->recv_chunk_count++;
    client->recv_write = chunk->data;
    client->recv_end = chunk->data + data_bytes;
    return true;
}

// Only a client's first chunk is ever small, and only while it is its only one.
bool recv_chunk_is_small(const FtpClient* client) {
    return client->recv_end - client->recv_tail->data < static_cast<ptrdiff_t>(RECEIVE_CHUNK_DATA);
}

// Replaces the small chunk by a full one holding the same bytes; false when it cannot be allocated.
bool recv_grow_chunk(FtpClient* client) {
    ReceiveChunk* chunk = recv_chunk_alloc(RECEIVE_CHUNK_DATA);
    if (!chunk) return false;
    size_t used = static_cast<size_t>(client->recv_write - client->recv_tail->data);
    os_copy_memory(chunk->data, client->recv_tail->data, used);
    chunk->next = nullptr;
    mem_free(client->recv_tail);
    client->recv_head = chunk;
    client->recv_tail = chunk;
    client->recv_write = chunk->data + used;
    client->recv_end = chunk->data + RECEIVE_CHUNK_DATA;
    return true;
}

// Makes room for the next receive: a small chunk before login, a full one after it, and another
// full one when the last is full. False when the memory for it cannot be had.
bool recv_make_room(FtpClient* client) {
    bool logged_on = client->login_state == LOGIN_LOGGED_ON;
    if (!client->recv_tail) return recv_append_chunk(client, logged_on ? RECEIVE_CHUNK_DATA : PRE_LOGIN_CHUNK_DATA);
    bool full = client->recv_write == client->recv_end;
    if (recv_chunk_is_small(client) && (logged_on || full)) return recv_grow_chunk(client);
    return !full || recv_append_chunk(client, RECEIVE_CHUNK_DATA);
}

// Bytes of the partial line held in the chain (every chunk before the last is full).
uint64_t recv_partial_length(const FtpClient* client) {
    if (!client->recv_tail) return 0;
    return (client->recv_chunk_count - 1) * RECEIVE_CHUNK_DATA +
           static_cast<uint64_t>(client->recv_write - client->recv_tail->data);
}

// Joins a line that began in an earlier chunk and ends at `line_end` in the last one, leaving the
// last chunk alone in the chain. The caller executes and frees the joined copy; null, with the
// chain untouched, when the copy cannot be allocated.
char* recv_join_line(FtpClient* client, const char* line_end) {
    size_t tail_bytes = static_cast<size_t>(line_end - client->recv_tail->data);
    size_t full_bytes = static_cast<size_t>(client->recv_chunk_count - 1) * RECEIVE_CHUNK_DATA;
    char* line = static_cast<char*>(mem_alloc(full_bytes + tail_bytes + 1));
    if (!line) return nullptr;
    char* out = line;
    ReceiveChunk* chunk = client->recv_head;
    while (chunk != client->recv_tail) {
        ReceiveChunk* next = chunk->next;
        os_copy_memory(out, chunk->data, RECEIVE_CHUNK_DATA);
        out += RECEIVE_CHUNK_DATA;
        mem_free(chunk);
        chunk = next;
    }
    os_copy_memory(out, client->recv_tail->data, tail_bytes);
    out[tail_bytes] = '\0';
    client->recv_head = client->recv_tail;
    client->recv_chunk_count = 1;
    return line;
}

// Lines wait unexecuted while too many replies wait unsent, and while a results reply is being
// written: their replies would land inside it.
bool recv_must_hold(const FtpClient* client) {
    return client->results_writing || replies_over_bound(client);
}

enum RecvScan {
    RECV_SCAN_DONE,      // every complete line ran; what is left is a partial line
    RECV_SCAN_HELD,      // the rest waits in the chunk: held back, or the event's lines are used up
    RECV_SCAN_TOO_LONG,  // a line outgrew its bound (recv_line_bound)
    RECV_SCAN_NO_MEMORY, // a line that spans chunks could not be joined
};

// The longest line a client may send: a few KiB before login, far more after it.
uint64_t recv_line_bound(const FtpClient* client) {
    return client->login_state == LOGIN_LOGGED_ON ? MAX_COMMAND_LINE : MAX_PRE_LOGIN_LINE;
}

// Executes the complete lines in [from, recv_write) of the last chunk, in order and at most *lines
// of them (counted down), then moves the unexecuted rest to the chunk's first data byte so that
// a partial line starts there.
RecvScan recv_scan(FtpClient* client, char* from, uint32_t* lines) {
    char* line_start = nullptr;
    char* scan = from;
    RecvScan result = RECV_SCAN_DONE;
    while (scan < client->recv_write) {
        char* lf = static_cast<char*>(memchr(scan, '\n', static_cast<size_t>(client->recv_write - scan)));
        if (!lf) break;
        *lf = '\0';
        if (line_start) {
            client_execute(client, line_start);
        } else if (client->recv_chunk_count == 1) {
            client_execute(client, client->recv_head->data);
        } else {
            uint64_t length = (client->recv_chunk_count - 1) * RECEIVE_CHUNK_DATA +
                              static_cast<uint64_t>(lf - client->recv_tail->data);
            if (length > recv_line_bound(client)) return RECV_SCAN_TOO_LONG;
            char* line = recv_join_line(client, lf);
            if (!line) return RECV_SCAN_NO_MEMORY;
            client_execute(client, line);
            mem_free(line);
        }
        line_start = lf + 1;
        scan = line_start;
        --*lines;
        if (recv_must_hold(client) || *lines == 0) {
            result = RECV_SCAN_HELD;
            break;
        }
    }
    if (line_start) {
        size_t rest = static_cast<size_t>(client->recv_write - line_start);
        os_move_memory(client->recv_tail->data, line_start, rest);
        client->recv_write = client->recv_tail->data + rest;
    }
    if (result == RECV_SCAN_DONE && recv_partial_length(client) > recv_line_bound(client)) {
        return RECV_SCAN_TOO_LONG;
    }
    return result;
}

// Keeps the server's count of waiting received bytes in step with the client's chain.
void recv_account(FtpClient* client) {
    uint64_t now = recv_partial_length(client);
    if (server_instance) server_instance->recv_waiting_bytes += now - client->recv_counted;
    client->recv_counted = now;
}

// Runs the lines of the last chunk from `from`; false when a line outgrew its bound or could not
// be joined, which ends the connection.
bool recv_run_lines(FtpClient* client, char* from, uint32_t* lines) {
    RecvScan scan = recv_scan(client, from, lines);
    recv_account(client);
    if (scan == RECV_SCAN_TOO_LONG) {
        client_log(client, "Line too long.\r\n");
        return false;
    }
    if (scan == RECV_SCAN_NO_MEMORY) {
        client_log(client, "Out of memory for its line.\r\n");
        return false;
    }
    if (scan == RECV_SCAN_HELD) client->recv_paused = 1;
    return true;
}

FtpClient* client_longest_chain() {
    FtpClient* longest = server_instance->clients_head;
    for (FtpClient* client = longest; client; client = client->next) {
        if (client->recv_counted > longest->recv_counted) longest = client;
    }
    return longest;
}

// While all clients together hold more received bytes than their bound, the client with the
// longest chain is closed. False when that is this client, whose event then ends it.
bool recv_within_total(FtpClient* client) {
    while (server_instance && server_instance->recv_waiting_bytes > MAX_UNFINISHED_LINES) {
        FtpClient* longest = client_longest_chain();
        client_log(longest, "Line too long while the server holds too many unfinished lines.\r\n");
        if (longest == client) return false;
        client_destroy(longest);
    }
    return true;
}

// Accumulates the banner's length, or writes it when `out` is set.
struct BannerWriter {
    char* out;
    size_t length;

    void text(const char* piece) {
        if (out) {
            out = utf8_string_copy_utf8_string(out, piece);
        }
        length = safe_uintptr_add(length, utf8_string_get_length_in_bytes(piece));
    }
    void byte(char value) {
        char piece[2] = {value, '\0'};
        text(piece);
    }
};

// 1 when a "%n" follows before the end of the text; other "%" pairs are stepped over whole.
bool banner_line_continues(const char* text) {
    for (const char* p = text; *p;) {
        if (*p != '%') {
            p++;
            continue;
        }
        if (p[1] == 'n') return true;
        if (p[1] == '\0') return false;
        p += 2;
    }
    return false;
}

// Expands one banner line's text; returns where the next line begins, or null after the last.
const char* banner_expand_line(BannerWriter* writer, const char* p) {
    while (*p) {
        char c = *p;
        if (c == '\r' || c == '\n') {
            p++;
        } else if (c != '%') {
            writer->byte(c);
            p++;
        } else if (p[1] == '\0') {
            return nullptr;
        } else if (p[1] == 'n') {
            return p + 2;
        } else {
            if (p[1] == '%') {
                writer->byte('%');
            } else if (p[1] == 'v') {
                ScopedUtf8Buf version;
                version_get_text(version.get());
                writer->text(version.text());
            }
            p += 2;
        }
    }
    return nullptr;
}

}  // namespace

FtpClient* client_create(SOCKET socket) {
    FtpClient* client = static_cast<FtpClient*>(mem_calloc(sizeof(FtpClient)));
    if (!client) return nullptr;
    client->control_socket = socket;
    client->login_state = LOGIN_NONE;
    client->query = db_query_create(server_instance->db, query_event_callback, client);

    client->data_socket = INVALID_SOCKET;
    client->is_ipv6 = 0;
    client->transfer_kind = TRANSFER_NONE;
    client->current_directory = utf8_string_alloc_utf8_string("");
    client->search_text = utf8_string_alloc_utf8_string("");
    client->filter_search_text = utf8_string_alloc_utf8_string("");
    client->last_search_text = utf8_string_alloc_utf8_string("");
    client->last_filter_search_text = utf8_string_alloc_utf8_string("");
    client->sort_property = property_get_builtin_type(0);
    client->last_sort_property = property_get_builtin_type(0);
    client->sort_ascending = 1;
    client->last_sort_ascending = 1;
    client->utf8_mode = 1;
    client->result_count = 0xFFFFFFFF;

    int peer_length = PEER_ADDRESS_LENGTH;
    os_winsock_getpeername(socket, reinterpret_cast<SOCKADDR*>(&client->peer_address), &peer_length);
    SOCKADDR_STORAGE local = {};
    int local_length = PEER_ADDRESS_LENGTH;
    os_winsock_getsockname(socket, reinterpret_cast<SOCKADDR*>(&local), &local_length);
    if (local.ss_family == AF_INET6) client->is_ipv6 = 1;

    client_list_append(client);
    idle_clients_add(client);
    client_table_add(&server_instance->socket_clients, socket, CLIENT_SOCKET_CONTROL, client);
    client_log(client, "Connected.\r\n");
    return client;
}

void client_destroy(FtpClient* client) {
    // Logged while the control socket is open, so that the line still carries the peer.
    client_log(client, "Disconnected.\r\n");
    client_list_unlink(client);
    if (server_instance) {
        idle_clients_remove(client);
        server_instance->recv_waiting_bytes -= client->recv_counted;
    }
    data_close(client);
    if (server_instance) {
        client_table_remove(&server_instance->socket_clients, client->control_socket, CLIENT_SOCKET_CONTROL, client);
    }
    if (client->control_socket != INVALID_SOCKET) os_winsock_closesocket(client->control_socket);
    db_query_destroy(client->query);
    client_free_strings(client);
    client_free_queues(client);
    mem_free(client);
    // Its descriptors are free now, so a listener that ran out of them may accept again.
    listeners_resume_accept();
}

namespace {

// Reads and runs what arrived; *active tells whether any bytes were read or held lines ran.
ClientIo recv_drain(FtpClient* client, bool* active) {
    uint32_t lines = CONTROL_EVENT_LINES;
    if (client->recv_paused) {
        if (recv_must_hold(client)) return CLIENT_IO_WAIT;
        // The lines held back run before the socket is read again.
        client->recv_paused = 0;
        if (client->recv_tail) {
            *active = true;
            if (!recv_run_lines(client, client->recv_tail->data, &lines)) return CLIENT_IO_CLOSED;
        }
    }
    for (;;) {
        if (client->recv_paused) return recv_must_hold(client) ? CLIENT_IO_WAIT : CLIENT_IO_MORE;
        // Without a receive call no further read event comes: whoever lifts the hold kicks.
        if (recv_must_hold(client)) {
            client->recv_paused = 1;
            return CLIENT_IO_WAIT;
        }
        if (!recv_make_room(client)) {
            client_log(client, "Out of memory for its line.\r\n");
            return CLIENT_IO_CLOSED;
        }

        int n = network_recv(client->control_socket, client->recv_write,
                             static_cast<size_t>(client->recv_end - client->recv_write));
        int error = os_winsock_WSAGetLastError();
        if (debug_is_verbose()) debug_printf("recv ret %d %d\n", n, error);
        if (n == -1) {
            if (error != WSAEWOULDBLOCK) return CLIENT_IO_CLOSED;
            client->recv_drained = 1;
            return CLIENT_IO_WAIT;
        }
        if (n == 0) return CLIENT_IO_CLOSED;

        *active = true;
        char* from = client->recv_write;
        client->recv_write += n;
        if (!recv_run_lines(client, from, &lines) || !recv_within_total(client)) return CLIENT_IO_CLOSED;
    }
}

}  // namespace

ClientIo client_recv(FtpClient* client) {
    bool active = false;
    ClientIo result = recv_drain(client, &active);
    if (active && result != CLIENT_IO_CLOSED && server_instance) idle_clients_note_activity(client);
    return result;
}

// Bytes offered to one send at most when several queued blocks are gathered, so that the end of
// one block and the start of the next leave in one segment.
constexpr size_t SEND_GATHER_BYTES = 65536;

namespace {

ReplyBlock* reply_block_new(size_t capacity) {
    ReplyBlock* block = static_cast<ReplyBlock*>(mem_alloc(sizeof(ReplyBlock) + capacity));
    block->next = nullptr;
    block->count = 0;
    block->capacity = capacity;
    return block;
}

void reply_link_tail(ReplyBlock** head, ReplyBlock** tail, ReplyBlock* block) {
    if (*tail) {
        (*tail)->next = block;
    } else {
        *head = block;
    }
    *tail = block;
}

// Copies bytes behind the last queued byte, filling the tail block before a new one is begun. A
// reply that enters an empty queue gets a block of its own size, so an idle connection holds
// little; replies queued behind it share blocks of REPLY_BLOCK_CAPACITY.
void reply_append(FtpClient* client, const char* bytes, size_t length) {
    bool was_empty = client->reply_head == nullptr;
    client->reply_unsent_bytes += length;
    while (length != 0) {
        ReplyBlock* tail = client->reply_tail;
        if (!tail || tail->count == tail->capacity) {
            tail = reply_block_new(was_empty || length > REPLY_BLOCK_CAPACITY ? length : REPLY_BLOCK_CAPACITY);
            reply_link_tail(&client->reply_head, &client->reply_tail, tail);
        }
        size_t room = static_cast<size_t>(tail->capacity - tail->count);
        size_t part = length < room ? length : room;
        os_copy_memory(tail->bytes() + tail->count, bytes, part);
        tail->count += part;
        // A head block that is being sent grows its unsent rest.
        if (tail == client->reply_head && client->reply_remaining != 0) client->reply_remaining += part;
        bytes += part;
        length -= part;
    }
    // Replies queued behind this one ride on the same kick.
    if (was_empty && client->reply_head) client_kick(client);
}

// Copies up to `limit` unsent bytes from the head block and the blocks after it into gather.
size_t reply_gather(const FtpClient* client, char* gather, size_t limit) {
    const ReplyBlock* block = client->reply_head;
    uint64_t offset = block->count - client->reply_remaining;
    size_t used = 0;
    for (; block && used < limit; block = block->next, offset = 0) {
        size_t available = static_cast<size_t>(block->count - offset);
        size_t part = available < limit - used ? available : limit - used;
        os_copy_memory(gather + used, block->bytes() + offset, part);
        used += part;
    }
    return used;
}

// Takes `sent` bytes off the front of the queue, freeing every block that is sent in full.
void reply_consume(FtpClient* client, uint64_t sent) {
    client->reply_unsent_bytes -= sent;
    while (sent > 0) {
        if (client->reply_remaining == 0) client->reply_remaining = client->reply_head->count;
        uint64_t part = sent < client->reply_remaining ? sent : client->reply_remaining;
        client->reply_remaining -= part;
        sent -= part;
        if (client->reply_remaining == 0) {
            ReplyBlock* head = client->reply_head;
            client->reply_head = head->next;
            if (!client->reply_head) client->reply_tail = nullptr;
            mem_free(head);
        }
    }
}

// After the socket took what it could: held lines that may run now want another turn.
ClientIo send_settled(const FtpClient* client) {
    return client->recv_paused && !recv_must_hold(client) ? CLIENT_IO_MORE : CLIENT_IO_WAIT;
}

}  // namespace

ClientIo client_send(FtpClient* client) {
    char gather[SEND_GATHER_BYTES];
    size_t budget = CONTROL_EVENT_SEND_BYTES;
    uint32_t groups = CONTROL_EVENT_RESULT_GROUPS;
    for (;;) {
        query_results_continue(client, &groups);
        if (client->reply_remaining == 0) {
            if (!client->reply_head) {
                if (client->results_writing) return CLIENT_IO_MORE;
                // Lines held back still run before a QUIT ends the connection.
                if (client->quit_requested && !client->recv_paused) {
                    os_winsock_shutdown(client->control_socket, SD_SEND);
                    return CLIENT_IO_CLOSED;
                }
                return send_settled(client);
            }
            client->reply_remaining = client->reply_head->count;
        }
        if (budget == 0) return CLIENT_IO_MORE;
        ReplyBlock* head = client->reply_head;
        const char* unsent = head->bytes() + (head->count - client->reply_remaining);
        size_t remaining = static_cast<size_t>(client->reply_remaining);
        size_t limit = budget < SEND_GATHER_BYTES ? budget : SEND_GATHER_BYTES;
        if (remaining >= limit || !head->next) {
            if (remaining > budget) remaining = budget;
        } else {
            remaining = reply_gather(client, gather, limit);
            unsent = gather;
        }
        bool verbose = debug_is_verbose() != 0;
        if (verbose) debug_printf("send %zu %t\n", remaining, unsent, remaining);

        SendResult result = socket_send(client->control_socket, unsent, remaining);
        if (verbose) debug_printf("send ret %d\n", result.sent);
        switch (result.outcome) {
        case SEND_WOULD_BLOCK:
            return send_settled(client);
        case SEND_FAILED:
            debug_printf("send error %d\n", result.error);
            return CLIENT_IO_CLOSED;
        case SEND_CLOSED:
            debug_printf("send closed\n");
            return CLIENT_IO_CLOSED;
        case SEND_SENT:
            break;
        }
        budget -= static_cast<size_t>(result.sent);
        reply_consume(client, static_cast<uint64_t>(result.sent));
    }
}

void client_kick(FtpClient* client) {
    if (client->kick_pending || client->in_control_event) return;
    client->kick_pending = 1;
    PostMessageW(server_instance->window, MSG_CONTROL_SOCKET, client->control_socket, 0);
}

void client_printf(FtpClient* client, const char* format, ...) {
    ScopedUtf8Buf reply;
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(reply.get(), format, arguments);
    va_end(arguments);

    client_queue_reply(client, reply.text(), reply.length());

    // Single lines and closing lines ("ddd text") are logged; "ddd-" openers and indented lines not.
    const char* text = reply.text();
    if (text[0] != ' ' && text[0] != '\0' && text[1] != '\0' && text[2] != '\0' && text[3] == ' ') {
        client_log(client, "%s", text);
    }
}

void client_queue_reply(FtpClient* client, const char* bytes, size_t length) {
    if (debug_is_verbose()) console_echo_printf(0xff00ff00, "%t", bytes, length);
    if (!client->results_writing) {
        reply_append(client, bytes, length);
        return;
    }
    // Rare: only a reply not caused by a command (a refused data connection) can come now.
    ReplyBlock* block = reply_block_new(length);
    os_copy_memory(block->bytes(), bytes, length);
    block->count = length;
    reply_link_tail(&client->held_head, &client->held_tail, block);
}

void client_queue_results_text(FtpClient* client, const char* bytes, size_t length) {
    if (debug_is_verbose()) {
        // Echoed line by line, as every other reply line is.
        for (size_t start = 0; start < length;) {
            const char* lf = static_cast<const char*>(memchr(bytes + start, '\n', length - start));
            size_t end = lf ? static_cast<size_t>(lf - bytes) + 1 : length;
            console_echo_printf(0xff00ff00, "%t", bytes + start, end - start);
            start = end;
        }
    }
    reply_append(client, bytes, length);
}

void client_release_held_replies(FtpClient* client) {
    ReplyBlock* block = client->held_head;
    client->held_head = nullptr;
    client->held_tail = nullptr;
    while (block) {
        ReplyBlock* next = block->next;
        reply_append(client, block->bytes(), block->count);
        mem_free(block);
        block = next;
    }
}

size_t welcome_format(char* output, const char* text) {
    if (!text || text[0] == '\0') text = DEFAULT_WELCOME;
    BannerWriter writer = {output, 0};
    if (output) output[0] = '\0';
    const char* line = text;
    while (line) {
        writer.text(banner_line_continues(line) ? "220-" : "220 ");
        line = banner_expand_line(&writer, line);
        writer.text("\r\n");
    }
    return writer.length;
}
