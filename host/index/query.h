// Query objects: a search or a sort runs on a worker thread; its completion is raised through the
// query's callback on the thread that created the query, from that thread's message queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/index/index_view.h"
#include "host/index/search_pattern.h"
#include "host/index/search_run.h"

namespace host {

struct QuerySearch {
    SearchOptions options;
    std::string text;
    uint32_t filter_flags = 0;
    std::string filter_text;
    bool hide_empty_search_results = false;
    bool include_files = true;
    bool include_folders = true;
    uint32_t max_results = 0xFFFFFFFF;  // 0 and 0xFFFFFFFF: no limit
    int sort_property = 0;
    bool sort_ascending = true;
    bool operator==(const QuerySearch&) const = default;
};

// What a search or sort found: entries of one version of the index, which they keep readable.
struct QueryResults {
    IndexView view;  // a reference of its own (empty while nothing was found)
    std::vector<uint32_t> entries;
    QueryResults() = default;
    QueryResults(const QueryResults&) = delete;
    QueryResults& operator=(const QueryResults&) = delete;
    ~QueryResults();
};

// The search compiled for matching (search_run.h).
SearchRequest query_request(const QuerySearch& search);
// The answer of a search on a view: what it finds, sorted and cut to its limit, with the view (a
// reference of its own). Null when the poll stopped it.
std::unique_ptr<QueryResults> query_answer(const IndexView& view, const QuerySearch& search,
                                           const SearchRequest& request, const SearchPoll& poll);

// A search takes the version of the index that is current when it starts; a sort keeps the
// version of the results it sorts. The results a query holds then follow the index
// (result_follow.h): each read of their count takes them as the index was a moment before.
SorrelwickDbQuery* query_create(DbQueryCallback callback, void* context);
// After it returns the callback is never called again for this query.
void query_destroy(SorrelwickDbQuery* query);
void query_search(SorrelwickDbQuery* query, const QuerySearch& search);
void query_sort(SorrelwickDbQuery* query, int property, bool ascending);

// The results of the newest search or sort (waiting for it when it still runs). Owner thread only.
// Reading the count takes the results as they follow the index now; the entries read after it
// come from those until the next count, so that one reply reads one version throughout.
size_t query_result_count(SorrelwickDbQuery* query);
uint32_t query_result_entry(SorrelwickDbQuery* query, size_t index);  // INDEX_NO_ENTRY when out of range
const IndexView& query_view(SorrelwickDbQuery* query);  // the version of those results

// Cancels every job, queued or running, and waits for the worker threads to end, which takes a
// few milliseconds whatever is searching; workers start again on demand.
void query_workers_shutdown();

// Tests: runs at the start of every job on its worker thread, with the job's cancel flag (null:
// nothing).
void query_set_job_start_hook(void (*hook)(const std::atomic<bool>& cancel));
// Jobs that have ended, finished or cancelled, since the process started.
uint64_t query_jobs_ended();
// Worker threads that have started and not ended.
size_t query_workers_alive();

}  // namespace host
