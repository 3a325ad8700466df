// Waiting on events and threads. The state word is a futex: a waiter counts itself in and sleeps
// on the word while it reads 0, and signalling stores 1 and wakes the word only when someone waits.
// So setting an event that no one waits for costs no system call, and a hand-over between two
// threads costs one wait and one wake, where a mutex and a condition variable cost several; a
// waiter that catches the signal while it spins (spin_wait.h) costs none.
//
// Both sides use sequentially consistent operations: a waiter that counted itself in and then read
// 0 is seen by the signaller's read of the count, or it reads the 1 itself.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "win32/kernel_objects.h"

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

uint32_t* futex_word(std::atomic<uint32_t>& state) { return reinterpret_cast<uint32_t*>(&state); }

// Sleeps while the word holds `expected`, at most `timeout` (null: without limit). Wakes early on
// a change, a signal or spuriously; the caller looks again.
void futex_wait(std::atomic<uint32_t>& state, uint32_t expected, const timespec* timeout) {
    ::syscall(SYS_futex, futex_word(state), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>& state) {
    ::syscall(SYS_futex, futex_word(state), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Takes the signal: an auto-reset event's is taken by one waiter only.
bool waitable_try_take(KernelObject& object) {
    if (object.kind == KernelObjectKind::EVENT && !object.manual_reset) {
        uint32_t expected = 1;
        return object.signalled.compare_exchange_strong(expected, 0);
    }
    return object.signalled.load() == 1;
}

timespec timespec_of(std::chrono::nanoseconds span) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

}  // namespace

void waitable_set(KernelObject& object, bool signalled) {
    object.signalled.store(signalled ? 1 : 0);
    if (!signalled) return;
    uint32_t sleeping = object.waiters.load();
    if (sleeping != 0 || object.spinners.load() != 0) spin_note_handover();
    if (sleeping != 0) futex_wake_all(object.signalled);
}

// A wait first spins when this thread has a hand-over in flight (spin_wait.h); a spinning waiter
// is not counted among the waiters, so a signal that finds only spinners costs no system call.
DWORD waitable_wait(KernelObject& object, DWORD milliseconds) {
    if (waitable_try_take(object)) {
        spin_budget(object.spin, 0);  // the hand-over note is for this wait, which needed none
        return WAIT_OBJECT_0;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    uint64_t started = spin_clock_ns();
    uint64_t spin = spin_budget(object.spin, milliseconds == INFINITE ? UINT64_MAX : milliseconds * 1000000ull);
    if (spin != 0) {
        object.spinners.fetch_add(1);
        bool caught = spin_until(spin, [&] {
            return object.signalled.load(std::memory_order_relaxed) == 1 && waitable_try_take(object);
        });
        object.spinners.fetch_sub(1);
        if (caught) {
            spin_learn(object.spin, spin_clock_ns() - started, true);
            return WAIT_OBJECT_0;
        }
    }
    object.waiters.fetch_add(1);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (waitable_try_take(object)) {
            result = WAIT_OBJECT_0;
            break;
        }
        if (milliseconds == INFINITE) {
            futex_wait(object.signalled, 0, nullptr);
            continue;
        }
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) break;
        timespec timeout = timespec_of(left);
        futex_wait(object.signalled, 0, &timeout);
    }
    object.waiters.fetch_sub(1);
    if (spin != 0 && result == WAIT_OBJECT_0) spin_learn(object.spin, spin_clock_ns() - started, false);
    return result;
}
