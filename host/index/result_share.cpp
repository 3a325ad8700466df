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

struct ShareSlot {
    const IndexSnapshot* snapshot;
    std::shared_ptr<const QuerySearch> search;
    std::weak_ptr<const ResultList> results;
    bool running;
};

// A shared list and the reference on the snapshot its entry numbers point into: while any holder
// of the list lives, no other snapshot can take its address and be mistaken for it.
struct HeldResults {
    ResultList list;
    IndexSnapshot* snapshot;
    HeldResults(ResultList&& made, IndexSnapshot* of) : list(std::move(made)), snapshot(of) {
        index_snapshot_acquire(snapshot);
    }
    ~HeldResults() { index_snapshot_release(snapshot); }
    HeldResults(const HeldResults&) = delete;
    HeldResults& operator=(const HeldResults&) = delete;
};

struct ShareTable {
    std::mutex lock;
    std::condition_variable settled;
    std::list<ShareSlot> slots;  // a running slot is never erased, so its address stays valid
};

ShareTable g_share;

bool slot_is_dead(const ShareSlot& slot) { return !slot.running && slot.results.expired(); }

}  // namespace

SharedResults result_share_search(IndexSnapshot* snapshot, const std::shared_ptr<const QuerySearch>& search,
                                  const std::atomic<bool>& cancel,
                                  const std::function<std::unique_ptr<ResultList>()>& compute) {
    std::unique_lock<std::mutex> guard(g_share.lock);
    for (;;) {
        std::erase_if(g_share.slots, slot_is_dead);
        auto same = std::find_if(g_share.slots.begin(), g_share.slots.end(), [&](const ShareSlot& slot) {
            return slot.snapshot == snapshot && *slot.search == *search;
        });
        if (same == g_share.slots.end()) break;
        if (SharedResults held = same->results.lock()) return held;
        // Made elsewhere right now (a stopped run leaves a dead slot, and the next caller runs it).
        if (cancel.load()) return nullptr;
        g_share.settled.wait_for(guard, SHARE_CANCEL_POLL);
    }
    ShareSlot& mine = g_share.slots.emplace_back(ShareSlot{snapshot, search, {}, true});
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
        if (std::unique_ptr<ResultList> list = compute()) {
            auto held = std::make_shared<HeldResults>(std::move(*list), snapshot);
            made = SharedResults(held, &held->list);
        }
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
