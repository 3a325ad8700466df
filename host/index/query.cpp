// Threads meet here. A job is immutable once queued, except for its `cancel` flag and, under
// QueryShared::lock, its `results` and `done`. The worker never touches the query: it hands the
// finished job back by posting it to the creating thread's completion window, and only that
// thread installs results and calls the callback, after checking that the query still exists
// and that the job is still its newest.
#include "host/index/query.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/index/index.h"
#include "host/index/result_sort.h"
#include "host/index/search_run.h"
#include "host/services.h"

namespace host {

struct QueryShared;

struct QueryJob {
    std::shared_ptr<QueryShared> shared;
    SorrelwickDbQuery* owner = nullptr;  // compared by address on the owner thread, never followed elsewhere
    HWND window = nullptr;               // the owner thread's completion window
    IndexSnapshot* snapshot = nullptr;   // a reference of its own
    std::shared_ptr<const QuerySearch> search;  // null: sort `input` only
    std::shared_ptr<const std::vector<uint32_t>> input;
    int sort_property = 0;
    bool sort_ascending = true;
    int event = DB_QUERY_EVENT_SEARCH_DONE;
    std::atomic<bool> cancel{false};
    bool done = false;                                     // guarded by shared->lock
    std::shared_ptr<const std::vector<uint32_t>> results;  // guarded by shared->lock
    bool event_raised = false;                             // owner thread only

    ~QueryJob() { index_snapshot_release(snapshot); }
};

struct QueryShared {
    std::mutex lock;
    std::condition_variable finished;
};

}  // namespace host

struct SorrelwickDbQuery {
    std::shared_ptr<host::QueryShared> shared = std::make_shared<host::QueryShared>();
    host::IndexSnapshot* snapshot = nullptr;
    DbQueryCallback callback = nullptr;
    void* context = nullptr;
    HWND window = nullptr;
    // Owner thread only:
    std::shared_ptr<const std::vector<uint32_t>> results = std::make_shared<std::vector<uint32_t>>();
    std::shared_ptr<host::QueryJob> newest;
    bool newest_installed = true;
};

namespace host {
namespace {

constexpr UINT QUERY_DONE_MESSAGE = WM_USER + 0x2A1;
constexpr char QUERY_WINDOW_CLASS[] = "SWP_HOST_QUERY_EVENTS";

// ---------------------------------------------------------------------------------------------------
// Worker threads.

struct WorkerPool {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::shared_ptr<QueryJob>> jobs;
    std::vector<std::thread> threads;
    bool stopping = false;
};

WorkerPool g_pool;
std::atomic<void (*)()> g_job_start_hook{nullptr};
std::atomic<uint64_t> g_jobs_ended{0};

// Live queries by address, so that a completion for a destroyed query is recognised.
std::mutex g_live_lock;
std::vector<SorrelwickDbQuery*> g_live;

bool query_is_live(SorrelwickDbQuery* query) {
    std::lock_guard<std::mutex> guard(g_live_lock);
    return std::find(g_live.begin(), g_live.end(), query) != g_live.end();
}

SearchRequest request_from(const QuerySearch& search) {
    SearchRequest request;
    request.main = search_compile(search.text, search.options);
    request.filter = search_compile(search.filter_text, search_options_from_filter_flags(search.filter_flags));
    request.include_files = search.include_files;
    request.include_folders = search.include_folders;
    request.nothing = search.hide_empty_search_results && request.main.match_all && !request.main.invalid;
    for (const SearchCondition* condition : {&request.main, &request.filter})
        if (condition->invalid)
            debug_printf("swp-host: search: regular expression rejected: %s\n", condition->error.c_str());
    return request;
}

void run_job(QueryJob& job) {
    if (auto hook = g_job_start_hook.load()) hook();
    auto results = std::make_shared<std::vector<uint32_t>>();
    bool complete = true;
    if (job.search) {
        SearchRequest request = request_from(*job.search);
        complete = search_run(*job.snapshot, request, &job.cancel, results.get());
    } else if (job.input) {
        *results = *job.input;
    }
    if (complete)
        result_sort(*job.snapshot, job.sort_property, job.sort_ascending, &job.cancel, results.get());
    uint32_t limit = job.search ? job.search->max_results : 0;
    if (limit != 0 && limit != 0xFFFFFFFF && results->size() > limit) results->resize(limit);
    {
        std::lock_guard<std::mutex> guard(job.shared->lock);
        job.results = std::move(results);
        job.done = true;
    }
    job.shared->finished.notify_all();
}

void post_completion(const std::shared_ptr<QueryJob>& job) {
    if (job->cancel.load()) return;
    auto* record = new std::shared_ptr<QueryJob>(job);  // owned by the message from here on
    if (!PostMessageW(job->window, QUERY_DONE_MESSAGE, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

void worker_main() {
    while (true) {
        std::shared_ptr<QueryJob> job;
        {
            std::unique_lock<std::mutex> guard(g_pool.lock);
            g_pool.wake.wait(guard, [] { return g_pool.stopping || !g_pool.jobs.empty(); });
            if (g_pool.stopping) return;
            job = std::move(g_pool.jobs.front());
            g_pool.jobs.pop_front();
        }
        if (!job->cancel.load()) {
            run_job(*job);
            post_completion(job);
        } else {
            std::lock_guard<std::mutex> guard(job->shared->lock);
            job->done = true;
            job->results = std::make_shared<std::vector<uint32_t>>();
        }
        job->shared->finished.notify_all();
        job.reset();
        g_jobs_ended.fetch_add(1);
    }
}

void queue_job(std::shared_ptr<QueryJob> job) {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    if (g_pool.threads.empty()) {
        g_pool.stopping = false;
        unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
        for (unsigned i = 0; i < count; ++i) g_pool.threads.emplace_back(worker_main);
    }
    g_pool.jobs.push_back(std::move(job));
    g_pool.wake.notify_one();
}

// ---------------------------------------------------------------------------------------------------
// The owner thread's side.

void install_newest(SorrelwickDbQuery* query) {
    if (query->newest_installed || !query->newest) return;
    QueryJob& job = *query->newest;
    std::unique_lock<std::mutex> guard(query->shared->lock);
    query->shared->finished.wait(guard, [&] { return job.done; });
    query->results = job.results;
    query->newest_installed = true;
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

std::shared_ptr<QueryJob> new_job(SorrelwickDbQuery* query) {
    auto job = std::make_shared<QueryJob>();
    job->shared = query->shared;
    job->owner = query;
    job->window = query->window;
    job->snapshot = query->snapshot;
    index_snapshot_acquire(job->snapshot);
    return job;
}

// A new job supersedes the one in flight: only the newest raises an event.
void start_job(SorrelwickDbQuery* query, std::shared_ptr<QueryJob> job) {
    if (query->newest) query->newest->cancel.store(true);
    query->newest = job;
    query->newest_installed = false;
    queue_job(std::move(job));
}

}  // namespace

SorrelwickDbQuery* query_create(IndexSnapshot* snapshot, DbQueryCallback callback, void* context) {
    auto* query = new SorrelwickDbQuery();
    query->snapshot = snapshot ? snapshot : index_snapshot_acquire_current();
    if (snapshot) index_snapshot_acquire(snapshot);
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
    if (query->newest) query->newest->cancel.store(true);
    index_snapshot_release(query->snapshot);
    delete query;
}

void query_search(SorrelwickDbQuery* query, const QuerySearch& search) {
    auto job = new_job(query);
    job->search = std::make_shared<const QuerySearch>(search);
    job->sort_property = result_sort_knows(search.sort_property) ? search.sort_property : 0;
    job->sort_ascending = search.sort_ascending;
    job->event = DB_QUERY_EVENT_SEARCH_DONE;
    start_job(query, std::move(job));
}

void query_sort(SorrelwickDbQuery* query, int property, bool ascending) {
    auto job = new_job(query);
    // Sorting what a search still being made will give: the search runs again with the new order.
    if (query->newest && !query->newest_installed && query->newest->search) {
        auto search = std::make_shared<QuerySearch>(*query->newest->search);
        search->sort_property = property;
        search->sort_ascending = ascending;
        job->search = std::move(search);
    } else {
        install_newest(query);
        job->input = query->results;
    }
    job->sort_property = result_sort_knows(property) ? property : 0;
    job->sort_ascending = ascending;
    job->event = DB_QUERY_EVENT_SORT_DONE;
    start_job(query, std::move(job));
}

size_t query_result_count(SorrelwickDbQuery* query) {
    install_newest(query);
    return query->results->size();
}

uint32_t query_result_entry(SorrelwickDbQuery* query, size_t index) {
    install_newest(query);
    return index < query->results->size() ? (*query->results)[index] : INDEX_NO_ENTRY;
}

const IndexSnapshot& query_snapshot(SorrelwickDbQuery* query) { return *query->snapshot; }

void query_workers_shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(g_pool.lock);
        for (auto& job : g_pool.jobs) job->cancel.store(true);
        g_pool.stopping = true;
        threads.swap(g_pool.threads);
    }
    g_pool.wake.notify_all();
    for (std::thread& thread : threads) thread.join();
    std::lock_guard<std::mutex> guard(g_pool.lock);
    for (auto& job : g_pool.jobs) {
        std::lock_guard<std::mutex> job_guard(job->shared->lock);
        job->done = true;
        job->results = std::make_shared<std::vector<uint32_t>>();
    }
    g_pool.jobs.clear();
}

void query_set_job_start_hook(void (*hook)()) { g_job_start_hook.store(hook); }

uint64_t query_jobs_ended() { return g_jobs_ended.load(); }

void index_shutdown() {
    query_workers_shutdown();
    index_snapshot_set_current(nullptr);
}

}  // namespace host
