// One FTP control connection: its record, the receive chain, the reply queue and the banner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/host_services.h"

enum LoginState : uint32_t {
    LOGIN_NONE = 0,
    LOGIN_USER_REJECTED = 1,
    LOGIN_NEED_PASSWORD = 2,
    LOGIN_LOGGED_ON = 3,
};

enum DataMode : uint32_t {
    DATA_MODE_NONE = 0,
    DATA_MODE_PORT = 1,
    DATA_MODE_PASSIVE = 2,
    DATA_MODE_EPRT = 3,
};

enum TransferKind : uint32_t {
    TRANSFER_NONE = 0,
    TRANSFER_LIST = 1,
    TRANSFER_RETR = 2,
    TRANSFER_MLSD = 3,
};

enum ReaderStatus : uint32_t {
    READER_READING = 0,
    READER_END_OF_FILE = 1,
    READER_READ_FAILED = 2,
};

constexpr size_t RECEIVE_CHUNK_SIZE = 65536;
constexpr size_t RECEIVE_CHUNK_DATA = 0xFFF8;  // 65,528 bytes after the link

struct ReceiveChunk {
    ReceiveChunk* next;
    char data[RECEIVE_CHUNK_DATA];
};
static_assert(sizeof(ReceiveChunk) == RECEIVE_CHUNK_SIZE);

// Allocated with room for `capacity` bytes after the header, of which the first `count` are
// queued. Replies queued behind others share blocks; a block may end inside a reply.
struct ReplyBlock {
    ReplyBlock* next;
    uint64_t count;
    uint64_t capacity;
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
};
static_assert(sizeof(ReplyBlock) == 24);

// The room of a block that replies queued behind others fill.
constexpr size_t REPLY_BLOCK_CAPACITY = 65536;

constexpr size_t DATA_BLOCK_SIZE = 65536;
constexpr uint32_t DATA_BLOCK_PAYLOAD = 0xFFF4;  // 65,524 bytes after the link and the count

struct DataBlock {
    DataBlock* next;
    uint32_t used;
    char payload[DATA_BLOCK_PAYLOAD];
};
static_assert(offsetof(DataBlock, used) == 8);
static_assert(offsetof(DataBlock, payload) == 12);
static_assert(sizeof(DataBlock) == DATA_BLOCK_SIZE);

constexpr size_t RETR_BUFFER_SIZE = 65536;

// Limits that keep one client from growing the server's memory without end.
constexpr size_t MAX_COMMAND_LINE = 1024 * 1024;        // bytes of one command line
constexpr size_t MAX_UNSENT_REPLY_BYTES = 1024 * 1024;  // unsent replies before reading pauses
// Before login a client reads into one small chunk, and a line that fills it ends the connection:
// a user name or a password fits many times over, and ten thousand clients that never log on
// hold 40 MB between them. Once logged on, the chunk grows to a full one for the long lines.
constexpr size_t PRE_LOGIN_CHUNK_DATA = 4096;
constexpr size_t MAX_PRE_LOGIN_LINE = PRE_LOGIN_CHUNK_DATA - 1;  // bytes before the line feed
// Received bytes that wait in the receive chains of all clients together (unfinished lines and
// lines held back); past it the client with the longest chain is closed.
constexpr uint64_t MAX_UNFINISHED_LINES = 64 * 1024 * 1024;
// A results reply is written ahead of what the socket took only this far: a hundred clients that
// read slowly hold a few megabytes between them, and the writer stays well ahead of a fast one.
constexpr size_t RESULTS_UNSENT_MARK = 128 * 1024;

// The most one control event does for its client, so that every other client gets its turn;
// a client with more to do posts itself a kick, which queues behind the events already waiting.
// Bytes without a line feed need no bound of their own: a line ends the connection at
// MAX_COMMAND_LINE.
constexpr uint32_t CONTROL_EVENT_LINES = 128;           // command lines executed
constexpr size_t CONTROL_EVENT_SEND_BYTES = 256 * 1024; // reply bytes sent
constexpr uint32_t CONTROL_EVENT_RESULT_GROUPS = 8192;  // result groups written

// What client_recv and client_send leave behind; CLIENT_IO_CLOSED ends the connection.
enum ClientIo : int {
    CLIENT_IO_CLOSED = 0,  // failed, closed by the peer, or QUIT done
    CLIENT_IO_WAIT = 1,    // nothing more until the next socket event
    CLIENT_IO_MORE = 2,    // stopped at this event's bound with work left
};

// Where the data connection comes from or goes to, by data_mode.
union DataAddress {
    SOCKET pasv_socket;  // DATA_MODE_PASSIVE; INVALID_SOCKET once closed
    struct {
        uint8_t address[4];  // in the order the client gave them
        uint32_t port;
    } port_target;            // DATA_MODE_PORT
    SOCKADDR_STORAGE eprt;    // DATA_MODE_EPRT: a SOCKADDR_IN or SOCKADDR_IN6
};
static_assert(sizeof(DataAddress) == 128);

struct FtpClient {
    uint64_t rest_offset;
    SOCKET control_socket;
    SOCKADDR_STORAGE peer_address;
    SorrelwickDbQuery* query;
    uint32_t results_pending;
    LoginState login_state;
    FtpClient* next;
    FtpClient* prev;
    uint32_t is_ipv6;
    char* current_directory;
    uint32_t utf8_mode;
    uint32_t quit_requested;
    uint32_t kick_pending;  // 1 while a kick posted for this client waits in the queue
    uint32_t in_control_event;  // 1 while a control event of this client runs (server_window.cpp)

    // Options of the next search.
    uint32_t match_case;
    uint32_t match_whole_word;
    uint32_t match_path;
    uint32_t match_diacritics;
    uint32_t match_prefix;
    uint32_t match_suffix;
    uint32_t ignore_punctuation;
    uint32_t ignore_whitespace;
    uint32_t match_regex;
    uint32_t hide_empty_search_results;
    char* search_text;
    char* filter_search_text;
    uint32_t filter_flags;
    const SorrelwickProperty* sort_property;
    uint32_t sort_ascending;
    uint32_t result_offset;
    uint32_t result_count;
    uint32_t size_column;
    uint32_t attributes_column;
    uint32_t date_modified_column;
    uint32_t date_created_column;
    uint32_t path_column;
    uint32_t file_list_filename_column;
    uint32_t date_recently_changed_column;
    uint32_t pasv_accept_paused;   // 1 while the passive listener does not ask for FD_ACCEPT
    uint32_t query_results_ready;  // 1 once the newest search or sort has reported its completion

    // Copies taken when the last search or re-sort was started.
    uint32_t last_match_case;
    uint32_t last_match_whole_word;
    uint32_t last_match_path;
    uint32_t last_match_diacritics;
    uint32_t last_match_prefix;
    uint32_t last_match_suffix;
    uint32_t last_ignore_punctuation;
    uint32_t last_ignore_whitespace;
    uint32_t last_match_regex;
    uint32_t last_hide_empty_search_results;
    char* last_search_text;
    char* last_filter_search_text;
    uint32_t last_filter_flags;
    const SorrelwickProperty* last_sort_property;
    uint32_t last_sort_ascending;
    uint32_t last_query_valid;
    uint32_t last_size_column;
    uint32_t last_attributes_column;
    uint32_t last_date_modified_column;
    uint32_t last_date_created_column;
    uint32_t last_path_column;
    uint32_t last_file_list_filename_column;
    uint32_t last_date_recently_changed_column;

    // Receive chain: a partial line always starts at recv_head's first data byte.
    ReceiveChunk* recv_head;
    ReceiveChunk* recv_tail;
    char* recv_write;
    char* recv_end;
    uint64_t recv_chunk_count;
    uint64_t recv_counted;  // bytes of the chain counted in the server's recv_waiting_bytes
    uint32_t recv_drained;  // 1 once a receive found the socket empty: all it sent has been read

    // The server's clients that have not logged on, least recently heard from first.
    FtpClient* idle_next;
    FtpClient* idle_prev;
    uint32_t idle_listed;

    // Reply queue.
    ReplyBlock* reply_head;
    ReplyBlock* reply_tail;
    uint64_t reply_remaining;
    uint64_t reply_unsent_bytes;  // bytes of every queued block not yet sent
    uint32_t recv_paused;         // 1 while received lines or the socket wait unread (client_recv)
    // Replies queued while a results reply is being written; they follow its closing line.
    ReplyBlock* held_head;
    ReplyBlock* held_tail;

    // The results reply, written as the reply queue drains (search/query_results).
    uint32_t results_writing;  // 1 from its first line until its closing line is queued
    uint32_t results_folder_sizes_known;
    uint32_t results_left;     // groups still to write
    size_t results_next;       // index of the next result to write
    size_t results_total;      // the count its RESULT_COUNT line reported

    // Data connection.
    DataMode data_mode;
    uint32_t data_started;
    DataAddress data_address;
    TransferKind transfer_kind;
    SOCKET data_socket;
    uint32_t transfer_done;
    union {
        struct {  // TRANSFER_LIST, TRANSFER_MLSD
            DataBlock* data_head;
            DataBlock* data_tail;
            uint64_t data_remaining;
            char* transfer_path;
        };
        struct {  // TRANSFER_RETR
            uint8_t* read_buffer;
            uint64_t read_length;
            HANDLE file_handle;
            uint64_t read_pending;
        };
    };

    // The RETR reader thread; every field it shares with the user-interface thread, and how, is
    // listed where the two meet, in ftp/download.cpp.
    HANDLE reader_thread;
    HANDLE reader_event;
    CRITICAL_SECTION reader_lock;
    uint32_t reader_stop;
    uint32_t reader_status;
};

// Null when the record cannot be allocated: the caller refuses the connection.
FtpClient* client_create(SOCKET socket);
void client_destroy(FtpClient* client);
// Reads and executes command lines, at most one event's worth. Lines stay unexecuted while the
// unsent replies exceed their bound or a results reply is being written.
ClientIo client_recv(FtpClient* client);
// Sends queued replies, at most one event's worth, writing a results reply on as the queue drains.
ClientIo client_send(FtpClient* client);
// Posts the client a MSG_CONTROL_SOCKET kick unless one is already waiting, or a control event of
// the client runs: that event sends what is queued before it ends, and kicks itself for the rest.
void client_kick(FtpClient* client);
void client_printf(FtpClient* client, const char* format, ...);
// Queues a reply; while a results reply is being written it waits until that reply's end.
void client_queue_reply(FtpClient* client, const char* bytes, size_t length);
// Queues text of the results reply being written (whole lines), straight into the reply queue.
void client_queue_results_text(FtpClient* client, const char* bytes, size_t length);
// Moves the replies held during a results reply behind its closing line.
void client_release_held_replies(FtpClient* client);
// With null output returns the banner's length; otherwise writes the banner and a terminator.
size_t welcome_format(char* output, const char* text);
