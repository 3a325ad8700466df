// SetTimer and KillTimer, and the rules by which a queue turns its timers into WM_TIMER messages.
// A timer is not a queued message: it only marks itself ready when an interval ends, and the
// queue makes its one WM_TIMER when nothing else is waiting (message_queue.cpp).
#include <algorithm>
#include <climits>

#include "win32/message_queue.h"

namespace {

UINT timer_clamp_elapse(UINT elapse) { return std::clamp(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM); }

Win32Timer* timer_find(Win32TimerList& list, HWND window, UINT_PTR id) {
    for (Win32Timer& timer : list.timers)
        if (timer.window == window && timer.id == id) return &timer;
    return nullptr;
}

// A thread timer's id: one that no live thread timer of the queue carries.
UINT_PTR timer_new_thread_id(Win32TimerList& list) {
    UINT_PTR id;
    do {
        id = list.next_thread_timer_id++;
    } while (id == 0 || timer_find(list, nullptr, id));
    return id;
}

// The queue that a window's timers run in (its thread's), or the caller's own for a thread timer;
// null for a window that does not exist.
Win32QueueRef timer_queue(HWND window) {
    DWORD owner = window ? win32_window_owner(window) : GetCurrentThreadId();
    return owner ? win32_queue_of_thread(owner) : nullptr;
}

}  // namespace

bool win32_timers_take(Win32TimerList& list, uint64_t now, bool remove, MSG* message) {
    std::erase_if(list.timers, [](const Win32Timer& timer) { return timer.window && !win32_window_owner(timer.window); });
    Win32Timer* chosen = nullptr;
    for (Win32Timer& timer : list.timers) {
        // Intervals that passed unseen make one message, not one each.
        if (now >= timer.due) {
            timer.ready = true;
            timer.due = now + timer.elapse;
        }
        if (timer.ready && !chosen) chosen = &timer;
    }
    if (!chosen) return false;
    if (remove) chosen->ready = false;
    *message = MSG{chosen->window, WM_TIMER, chosen->id, reinterpret_cast<LPARAM>(chosen->procedure),
                   static_cast<DWORD>(now), {0, 0}};
    return true;
}

int win32_timers_wait_ms(const Win32TimerList& list, uint64_t now) {
    if (list.timers.empty()) return -1;
    uint64_t next = UINT64_MAX;
    for (const Win32Timer& timer : list.timers) next = std::min(next, timer.due);
    if (next <= now) return 1;
    return static_cast<int>(std::min<uint64_t>(next - now, INT_MAX));
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure) {
    Win32QueueRef queue = timer_queue(window);
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    UINT_PTR result = 0;
    win32_queue_change_timers(*queue, [&](Win32TimerList& list) {
        Win32Timer* timer = timer_find(list, window, id);
        if (!timer) {
            list.timers.push_back(Win32Timer{window, window ? id : timer_new_thread_id(list), 0, nullptr, 0, false});
            timer = &list.timers.back();
        }
        timer->elapse = timer_clamp_elapse(elapse);
        timer->procedure = procedure;
        timer->due = GetTickCount64() + timer->elapse;
        timer->ready = false;
        result = window ? 1 : timer->id;
    });
    return result;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    Win32QueueRef queue = timer_queue(window);
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    size_t killed = 0;
    win32_queue_change_timers(*queue, [&](Win32TimerList& list) {
        killed = std::erase_if(list.timers, [&](const Win32Timer& timer) { return timer.window == window && timer.id == id; });
    });
    if (killed == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
