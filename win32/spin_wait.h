// A bounded, adaptive spin that a thread may run before it sleeps in a wait. Not part of the Win32
// interface: only win32/*.cpp include it.
//
// Waking a sleeping thread costs a system call on each side and the scheduler's round trip, tens
// of microseconds on a virtual machine; a hand-over between two threads that each take a few
// microseconds is then mostly waiting. So a thread that has just handed work to another thread
// (set an event someone waits for, posted to another thread's queue) spins for a while in its next
// wait, if that begins soon after, since the answer is on its way. Nothing else spins: a wait with nothing in flight, such as
// an idle server's message wait, sleeps at once. Each wait keeps its own history of how long its
// hand-overs take and spins only as long as they have lately needed, and not at all while they
// have lately taken longer than a spin may last; while the process's spins have lately caught
// nothing, only an occasional wait spins. With one processor there is no spinning at all: the
// thread that would answer could not run meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

// How long one wait spins at most.
constexpr uint32_t SPIN_LIMIT_MAX_NS = 50000;

// The spin history of one waitable thing (an event, a thread, a message queue).
struct SpinHistory {
    // How long the next spin may last; it starts at the most.
    std::atomic<uint32_t> limit_ns{SPIN_LIMIT_MAX_NS};
};

// Notes that this thread has just handed work to another thread.
void spin_note_handover();

// How long this thread's wait, which is about to sleep, should spin first: the longest spin that
// both the history and `budget_ns` allow when a hand-over of this thread is fresh, else 0 (sleep
// at once). Clears the hand-over note.
uint64_t spin_budget(const SpinHistory& history, uint64_t budget_ns);

// A monotonic clock in nanoseconds, cheap enough to read while spinning.
uint64_t spin_clock_ns();

void spin_relax();

// A gap this long between two looks at the clock means that the spinning thread lost its
// processor to another thread: the processors are busy, and spinning on would take one from
// whoever is to answer.
constexpr uint64_t SPIN_PREEMPTED_NS = 20000;

// Spins until `ready()` holds, `budget_ns` has passed or the thread was preempted; whether it holds.
template <typename Ready>
bool spin_until(uint64_t budget_ns, Ready ready) {
    uint64_t start = spin_clock_ns();
    uint64_t last = start;
    for (uint32_t round = 1;; round++) {
        if (ready()) return true;
        spin_relax();
        if (round % 16 != 0) continue;
        uint64_t now = spin_clock_ns();
        if (now - start >= budget_ns || now - last >= SPIN_PREEMPTED_NS) return ready();
        last = now;
    }
}

// Learns from one wait that considered spinning: `waited_ns` from its start until it was
// satisfied, and whether the spin caught it.
void spin_learn(SpinHistory& history, uint64_t waited_ns, bool caught);
