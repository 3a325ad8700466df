#include "host/index/result_share.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

namespace host {
namespace {

// How often a job waiting for another's identical search looks at its own cancel flag.
constexpr auto SHARE_CANCEL_POLL = std::chrono::milliseconds(2);

// A version is known by its generation's address and its number. The slot's list (or, while it
// runs, the job that makes it) holds a reference on the generation, so the address is not reused.
struct ShareSlot {
    const IndexGeneration* generation;
    uint32_t version;
    std::shared_ptr<const QuerySearch> search;
    std::weak_ptr<const QueryResults> results;
    bool running;
};

struct ShareTable {
    std::mutex lock;
    std::condition_variable settled;
    std::list<ShareSlot> slots;  // a running slot is never erased, so its address stays valid
};

ShareTable g_share;

bool slot_is_dead(const ShareSlot& slot) { return !slot.running && slot.results.expired(); }

}  // namespace

SharedResults result_share_search(const IndexView& view, const std::shared_ptr<const QuerySearch>& search,
                                  const std::atomic<bool>& cancel,
                                  const std::function<std::unique_ptr<QueryResults>()>& compute) {
    std::unique_lock<std::mutex> guard(g_share.lock);
    for (;;) {
        std::erase_if(g_share.slots, slot_is_dead);
        auto same = std::find_if(g_share.slots.begin(), g_share.slots.end(), [&](const ShareSlot& slot) {
            return slot.generation == view.generation && slot.version == view.version && *slot.search == *search;
        });
        if (same == g_share.slots.end()) break;
        if (SharedResults held = same->results.lock()) return held;
        // Made elsewhere right now (a stopped run leaves a dead slot, and the next caller runs it).
        if (cancel.load()) return nullptr;
        g_share.settled.wait_for(guard, SHARE_CANCEL_POLL);
    }
    ShareSlot& mine = g_share.slots.emplace_back(ShareSlot{view.generation, view.version, search, {}, true});
    guard.unlock();

    SharedResults made;
    auto settle = [&] {
        guard.lock();
        mine.running = false;
        mine.results = made;
        guard.unlock();
        g_share.settled.notify_all();
    };
    try {
        if (std::unique_ptr<QueryResults> list = compute()) made = SharedResults(std::move(list));
    } catch (...) {
        settle();  // the waiters run it themselves
        throw;
    }
    settle();
    return made;
}

size_t result_share_slots() {
    std::lock_guard<std::mutex> guard(g_share.lock);
    std::erase_if(g_share.slots, slot_is_dead);
    return g_share.slots.size();
}

}  // namespace host
