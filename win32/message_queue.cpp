// One message queue per thread: PostMessageW, PostThreadMessageW, PostQuitMessage, GetMessageW
// and PeekMessageW, which also make the WM_TIMER messages of the queue's timers.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "win32/message_queue.h"
#include "win32/spin_wait.h"
#include "win32/window_internal.h"

constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

struct Win32Queue {
    Win32Queue();
    ~Win32Queue();

    int epoll_fd = -1;
    int wake_fd = -1;
    std::atomic<int> socket_count{0};

    // Threads meet here: any thread appends under the lock; only the owner removes. The owner
    // sets `sleeping` before it waits, and a poster that sees it writes the wake-up descriptor once.
    std::mutex lock;
    std::deque<MSG> messages;
    Win32TimerList timers;
    bool sleeping = false;
    bool wake_written = false;
    bool quit_pending = false;
    int quit_code = 0;
    // Counts every change a waiting owner must look at (messages, timers, quit), so that an
    // owner that spins before it sleeps sees one without the lock.
    std::atomic<uint64_t> changes{0};
    SpinHistory spin;
};

namespace {

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, Win32QueueRef> queues;
};

// Never destroyed: other threads may still post while the process exits.
QueueRegistry& queue_registry() {
    static QueueRegistry* registry = new QueueRegistry;
    return *registry;
}

// Drops the thread's queue from the registry when the thread ends, so later posts to its windows
// fail; sockets registered with it keep the record (and its epoll set) alive until they let go.
struct QueueOwner {
    DWORD thread_id = 0;
    Win32QueueRef queue;
    ~QueueOwner() {
        if (!queue) return;
        QueueRegistry& registry = queue_registry();
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.queues[thread_id] = nullptr;  // ended: no queue is made for it again
    }
};

thread_local QueueOwner current_queue_owner;

// Whether the queue is the calling thread's own.
bool queue_is_current(const Win32Queue& queue) { return current_queue_owner.queue.get() == &queue; }

Win32Queue& queue_current() {
    if (!current_queue_owner.queue) {
        current_queue_owner.thread_id = GetCurrentThreadId();
        current_queue_owner.queue = win32_queue_of_thread(current_queue_owner.thread_id);
    }
    return *current_queue_owner.queue;
}

uint64_t message_time() { return GetTickCount64(); }

// Takes the first message that is still meant for someone; the caller holds the queue lock.
// Messages for windows destroyed after the post are discarded here.
bool queue_take_locked(Win32Queue& queue, MSG* message, bool remove) {
    while (!queue.messages.empty()) {
        MSG& front = queue.messages.front();
        if (front.hwnd && !win32_window_owner(front.hwnd)) {
            queue.messages.pop_front();
            continue;
        }
        *message = front;
        if (remove) queue.messages.pop_front();
        return true;
    }
    return false;
}

void queue_quit_message(Win32Queue& queue, MSG* message, bool remove) {
    *message = MSG{};
    message->message = WM_QUIT;
    message->wParam = static_cast<WPARAM>(queue.quit_code);
    message->time = static_cast<DWORD>(message_time());
    if (remove) queue.quit_pending = false;
}

void queue_drain_wake(Win32Queue& queue) {
    uint64_t count;
    while (::read(queue.wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.wake_written = false;
}

// Waits on the queue's set (timeout in milliseconds, -1 for ever) and turns what it reports into
// messages. Called by the owner thread only, without the queue lock: socket events post. The
// owner is awake again before it posts them, so they need no wake-up write.
void queue_poll(Win32Queue& queue, int timeout) {
    epoll_event events[64];
    int count = ::epoll_wait(queue.epoll_fd, events, 64, timeout);
    if (timeout != 0) {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.sleeping = false;
    }
    for (int i = 0; i < count; i++) {
        if (events[i].data.u64 == 0)
            queue_drain_wake(queue);
        else
            socket_events_ready(events[i].data.u64, events[i].events);
    }
}

// Turns the sockets that are ready now into messages, from whichever thread posts: a socket event
// that happened before a post is queued before it. The wake-up descriptor is left for the owner.
void queue_flush_sockets(Win32Queue& queue) {
    if (queue.socket_count.load(std::memory_order_relaxed) == 0) return;
    epoll_event events[64];
    int count = ::epoll_wait(queue.epoll_fd, events, 64, 0);
    for (int i = 0; i < count; i++)
        if (events[i].data.u64 != 0) socket_events_ready(events[i].data.u64, events[i].events);
}

// Counts a change and tells whether the owner sleeps and has not been woken yet; it then needs
// one write of the wake-up descriptor. The caller holds the queue lock.
bool queue_wake_needed_locked(Win32Queue& queue) {
    queue.changes.fetch_add(1, std::memory_order_release);
    bool wake = queue.sleeping && !queue.wake_written;
    if (wake) queue.wake_written = true;
    return wake;
}

void queue_wake(Win32Queue& queue) {
    uint64_t one = 1;
    while (::write(queue.wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Whether a quit or a timer's message is ready; the caller holds the queue lock.
bool queue_due_locked(Win32Queue& queue, uint64_t now) {
    MSG ignored;
    return queue.quit_pending || win32_timers_take(queue.timers, now, false, &ignored);
}

// The one body of GetMessageW and PeekMessageW.
// The sockets are looked at only once the queue holds nothing: whatever is queued came first,
// and every later post looks at them before it appends, so the order stays as things happened.
// Timers come last, and the sleep lasts until the next one is due. When neither a quit nor a
// timer is ready, the look at the sockets and the sleep are one wait, which ends as soon as a
// socket is ready; otherwise the sockets are looked at without waiting first. Before it sleeps,
// a thread with a hand-over in flight spins once for the answer; sockets that become ready during
// that spin wait for its end, and those ready before a post are queued ahead of it by the post.
BOOL queue_get(MSG* message, bool wait, bool remove) {
    Win32Queue& queue = queue_current();
    bool sockets_seen = queue.socket_count.load(std::memory_order_relaxed) == 0;
    bool spin_considered = false;
    uint64_t spin_started = 0;
    for (;;) {
        int timeout = 0;
        uint64_t seen = 0;
        uint64_t spin = 0;
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            if (queue_take_locked(queue, message, remove)) return TRUE;
            uint64_t now = message_time();
            if (sockets_seen || (wait && !queue_due_locked(queue, now))) {
                if (queue.quit_pending) {
                    queue_quit_message(queue, message, remove);
                    return wait ? FALSE : TRUE;
                }
                if (win32_timers_take(queue.timers, now, remove, message)) return TRUE;
                if (!wait) return FALSE;
                timeout = win32_timers_wait_ms(queue.timers, now);
                if (!spin_considered)
                    spin = spin_budget(queue.spin, timeout < 0 ? UINT64_MAX : static_cast<uint64_t>(timeout) * 1000000u);
                spin_considered = true;
                if (spin != 0)
                    seen = queue.changes.load(std::memory_order_relaxed);
                else
                    queue.sleeping = true;
            }
        }
        if (spin != 0) {
            // Whatever changed is taken on the next turn; a spin that saw nothing is followed by
            // the sleep, and learns from how long that lasts.
            spin_started = spin_clock_ns();
            if (spin_until(spin, [&] { return queue.changes.load(std::memory_order_acquire) != seen; })) {
                spin_learn(queue.spin, spin_clock_ns() - spin_started, true);
                spin_started = 0;
            }
            continue;
        }
        queue_poll(queue, timeout);
        sockets_seen = true;
        if (spin_started != 0 && timeout != 0) {
            spin_learn(queue.spin, spin_clock_ns() - spin_started, false);
            spin_started = 0;
        }
    }
}

}  // namespace

Win32Queue::Win32Queue() {
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.u64 = 0;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wake);
}

Win32Queue::~Win32Queue() {
    ::close(wake_fd);
    ::close(epoll_fd);
}

Win32QueueRef win32_queue_of_thread(DWORD thread_id) {
    if (!win32_thread_id_issued(thread_id)) return nullptr;
    QueueRegistry& registry = queue_registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto found = registry.queues.find(thread_id);
    if (found != registry.queues.end()) return found->second;
    Win32QueueRef queue = std::make_shared<Win32Queue>();
    registry.queues.emplace(thread_id, queue);
    return queue;
}

void win32_queue_push(Win32Queue& queue, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    MSG entry = {window, message, wparam, lparam, static_cast<DWORD>(message_time()), {0, 0}};
    bool wake;
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.messages.push_back(entry);
        wake = queue_wake_needed_locked(queue);
    }
    if (wake) queue_wake(queue);
}

void win32_queue_change_timers(Win32Queue& queue, const std::function<void(Win32TimerList&)>& change) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        change(queue.timers);
        wake = queue_wake_needed_locked(queue);
    }
    if (wake) queue_wake(queue);
}

int win32_queue_epoll_fd(const Win32Queue& queue) { return queue.epoll_fd; }

void win32_queue_count_sockets(Win32Queue& queue, int delta) { queue.socket_count.fetch_add(delta); }

BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!window) return PostThreadMessageW(GetCurrentThreadId(), message, wparam, lparam);
    DWORD owner = win32_window_owner(window);
    Win32QueueRef queue = owner ? win32_queue_of_thread(owner) : nullptr;
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    queue_flush_sockets(*queue);
    win32_queue_push(*queue, window, message, wparam, lparam);
    if (!queue_is_current(*queue)) spin_note_handover();
    return TRUE;
}

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
    Win32QueueRef queue = win32_queue_of_thread(thread_id);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    queue_flush_sockets(*queue);
    win32_queue_push(*queue, nullptr, message, wparam, lparam);
    if (!queue_is_current(*queue)) spin_note_handover();
    return TRUE;
}

void PostQuitMessage(int exit_code) {
    Win32Queue& queue = queue_current();
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.quit_pending = true;
    queue.quit_code = exit_code;
    queue.changes.fetch_add(1, std::memory_order_release);
}

BOOL GetMessageW(MSG* message, HWND window, UINT first, UINT last) {
    if (!message || window || first || last) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!queue_get(message, true, true)) return FALSE;
    return message->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
    if (!message || window || first || last) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return queue_get(message, false, (remove & PM_REMOVE) != 0);
}
