// Starting plug-in threads, on the win32/ layer over POSIX.
//
// A plug-in thread runs on a pooled thread: a thread that has run one function parks and takes
// the next, so that a transfer of a small file does not pay for a thread's start and end. Each
// create runs its function once, and its handle is an event that is set once the function has
// returned, which is what waiting on a thread's handle means.
#include <condition_variable>
#include <chrono>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/services.h"

namespace host {
namespace {

// At most this many threads wait for work. A parked thread ends when none came for a while: long
// enough to serve a client that fetches file after file, short enough that an idle server soon
// holds no thread beyond its own.
constexpr size_t POOL_PARKED_MAX = 64;
constexpr auto POOL_PARK_LIMIT = std::chrono::seconds(2);

struct PoolJob {
    PluginThreadProc function;
    void* argument;
    HANDLE done;  // set once the function has returned
};

// Threads meet here: creators append jobs and parked threads take them, both under `lock`.
struct ThreadPool {
    std::mutex lock;
    std::condition_variable job_ready;
    std::deque<PoolJob> jobs;
    size_t parked = 0;  // threads waiting for a job, less the jobs already handed to them
};

// Never destroyed: parked threads still wait on it while the process exits.
ThreadPool& thread_pool() {
    static ThreadPool* pool = new ThreadPool;
    return *pool;
}

// Waits for a job; false when none came within the park limit or enough threads wait already.
bool pool_take(ThreadPool& pool, PoolJob* job) {
    std::unique_lock<std::mutex> guard(pool.lock);
    if (pool.jobs.empty()) {
        if (pool.parked >= POOL_PARKED_MAX) return false;
        pool.parked++;
        bool ready = pool.job_ready.wait_for(guard, POOL_PARK_LIMIT, [&] { return !pool.jobs.empty(); });
        pool.parked--;
        if (!ready) return false;
    }
    *job = pool.jobs.front();
    pool.jobs.pop_front();
    return true;
}

void pool_thread(PoolJob job) {
    ThreadPool& pool = thread_pool();
    do {
        job.function(job.argument);
        SetEvent(job.done);
    } while (pool_take(pool, &job));
}

}  // namespace

HANDLE os_thread_create(PluginThreadProc function, void* argument) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) return nullptr;
    PoolJob job = {function, argument, done};
    ThreadPool& pool = thread_pool();
    bool handed = false;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (pool.parked > pool.jobs.size()) {
            pool.jobs.push_back(job);
            handed = true;
        }
    }
    // Told after the lock is let go, so that the woken thread does not wait for it at once.
    if (handed) {
        pool.job_ready.notify_one();
        return done;
    }
    try {
        std::thread(pool_thread, job).detach();
    } catch (const std::system_error&) {
        CloseHandle(done);
        return nullptr;
    }
    return done;
}

}  // namespace host
