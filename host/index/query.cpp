// Threads meet here, and only through these fields:
// - a job's `cancel` flag: raised by the owner thread (a newer job of the query, or its destroy)
//   or by a stop of the host; read by the job's worker at every poll;
// - a job's `results` and `done`, under QueryShared::lock: set once by whoever ends the job (its
//   worker, or the thread that cancels it while it still waits in the queue); read by the owner
//   thread in install_newest;
// - the pool's queue, running list and counts, under WorkerPool::lock; g_jobs_running, a copy of
//   the running list's length that workers read at their polls, is an atomic.
// - a query's held list (result_follow.h), which meets the follower thread on its own terms.
// Everything else in a job is immutable once queued, or belongs to its worker while it runs. The
// worker never touches the query: it hands the finished job back by posting it to the creating
// thread's completion window, and only that thread installs results and calls the callback,
// after checking that the query still exists and that the job is still its newest.
#include "host/index/query.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/index/index.h"
#include "host/index/result_follow.h"
#include "host/index/result_share.h"
#include "host/index/result_sort.h"
#include "host/index/search_run.h"
#include "host/services.h"

namespace host {

struct QueryShared;

struct QueryJob {
    std::shared_ptr<QueryShared> shared;
    SorrelwickDbQuery* owner = nullptr;  // compared by address on the owner thread, never followed elsewhere
    HWND window = nullptr;               // the owner thread's completion window
    IndexView view;                      // the version it searches or sorts, a reference of its own
    std::shared_ptr<const QuerySearch> search;  // null: sort `input` only
    std::shared_ptr<const QueryResults> input;
    std::shared_ptr<const QuerySearch> answers;  // the search whose whole answer it makes (null: none)
    int sort_property = 0;
    bool sort_ascending = true;
    int event = DB_QUERY_EVENT_SEARCH_DONE;
    std::atomic<bool> cancel{false};
    bool done = false;                                     // guarded by shared->lock
    bool complete = false;                                 // guarded by shared->lock: ran to its end
    std::shared_ptr<const QueryResults> results;           // guarded by shared->lock
    bool event_raised = false;                             // owner thread only
    std::chrono::steady_clock::time_point started;         // worker only
    bool lowered = false;                                  // worker only: runs at a lowered priority

    ~QueryJob() { index_view_release(&view); }
};

struct QueryShared {
    std::mutex lock;
    std::condition_variable finished;
};

}  // namespace host

struct SorrelwickDbQuery {
    std::shared_ptr<host::QueryShared> shared = std::make_shared<host::QueryShared>();
    DbQueryCallback callback = nullptr;
    void* context = nullptr;
    HWND window = nullptr;
    // Owner thread only:
    std::shared_ptr<const host::QueryResults> results = std::make_shared<host::QueryResults>();
    std::shared_ptr<host::QueryJob> newest;
    bool newest_installed = true;
    std::shared_ptr<host::HeldList> held;  // `results` as they follow the index (null: not followed)
};

namespace host {
namespace {

constexpr UINT QUERY_DONE_MESSAGE = WM_USER + 0x2A1;
constexpr char QUERY_WINDOW_CLASS[] = "SWP_HOST_QUERY_EVENTS";

// ---------------------------------------------------------------------------------------------------
// Worker threads. A job never waits behind running ones: when no idle worker is there to take it,
// a new worker starts, up to QUERY_WORKERS_MAX; a worker left idle for QUERY_WORKER_IDLE_END ends.
// A job that has run for QUERY_LONG_JOB while more jobs run than there are processors lowers its
// worker's priority, so that fresh short searches win the processors over it (a job running
// alone keeps its priority against other programs); a worker whose priority cannot be raised
// again ends after that job.

// Every client has one job at most (a newer one cancels the older), so this many run at once
// only with as many clients searching; beyond it jobs wait their turn.
constexpr size_t QUERY_WORKERS_MAX = 32;
constexpr std::chrono::seconds QUERY_WORKER_IDLE_END{5};  // a worker costs nothing while idle; this spares restarts
constexpr std::chrono::milliseconds QUERY_LONG_JOB{20};   // a search has this long at full priority

struct WorkerPool {
    std::mutex lock;
    std::condition_variable wake;     // a job was queued, or the host stops
    std::condition_variable changed;  // a worker ended
    std::deque<std::shared_ptr<QueryJob>> jobs;
    std::vector<QueryJob*> running;  // valid while listed: a worker unlists its job before dropping it
    size_t workers = 0;              // threads started and not ended
    size_t idle = 0;                 // of those, waiting for a job
    bool stopping = false;
};

// Never destroyed: detached workers may still wait on it while the process exits.
WorkerPool& g_pool = *new WorkerPool;
std::atomic<void (*)(const std::atomic<bool>&)> g_job_start_hook{nullptr};
std::atomic<uint64_t> g_jobs_ended{0};
std::atomic<size_t> g_jobs_running{0};  // the length of g_pool.running, read without the lock
const size_t g_processors = std::max(1u, std::thread::hardware_concurrency());

// Live queries by address, so that a completion for a destroyed query is recognised.
std::mutex g_live_lock;
std::vector<SorrelwickDbQuery*> g_live;

bool query_is_live(SorrelwickDbQuery* query) {
    std::lock_guard<std::mutex> guard(g_live_lock);
    return std::find(g_live.begin(), g_live.end(), query) != g_live.end();
}

SearchRequest request_from(const QuerySearch& search) {
    SearchRequest request = query_request(search);
    for (const SearchCondition* condition : {&request.main, &request.filter})
        if (condition->invalid) debug_printf("swp-host: search: %s\n", condition->error.c_str());
    return request;
}

// Ends a job: a cancelled one with no results, since nobody may install what it got so far.
void job_finish(QueryJob& job, SharedResults results) {
    bool complete = results && !job.cancel.load();
    if (!complete) {
        auto none = std::make_shared<QueryResults>();
        none->view = index_view_copy(job.view);
        results = std::move(none);
    }
    {
        std::lock_guard<std::mutex> guard(job.shared->lock);
        job.results = std::move(results);
        job.complete = complete;
        job.done = true;
    }
    job.shared->finished.notify_all();
}

// Ends a job that no worker ran. Called under g_pool.lock.
void job_end_unrun(QueryJob& job) {
    job.cancel.store(true);
    job_finish(job, nullptr);
    g_jobs_ended.fetch_add(1);
}

void job_poll(void* context) {
    QueryJob& job = *static_cast<QueryJob*>(context);
    if (job.lowered || g_jobs_running.load(std::memory_order_relaxed) <= g_processors) return;
    if (std::chrono::steady_clock::now() - job.started < QUERY_LONG_JOB) return;
    job.lowered = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST) != FALSE;
}

// The job's list, sorted and cut to its limit, with the job's version; null when it stopped
// before the end.
std::unique_ptr<QueryResults> job_compute(QueryJob& job, const SearchPoll& poll) {
    if (job.search) return query_answer(job.view, *job.search, request_from(*job.search), poll);
    auto results = std::make_unique<QueryResults>();
    std::vector<uint32_t>& entries = results->entries;
    if (job.input) entries = job.input->entries;
    if (!result_sort(job.view, job.sort_property, job.sort_ascending, poll, &entries)) return nullptr;
    results->view = index_view_copy(job.view);
    return results;
}

void run_job(QueryJob& job) {
    if (auto hook = g_job_start_hook.load()) hook(job.cancel);
    job.started = std::chrono::steady_clock::now();
    SearchPoll poll{&job.cancel, job_poll, &job};
    SharedResults results;
    auto compute = [&] { return job_compute(job, poll); };
    if (search_poll_stop(poll)) {
        results = nullptr;
    } else if (job.search) {
        // A search's own sort and limit are part of it, so equal searches give equal lists.
        results = result_share_search(job.view, job.search, job.cancel, compute);
    } else {
        results = compute();
    }
    job_finish(job, std::move(results));
}

void post_completion(const std::shared_ptr<QueryJob>& job) {
    if (job->cancel.load()) return;
    auto* record = new std::shared_ptr<QueryJob>(job);  // owned by the message from here on
    if (!PostMessageW(job->window, QUERY_DONE_MESSAGE, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

// Takes jobs until the host stops or none comes for QUERY_WORKER_IDLE_END.
void worker_main() {
    std::unique_lock<std::mutex> guard(g_pool.lock);
    while (true) {
        ++g_pool.idle;
        bool woken = g_pool.wake.wait_for(guard, QUERY_WORKER_IDLE_END,
                                          [] { return g_pool.stopping || !g_pool.jobs.empty(); });
        --g_pool.idle;
        if (!woken || g_pool.stopping) break;
        std::shared_ptr<QueryJob> job = std::move(g_pool.jobs.front());
        g_pool.jobs.pop_front();
        g_pool.running.push_back(job.get());
        g_jobs_running.store(g_pool.running.size());
        guard.unlock();
        run_job(*job);
        post_completion(job);
        bool normal = !job->lowered || SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        guard.lock();
        std::erase(g_pool.running, job.get());
        g_jobs_running.store(g_pool.running.size());
        guard.unlock();
        job.reset();  // may release the last reference on a generation: outside the lock
        g_jobs_ended.fetch_add(1);
        guard.lock();
        if (!normal) break;
    }
    --g_pool.workers;
    g_pool.changed.notify_all();
}

// Called under g_pool.lock. False when no thread could be made.
bool start_worker() {
    try {
        std::thread(worker_main).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++g_pool.workers;
    return true;
}

void queue_job(const std::shared_ptr<QueryJob>& job) {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    if (g_pool.stopping) return job_end_unrun(*job);
    g_pool.jobs.push_back(job);
    bool worker_wanted = g_pool.jobs.size() > g_pool.idle && g_pool.workers < QUERY_WORKERS_MAX;
    if (worker_wanted && !start_worker() && g_pool.workers == 0) {
        // No thread to run it: it ends with no results, and its event still comes.
        g_pool.jobs.pop_back();
        job_finish(*job, nullptr);
        post_completion(job);
        g_jobs_ended.fetch_add(1);
        return;
    }
    g_pool.wake.notify_one();
}

// Raises the job's cancel flag; a job still in the queue ends at once.
void job_cancel(const std::shared_ptr<QueryJob>& job) {
    job->cancel.store(true);
    std::lock_guard<std::mutex> guard(g_pool.lock);
    auto queued = std::find(g_pool.jobs.begin(), g_pool.jobs.end(), job);
    if (queued == g_pool.jobs.end()) return;
    g_pool.jobs.erase(queued);
    job_end_unrun(*job);
}

// ---------------------------------------------------------------------------------------------------
// The owner thread's side.

void install_newest(SorrelwickDbQuery* query) {
    if (query->newest_installed || !query->newest) return;
    QueryJob& job = *query->newest;
    bool complete;
    {
        std::unique_lock<std::mutex> guard(query->shared->lock);
        query->shared->finished.wait(guard, [&] { return job.done; });
        query->results = job.results;
        complete = job.complete;
    }
    query->newest_installed = true;
    // Only a whole answer can follow the index; what a stopped job leaves stays as it is.
    query->held = complete ? result_follow_hold(job.answers, query->results) : nullptr;
}

// The held results as they follow the index now.
void take_followed(SorrelwickDbQuery* query) {
    if (!query->newest_installed || !query->held) return;
    SharedResults newest = result_follow_newest(*query->held);
    if (newest != query->results) query->results = std::move(newest);
}

void complete_job(const std::shared_ptr<QueryJob>& job) {
    SorrelwickDbQuery* query = job->owner;
    if (!query_is_live(query) || query->newest != job || job->event_raised) return;
    install_newest(query);
    job->event_raised = true;
    if (query->callback) query->callback(query->context, job->event);
}

LRESULT query_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != QUERY_DONE_MESSAGE) return DefWindowProcW(window, message, wparam, lparam);
    std::unique_ptr<std::shared_ptr<QueryJob>> record(reinterpret_cast<std::shared_ptr<QueryJob>*>(lparam));
    complete_job(*record);
    return 0;
}

// One message-only window per thread that creates queries; its procedure raises their events. A
// message-only window needs no desktop (under Wine, a top-level window needs a display).
HWND completion_window() {
    thread_local HWND window = nullptr;
    if (window && IsWindow(window)) return window;
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = query_window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = QUERY_WINDOW_CLASS;
    RegisterClassExA(&window_class);
    window = CreateWindowExA(0, QUERY_WINDOW_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    return window;
}

// A job on a version of the index: its own reference on `view`.
std::shared_ptr<QueryJob> new_job(SorrelwickDbQuery* query, IndexView view) {
    auto job = std::make_shared<QueryJob>();
    job->shared = query->shared;
    job->owner = query;
    job->window = query->window;
    job->view = view;
    return job;
}

// A new job supersedes the one in flight: only the newest raises an event.
void start_job(SorrelwickDbQuery* query, std::shared_ptr<QueryJob> job) {
    if (query->newest) job_cancel(query->newest);
    query->newest = job;
    query->newest_installed = false;
    queue_job(job);
}

}  // namespace

QueryResults::~QueryResults() { index_view_release(&view); }

SorrelwickDbQuery* query_create(DbQueryCallback callback, void* context) {
    auto* query = new SorrelwickDbQuery();
    query->callback = callback;
    query->context = context;
    query->window = completion_window();
    std::lock_guard<std::mutex> guard(g_live_lock);
    g_live.push_back(query);
    return query;
}

void query_destroy(SorrelwickDbQuery* query) {
    if (!query) return;
    {
        std::lock_guard<std::mutex> guard(g_live_lock);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), query), g_live.end());
    }
    if (query->newest) job_cancel(query->newest);
    delete query;
}

void query_search(SorrelwickDbQuery* query, const QuerySearch& search) {
    auto job = new_job(query, index_view_acquire());
    auto known = std::make_shared<QuerySearch>(search);
    if (!result_sort_knows(known->sort_property)) known->sort_property = PROPERTY_NAME;
    job->search = known;
    job->answers = known;
    job->sort_property = known->sort_property;
    job->sort_ascending = known->sort_ascending;
    job->event = DB_QUERY_EVENT_SEARCH_DONE;
    start_job(query, std::move(job));
}

void query_sort(SorrelwickDbQuery* query, int property, bool ascending) {
    const QueryJob* pending = query->newest_installed ? nullptr : query->newest.get();
    property = result_sort_knows(property) ? property : PROPERTY_NAME;
    // The search whose answer, in the new order, the sort makes.
    const QuerySearch* answering = pending ? pending->answers.get()
                                           : query->held ? result_follow_search(*query->held).get() : nullptr;
    std::shared_ptr<QuerySearch> answers;
    if (answering) {
        answers = std::make_shared<QuerySearch>(*answering);
        answers->sort_property = property;
        answers->sort_ascending = ascending;
    }
    std::shared_ptr<QueryJob> job;
    if (pending && pending->search) {
        // Sorting what a search still being made will give: the search runs again with the new order.
        job = new_job(query, index_view_acquire());
        job->search = answers;
    } else {
        // A sort still being made is superseded with its own input: nothing is waited for here.
        // The entries are sorted in the version they were found in (as they follow the index now).
        take_followed(query);
        std::shared_ptr<const QueryResults> input = pending ? pending->input : query->results;
        job = new_job(query, index_view_copy(input->view));
        job->input = std::move(input);
    }
    job->answers = std::move(answers);
    job->sort_property = property;
    job->sort_ascending = ascending;
    job->event = DB_QUERY_EVENT_SORT_DONE;
    start_job(query, std::move(job));
}

size_t query_result_count(SorrelwickDbQuery* query) {
    install_newest(query);
    take_followed(query);
    return query->results->entries.size();
}

uint32_t query_result_entry(SorrelwickDbQuery* query, size_t index) {
    install_newest(query);
    const std::vector<uint32_t>& entries = query->results->entries;
    return index < entries.size() ? entries[index] : INDEX_NO_ENTRY;
}

const IndexView& query_view(SorrelwickDbQuery* query) { return query->results->view; }

SearchRequest query_request(const QuerySearch& search) {
    SearchRequest request;
    request.main = search_compile(search.text, search.options);
    request.filter = search_compile(search.filter_text, search_options_from_filter_flags(search.filter_flags));
    request.include_files = search.include_files;
    request.include_folders = search.include_folders;
    request.nothing = search.hide_empty_search_results && search_text_is_blank(search.text);
    return request;
}

std::unique_ptr<QueryResults> query_answer(const IndexView& view, const QuerySearch& search,
                                           const SearchRequest& request, const SearchPoll& poll) {
    auto results = std::make_unique<QueryResults>();
    std::vector<uint32_t>& entries = results->entries;
    if (!search_run(view, request, poll, &entries)) return nullptr;
    if (!result_sort(view, search.sort_property, search.sort_ascending, poll, &entries)) return nullptr;
    uint32_t limit = search.max_results;
    if (limit != 0 && limit != 0xFFFFFFFF && entries.size() > limit) entries.resize(limit);
    results->view = index_view_copy(view);
    return results;
}

void query_workers_shutdown() {
    result_follow_shutdown();
    std::unique_lock<std::mutex> guard(g_pool.lock);
    g_pool.stopping = true;
    for (const std::shared_ptr<QueryJob>& job : g_pool.jobs) job_end_unrun(*job);
    g_pool.jobs.clear();
    for (QueryJob* job : g_pool.running) job->cancel.store(true);
    g_pool.wake.notify_all();
    g_pool.changed.wait(guard, [] { return g_pool.workers == 0; });
    g_pool.stopping = false;
}

void query_set_job_start_hook(void (*hook)(const std::atomic<bool>&)) { g_job_start_hook.store(hook); }

uint64_t query_jobs_ended() { return g_jobs_ended.load(); }

size_t query_workers_alive() {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    return g_pool.workers;
}


}  // namespace host
