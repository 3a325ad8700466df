// WSAAsyncSelect over epoll: when each socket event is posted and what re-enables it.
//
// Every registered socket has an entry in the epoll set of its window's thread queue.
//
// A listening or connecting socket has a one-shot entry, armed only with the conditions of events
// that may be posted now, so a condition that stays true (a waiting connection) cannot report
// twice: after a report the entry is re-armed from the record, and accept re-arms it too.
//
// A connected socket has an edge-triggered entry, armed once with every condition its
// registration asks for: the system reports it whenever data, room to send or the peer's close
// arrives. A report for an event that is disabled posts nothing. The call that re-enables the
// event decides from its own outcome whether the condition still holds: a recv that filled its
// buffer may have left data and posts FD_READ again, one that got less emptied the socket; a send
// that would block waits for the report of room. A report that came while that call ran counts
// too. So the events of a connected socket cost no epoll_ctl call each. And a recv after one that
// emptied the stream, with no report since, finds nothing without asking the system: the recv that
// ends an event's reading loop costs no call either.
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include "win32/socket_internal.h"
#include "win32/socket_table.h"

namespace {

constexpr uint32_t SELECTABLE_EVENTS = WSOCK_FD_READ | WSOCK_FD_WRITE | WSOCK_FD_ACCEPT | WSOCK_FD_CONNECT | WSOCK_FD_CLOSE;

void event_post(SocketRecord& record, uint32_t event, int error) {
    LPARAM reply = static_cast<LPARAM>(event | (static_cast<uint32_t>(error) << 16));
    win32_queue_push(*record.queue, record.window, record.message, record.handle, reply);
}

// Posts an event if it is asked for and enabled, and disables it until its re-enabling call.
void event_post_once(SocketRecord& record, uint32_t event, int error) {
    if (!(record.enabled & event)) return;
    record.enabled &= ~event;
    if (event == WSOCK_FD_READ) record.read_posts.fetch_add(1);
    if (event == WSOCK_FD_WRITE) record.write_posts.fetch_add(1);
    event_post(record, event, error);
}

int pending_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int unread_bytes(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

// The edge-triggered conditions of a connected socket: the peer's FIN is watched with the data,
// so that a close is told apart from data.
uint32_t connected_interest(const SocketRecord& record) {
    uint32_t interest = 0;
    if (record.events & WSOCK_FD_READ) interest |= EPOLLIN | EPOLLRDHUP;
    if (record.events & WSOCK_FD_CLOSE) interest |= EPOLLRDHUP;
    if (record.events & WSOCK_FD_WRITE) interest |= EPOLLOUT;
    return interest == 0 ? 0 : interest | EPOLLET;
}

// The epoll conditions the entry is to be armed with.
uint32_t interest_of(const SocketRecord& record) {
    if (!record.queue) return 0;
    switch (record.state) {
        case SocketState::LISTENING:
            return (record.enabled & WSOCK_FD_ACCEPT) ? EPOLLIN | EPOLLONESHOT : 0;
        case SocketState::CONNECTING:
            return EPOLLOUT | EPOLLONESHOT;
        case SocketState::CONNECTED:
            return connected_interest(record);
        default:
            return 0;
    }
}

void epoll_leave(SocketRecord& record) {
    if (!record.in_epoll) return;
    ::epoll_ctl(win32_queue_epoll_fd(*record.queue), EPOLL_CTL_DEL, record.fd, nullptr);
    win32_queue_count_sockets(*record.queue, -1);
    record.in_epoll = false;
    record.kernel_interest = 0;
}

// Brings the epoll entry in line with the record; the caller holds the record's lock. An entry
// already armed as wanted is left alone unless `report_again` asks the system to report what
// holds now. A one-shot entry that has fired reports nothing until it is modified, so with
// nothing to ask for it stays in the set as it is: leaving and entering again would cost two
// calls where arming it later costs one.
void rearm_locked(SocketRecord& record, bool report_again = false) {
    uint32_t interest = interest_of(record);
    if (interest == 0) {
        if (record.kernel_interest != 0) epoll_leave(record);
        return;
    }
    if (record.in_epoll && interest == record.kernel_interest && !report_again) return;
    epoll_event entry = {};
    entry.events = interest;
    entry.data.u64 = record.handle;
    int epoll_fd = win32_queue_epoll_fd(*record.queue);
    if (record.in_epoll) {
        ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, record.fd, &entry);
    } else if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, record.fd, &entry) == 0) {
        record.in_epoll = true;
        win32_queue_count_sockets(*record.queue, 1);
    }
    record.kernel_interest = interest;
}

// A non-blocking connect has finished: FD_CONNECT with its outcome, then the connected rules.
void on_connect_done(SocketRecord& record) {
    int error = pending_error(record.fd);
    record.state = error == 0 ? SocketState::CONNECTED : SocketState::FAILED;
    event_post_once(record, WSOCK_FD_CONNECT, error == 0 ? 0 : wsock_error_from_errno(error));
}

// Posts FD_CLOSE once the peer has closed and, when FD_READ is asked for, every byte before the
// close has been read, so the data is never lost behind it.
void close_post_when_drained(SocketRecord& record, int close_error) {
    bool drained = record.read_done || !(record.events & WSOCK_FD_READ);
    if (record.peer_closed && drained) event_post_once(record, WSOCK_FD_CLOSE, close_error);
}

// The rules of a connected socket's report.
void on_connected_ready(SocketRecord& record, uint32_t ready) {
    if (ready & EPOLLIN) record.read_reports.fetch_add(1);
    if (ready & EPOLLOUT) record.write_reports.fetch_add(1);
    int close_error = 0;
    if (ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) record.peer_closed = true;
    if (ready & EPOLLERR) {
        int error = pending_error(record.fd);
        if (error != 0) {
            close_error = wsock_error_from_errno(error);
            record.reset = true;
        }
    }
    int unread = record.peer_closed ? unread_bytes(record.fd) : ((ready & EPOLLIN) ? 1 : 0);
    if ((ready & EPOLLIN) && unread > 0 && !record.reset && !record.read_done)
        event_post_once(record, WSOCK_FD_READ, 0);
    if ((ready & EPOLLOUT) && !record.reset) event_post_once(record, WSOCK_FD_WRITE, 0);
    if (!record.peer_closed) return;
    if (unread == 0 || record.reset) record.read_done = true;
    close_post_when_drained(record, close_error);
}

SocketMark mark_of(const std::atomic<uint32_t>& reports, const std::atomic<uint32_t>& posts, bool peer_closed) {
    return SocketMark{reports.load(), posts.load(), peer_closed};
}

}  // namespace

void socket_events_ready(uint64_t socket, uint32_t ready) {
    DWORD caller_error = GetLastError();
    SocketRef record = socket_table_get(static_cast<uintptr_t>(socket));
    SetLastError(caller_error);
    if (!record) return;  // closed after its entry reported
    std::lock_guard<std::mutex> guard(record->lock);
    if (!record->queue) return;
    if (record->kernel_interest & EPOLLONESHOT) record->kernel_interest = 0;  // it has fired
    switch (record->state) {
        case SocketState::LISTENING:
            if (ready & EPOLLIN)
                event_post_once(*record, WSOCK_FD_ACCEPT, 0);
            else if (ready & (EPOLLHUP | EPOLLERR))
                record->state = SocketState::FAILED;  // shut down: nothing will be pending again
            break;
        case SocketState::CONNECTING:
            on_connect_done(*record);
            break;
        case SocketState::CONNECTED:
            on_connected_ready(*record, ready);
            break;
        default:
            break;
    }
    rearm_locked(*record);
}

int socket_events_select(SocketRecord& record, HWND window, UINT message, uint32_t events) {
    Win32QueueRef queue;
    if (events != 0) {
        DWORD owner = win32_window_owner(window);
        queue = owner ? win32_queue_of_thread(owner) : nullptr;
        if (!queue) {
            SetLastError(WSOCK_EINVAL);
            return -1;
        }
    }
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.queue != queue) epoll_leave(record);
    record.queue = queue;
    record.window = window;
    record.message = message;
    record.events = events & SELECTABLE_EVENTS;
    // A new registration reports again every condition that holds now.
    record.enabled = record.events;
    record.empty_since.store(0);
    record.selected.store(record.queue != nullptr);
    if (record.queue) rearm_locked(record, true);
    return 0;
}

void socket_events_cancel(SocketRecord& record) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.queue) epoll_leave(record);
    record.queue = nullptr;
    record.selected.store(false);
}

void socket_events_enable_accept(SocketRecord& record) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (!record.queue) return;
    record.enabled |= WSOCK_FD_ACCEPT & record.events;
    rearm_locked(record);
}

SocketMark socket_events_mark_read(const SocketRecord& record) {
    return mark_of(record.read_reports, record.read_posts, record.peer_closed.load());
}

SocketMark socket_events_mark_write(const SocketRecord& record) {
    return mark_of(record.write_reports, record.write_posts, false);
}

bool socket_events_known_empty(const SocketRecord& record, int length, int flags) {
    if (length <= 0 || (flags & (WSOCK_MSG_PEEK | WSOCK_MSG_OOB)) != 0) return false;
    uint32_t since = record.empty_since.load();
    return since != 0 && since - 1 == record.read_reports.load() && !record.peer_closed.load();
}

// A stream's recv that got less than it asked for emptied the socket; one that got it all may
// have left data, and a datagram socket may hold further datagrams after any recv.
void socket_events_after_recv(SocketRecord& record, SocketMark mark, int asked, int got, int error, bool peek) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (!record.queue || !(record.events & WSOCK_FD_READ)) return;
    if (record.state != SocketState::CONNECTED) return;
    bool stream = record.type == WSOCK_SOCK_STREAM;
    bool may_remain = got > 0 && (peek || got == asked || !stream);
    if (!stream && got == 0) may_remain = true;
    bool emptied = (got >= 0 && !may_remain) || (got < 0 && error == WSOCK_EWOULDBLOCK);
    // Emptied as of the reports counted before the call: one counted since may be of new data.
    // Only a recv that got data counts, so that a would-block known without the system is said
    // once, and a caller that asks again without waiting for FD_READ asks the system.
    bool left_empty = stream && !peek && got > 0 && !may_remain && !mark.peer_closed;
    record.empty_since.store(left_empty ? mark.reports + 1 : 0);
    // A report that came while the call ran has posted FD_READ already: the caller reads again.
    if (record.read_posts.load() != mark.posts) return;
    if (stream && got == 0 && asked > 0) {
        record.peer_closed = true;  // the end of the stream
        record.read_done = true;
    } else if (emptied && mark.peer_closed) {
        record.read_done = true;  // the close came before this call, which read up to it
    }
    record.enabled |= WSOCK_FD_READ;
    bool reported = record.read_reports.load() != mark.reports;
    if (!record.read_done && !record.reset && (may_remain || reported)) event_post_once(record, WSOCK_FD_READ, 0);
    if (!record.reset) close_post_when_drained(record, 0);
}

void socket_events_after_blocked_send(SocketRecord& record, SocketMark mark) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (!record.queue || !(record.events & WSOCK_FD_WRITE)) return;
    if (record.state != SocketState::CONNECTED) return;
    if (record.write_posts.load() != mark.posts) return;  // room came meanwhile and was posted
    record.enabled |= WSOCK_FD_WRITE;
    if (record.write_reports.load() != mark.reports && !record.reset) event_post_once(record, WSOCK_FD_WRITE, 0);
}

void socket_events_inherit(SocketRecord& listener, SocketRecord& accepted) {
    std::lock_guard<std::mutex> guard(listener.lock);
    if (!listener.queue) return;
    std::lock_guard<std::mutex> accepted_guard(accepted.lock);
    accepted.queue = listener.queue;
    accepted.window = listener.window;
    accepted.message = listener.message;
    accepted.events = listener.events;
    accepted.enabled = listener.events;
    accepted.selected.store(true);
    rearm_locked(accepted);
}

void socket_events_set_state(SocketRecord& record, SocketState state, int error) {
    std::lock_guard<std::mutex> guard(record.lock);
    record.state = state;
    if (!record.queue) return;
    // A connect that ended at once still reports through FD_CONNECT, as one that ends later would.
    if (state == SocketState::FAILED || (state == SocketState::CONNECTED && error == 0))
        if (record.enabled & WSOCK_FD_CONNECT) event_post_once(record, WSOCK_FD_CONNECT, error);
    rearm_locked(record);
}
