// What a running search or sort polls between pieces of work that take a few milliseconds at most,
// so that a superseded or destroyed query, or a stop of the host, ends it at once.
#pragma once

#include <atomic>

namespace host {

struct SearchPoll {
    const std::atomic<bool>* cancel = nullptr;  // raised: stop as soon as possible
    void (*on_poll)(void* context) = nullptr;   // runs at every poll; the query workers lower the
    void* context = nullptr;                    // priority of a job that has run long there
};

// Runs on_poll, then tells whether the work must stop.
inline bool search_poll_stop(const SearchPoll& poll) {
    if (poll.on_poll) poll.on_poll(poll.context);
    return poll.cancel && poll.cancel->load(std::memory_order_relaxed);
}

}  // namespace host
