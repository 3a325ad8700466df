// The per-thread message queues, shared inside libwin32 by the window manager and the socket
// events. Not part of the Win32 interface: only win32/*.cpp include it.
//
// Each queue owns an epoll set: its wake-up descriptor, written when a message is posted to a
// thread that sleeps in GetMessageW, and the sockets whose WSAAsyncSelect window belongs to the
// queue's thread. The owner thread turns socket readiness into messages while it waits, and a
// thread that posts does so first for what is ready already, so socket events and posted messages
// meet in one list, in the order they happened, and are handled on the owner thread.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "win32/win32.h"

struct Win32Queue;
using Win32QueueRef = std::shared_ptr<Win32Queue>;

// The queue of a thread id issued by GetCurrentThreadId or CreateThread, made on first use; null
// for an id never issued and for a thread whose queue ended with it.
Win32QueueRef win32_queue_of_thread(DWORD thread_id);

// Appends a message and wakes the owner thread if it sleeps.
void win32_queue_push(Win32Queue& queue, HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The epoll set that the owner thread waits on; a socket registers there with data.u64 = its
// SOCKET value (never 0, which marks the wake-up descriptor).
int win32_queue_epoll_fd(const Win32Queue& queue);

// Counts the sockets registered in the queue's set, so that a thread busy with posted messages
// still looks at its sockets between messages.
void win32_queue_count_sockets(Win32Queue& queue, int delta);

// The timers of one queue (timers.cpp keeps their rules), touched under the queue's lock.
struct Win32Timer {
    HWND window;  // null for a thread timer
    UINT_PTR id;
    UINT elapse;  // milliseconds
    TIMERPROC procedure;
    uint64_t due;  // GetTickCount64 value at which the next interval ends
    bool ready;    // an interval has ended and its WM_TIMER has not been taken
};

struct Win32TimerList {
    std::vector<Win32Timer> timers;
    UINT_PTR next_thread_timer_id = 1;
};

// Changes the queue's timers under its lock, then wakes the owner thread if it sleeps, so that it
// measures its wait again.
void win32_queue_change_timers(Win32Queue& queue, const std::function<void(Win32TimerList&)>& change);

// The WM_TIMER of the first timer that is ready at `now`, if any; taking it (`remove`) clears its
// readiness. Timers of windows that have ended are dropped here.
bool win32_timers_take(Win32TimerList& list, uint64_t now, bool remove, MSG* message);
// Milliseconds from `now` until the next interval ends (at least 1), or -1 without timers.
int win32_timers_wait_ms(const Win32TimerList& list, uint64_t now);

// Called for each socket the epoll set reports, by the owner or a poster (socket_events.cpp).
void socket_events_ready(uint64_t socket, uint32_t epoll_events);

// Whether a thread id was ever issued.
bool win32_thread_id_issued(DWORD thread_id);

// The owner thread of a live window, or 0.
DWORD win32_window_owner(HWND window);
