// The records behind kernel-object HANDLEs (events, threads, open files) and the one table that
// maps handles to them. Not part of the Win32 interface: only win32/*.cpp include it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "win32/spin_wait.h"
#include "win32/win32.h"

enum class KernelObjectKind { EVENT, THREAD, FILE };

constexpr DWORD STILL_ACTIVE = 259;

struct KernelObject {
    explicit KernelObject(KernelObjectKind object_kind) : kind(object_kind) {}
    ~KernelObject();

    const KernelObjectKind kind;

    // Events and threads: a waitable state, 1 when signalled; a thread is signalled once it has
    // ended. Waiters sleep on the state word itself (waitable.cpp); `waiters` counts those that
    // sleep or are about to, `spinners` those that spin first.
    std::atomic<uint32_t> signalled{0};
    std::atomic<uint32_t> waiters{0};
    std::atomic<uint32_t> spinners{0};
    SpinHistory spin;
    bool manual_reset = true;
    std::mutex lock;  // guards exit_code
    DWORD exit_code = STILL_ACTIVE;

    // Files: the descriptor, closed with the last reference.
    int fd = -1;
    // Folders: the change watch that the first ReadDirectoryChangesW made (0: none), guarded by
    // `lock` and ended with the last reference.
    uint64_t watch = 0;
    // Folders: WATCH_SETUP_RUNNING while the first request places the watch's watches (which takes
    // a while in a large tree), WATCH_SETUP_CANCELLED once CancelIoEx asked it to stop.
    std::atomic<int> watch_setup{0};
};

constexpr int WATCH_SETUP_NONE = 0;
constexpr int WATCH_SETUP_RUNNING = 1;
constexpr int WATCH_SETUP_CANCELLED = 2;

// Ends a folder's change watch: its request completes as cancelled (directory_changes.cpp).
void directory_watch_end(uint64_t watch);

using KernelObjectRef = std::shared_ptr<KernelObject>;

// Signals or clears an event's or a thread's state; signalling wakes every waiter, and a signal
// that someone waited for counts as this thread's hand-over (spin_wait.h).
void waitable_set(KernelObject& object, bool signalled);
// Waits until the object is signalled (taking the signal of an auto-reset event) or `milliseconds`
// pass (INFINITE: never); WAIT_OBJECT_0 or WAIT_TIMEOUT.
DWORD waitable_wait(KernelObject& object, DWORD milliseconds);

// Enters an object in the table; null (with ERROR_NOT_ENOUGH_MEMORY) when the table is full.
HANDLE kernel_handle_open(KernelObjectRef object);
// The object behind a live handle of the given kind, or null with ERROR_INVALID_HANDLE.
// The reference keeps the object alive after a concurrent CloseHandle.
KernelObjectRef kernel_handle_get(HANDLE handle, KernelObjectKind kind);
// The same for events and threads, whichever the handle is.
KernelObjectRef kernel_handle_get_waitable(HANDLE handle);
