// The record behind a SOCKET and the table of live sockets, shared by the socket calls and the
// WSAAsyncSelect event rules. Not part of any interface: only win32/socket_*.cpp include it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "win32/message_queue.h"

enum class SocketState { FRESH, CONNECTING, CONNECTED, LISTENING, FAILED };

struct SocketRecord {
    ~SocketRecord();  // closes the descriptor

    int fd = -1;
    uintptr_t handle = 0;  // its SOCKET value, the key of its epoll entry
    int family = 0;  // Windows number
    int type = 0;
    std::atomic<bool> non_blocking{false};
    std::atomic<bool> send_shut{false};
    // Set while a WSAAsyncSelect registration is in force, so the data path skips the lock otherwise.
    std::atomic<bool> selected{false};
    // A connected socket stays in its epoll set, edge-triggered: every report that finds it
    // readable or writable counts here, so that a recv or a send can tell whether one came while
    // it ran (socket_events.cpp). Counted under `lock`, read without it.
    std::atomic<uint32_t> read_reports{0};
    std::atomic<uint32_t> write_reports{0};
    // Every FD_READ and FD_WRITE posted, counted the same way.
    std::atomic<uint32_t> read_posts{0};
    std::atomic<uint32_t> write_posts{0};
    // read_reports + 1 as it stood before the last recv, when that recv got data and emptied
    // the stream; else 0. Until another report counts, the next recv finds nothing and needs no
    // system call (socket_events.cpp).
    std::atomic<uint32_t> empty_since{0};

    // The connection state and the registration, under `lock`. Threads meet here: the calling
    // thread re-enables events after recv, send, accept and connect; the queue's owner thread
    // posts them when the epoll set reports the socket.
    std::mutex lock;
    SocketState state = SocketState::FRESH;
    Win32QueueRef queue;          // the window's thread's queue; null when not selected
    HWND window = nullptr;
    UINT message = 0;
    uint32_t events = 0;          // the FD_* bits asked for
    uint32_t enabled = 0;         // those that may be posted now
    std::atomic<bool> peer_closed{false};  // the peer sent its FIN or reset the connection; read
                                           // without the lock by a recv that begins
    bool read_done = false;       // peer closed and every byte read: no more FD_READ
    bool reset = false;           // the connection failed: no more FD_READ or FD_WRITE
    uint32_t kernel_interest = 0; // what the epoll entry is armed with (0 once a one-shot fired)
    bool in_epoll = false;
};

using SocketRef = std::shared_ptr<SocketRecord>;

// Enters a record; its SOCKET value, or WSOCK_INVALID when the table is full.
uintptr_t socket_table_add(SocketRef record);
// The record of a live socket, or null (WSAENOTSOCK is then the last error).
SocketRef socket_table_get(uintptr_t socket);
// Takes the record out of the table; null when the socket is not live.
SocketRef socket_table_remove(uintptr_t socket);

// The WSAAsyncSelect rules (socket_events.cpp). Each takes the record's lock itself.

// Replaces the registration; events 0 cancels it. 0 or SOCKET_ERROR.
int socket_events_select(SocketRecord& record, HWND window, UINT message, uint32_t events);
// Drops the registration and the epoll entry of a socket being closed.
void socket_events_cancel(SocketRecord& record);
// Re-enables FD_ACCEPT after accept, as Windows does.
void socket_events_enable_accept(SocketRecord& record);

// What a recv or a send saw of its socket when it began, for the call that follows it.
struct SocketMark {
    uint32_t reports;
    uint32_t posts;
    bool peer_closed;
};
SocketMark socket_events_mark_read(const SocketRecord& record);
// Whether a recv of `length` bytes with `flags` may answer would-block without a system call: the
// recv before it got data and emptied the stream, and no report has come since. Data that arrived
// since is reported, and posts FD_READ, as if it had come just after this recv; the recv after
// this one asks the system.
bool socket_events_known_empty(const SocketRecord& record, int length, int flags);
SocketMark socket_events_mark_write(const SocketRecord& record);
// Re-enables FD_READ after a recv that asked for `asked` bytes and got `got` (-1: failed with
// `error`, a Windows code), posting it again when data may remain; and posts FD_CLOSE once a
// closed stream has been read to its end.
void socket_events_after_recv(SocketRecord& record, SocketMark mark, int asked, int got, int error, bool peek);
// Re-enables FD_WRITE after a send that would block; it comes once there is room again.
void socket_events_after_blocked_send(SocketRecord& record, SocketMark mark);
// Gives a newly accepted socket the listening socket's registration, as Windows does.
void socket_events_inherit(SocketRecord& listener, SocketRecord& accepted);
// Moves the connection state on, arming or posting what the change calls for. `error` is the
// Windows code of a connect that failed at once.
void socket_events_set_state(SocketRecord& record, SocketState state, int error = 0);
