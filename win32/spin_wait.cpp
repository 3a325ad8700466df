// The spin before a wait sleeps: when it runs, how long, and what it learns.
#include "win32/spin_wait.h"

#include <sched.h>
#include <time.h>

#include <algorithm>

namespace {

// Below this a spin is not worth starting.
constexpr uint32_t SPIN_LIMIT_MIN_NS = 1000;

// A hand-over counts for the waits that begin within this long of it; the answer to one older
// than that is not on its way any more, or not soon.
constexpr uint64_t HANDOVER_FRESH_NS = 1000000;

// Events and threads are made anew for each transfer, so their own histories start afresh each
// time and cannot learn that hand-overs are slow just now (the processors busy, the answer far
// off). After this many spins in a row, over the whole process, that caught nothing, only one wait
// in PROBE_EVERY spins, to find out when spinning pays again.
constexpr uint32_t MISSES_BEFORE_PAUSE = 8;
constexpr uint32_t PROBE_EVERY = 32;
std::atomic<uint32_t> misses_in_a_row{0};
std::atomic<uint32_t> paused_waits{0};

thread_local uint64_t handover_at = 0;  // spin_clock_ns() of this thread's last hand-over, 0: none

bool processors_to_spin_on() {
    static const bool several = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (::sched_getaffinity(0, sizeof set, &set) != 0) return false;
        return CPU_COUNT(&set) > 1;
    }();
    return several;
}

}  // namespace

void spin_note_handover() { handover_at = spin_clock_ns(); }

uint64_t spin_budget(const SpinHistory& history, uint64_t budget_ns) {
    uint64_t at = handover_at;
    handover_at = 0;
    if (at == 0 || spin_clock_ns() - at > HANDOVER_FRESH_NS || !processors_to_spin_on()) return 0;
    if (misses_in_a_row.load(std::memory_order_relaxed) >= MISSES_BEFORE_PAUSE &&
        paused_waits.fetch_add(1, std::memory_order_relaxed) % PROBE_EVERY != 0)
        return 0;
    uint32_t limit = history.limit_ns.load(std::memory_order_relaxed);
    return limit < SPIN_LIMIT_MIN_NS ? 0 : std::min<uint64_t>(limit, budget_ns);
}

uint64_t spin_clock_ns() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void spin_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// A caught hand-over keeps the limit. A wait that slept and still ended within the longest spin
// would have been caught by it (its time includes the sleep and the wake-up): the limit goes back
// to the most. A longer one halves it, so that waits that are long lately soon sleep at once.
void spin_learn(SpinHistory& history, uint64_t waited_ns, bool caught) {
    uint32_t misses = misses_in_a_row.load(std::memory_order_relaxed);
    if (caught) {
        if (misses != 0) misses_in_a_row.store(0, std::memory_order_relaxed);
        return;
    }
    if (misses < MISSES_BEFORE_PAUSE) misses_in_a_row.store(misses + 1, std::memory_order_relaxed);
    uint32_t limit = history.limit_ns.load(std::memory_order_relaxed);
    uint32_t next = waited_ns <= SPIN_LIMIT_MAX_NS ? SPIN_LIMIT_MAX_NS : limit / 2;
    if (next != limit) history.limit_ns.store(next, std::memory_order_relaxed);
}
