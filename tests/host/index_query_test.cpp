// Query objects through the services: events on the creating thread through its message queue,
// superseded searches, re-sorts, the result getters, and destroy while a search runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/index/query.h"
#include "host/index/result_share.h"
#include "tests/host/index_test_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

struct EventLog {
    std::vector<int> events;
    std::vector<std::thread::id> threads;
};

void record_event(void* context, int event) {
    auto* log = static_cast<EventLog*>(context);
    log->events.push_back(event);
    log->threads.push_back(std::this_thread::get_id());
}

// Dispatches this thread's messages until the condition holds or ten seconds have passed.
template <typename Condition>
bool pump_until(Condition condition) {
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    MSG message;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Dispatches what is queued now, and what arrives until the workers are idle.
void pump_until_idle(uint64_t jobs_started_before, uint64_t jobs) {
    pump_until([&] { return host::query_jobs_ended() >= jobs_started_before + jobs; });
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

int search(SorrelwickDbQuery* query, const char* text, int sort_property = 0, bool ascending = true,
           uint32_t match_regex = 0) {
    return host::db_query_search2(query, 0, 0, 0, 0, 0, 0, 0, 0, match_regex, 0, 1, 1, text, 0, "", "", 0, 0,
                                  0xFFFFFFFF, 1, host::property_get_builtin_type(sort_property), ascending ? 1 : 0,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
}

std::vector<std::string> result_names(SorrelwickDbQuery* query) {
    std::vector<std::string> names;
    ScopedBuf name;
    for (size_t i = 0; i < host::db_query_get_result_count(query); ++i) {
        host::db_query_get_result_name(query, i, name.get());
        names.push_back(name.text());
    }
    return names;
}

class IndexQuery : public ::testing::Test {
protected:
    void SetUp() override {
        make_music_tree(tree_);
        ASSERT_TRUE(tree_.build("tree", "share"));
        db_ = host::db_add_local_ref();
    }
    void TearDown() override {
        host::query_set_job_start_hook(nullptr);
        host::db_release(db_);
    }

    IndexTestTree tree_;
    SorrelwickDb* db_ = nullptr;
};

TEST(IndexProperties, KnownNumbersHaveDistinctHandles) {
    std::vector<const SorrelwickProperty*> seen;
    for (int number : {0, 1, 2, 3, 5, 6, 8, 9, 12}) {
        const SorrelwickProperty* property = host::property_get_builtin_type(number);
        ASSERT_NE(property, nullptr) << number;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), property), 0) << number;
        EXPECT_EQ(host::property_get_builtin_type(number), property);
        seen.push_back(property);
    }
    for (int number : {-1, 4, 7, 10, 11, 13, 1000}) EXPECT_EQ(host::property_get_builtin_type(number), nullptr);
}

TEST_F(IndexQuery, SearchDoneArrivesOnTheCreatingThread) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(search(query, "*.mp3"), 1);
    EXPECT_TRUE(log.events.empty());  // never during the call
    ASSERT_TRUE(pump_until([&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events, std::vector<int>{DB_QUERY_EVENT_SEARCH_DONE});
    EXPECT_EQ(log.threads[0], std::this_thread::get_id());
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"Café del Mar.mp3", "deep song.mp3"}));

    ScopedBuf text;
    host::db_query_get_result_path(query, 1, text.get());
    EXPECT_EQ(text.text(), "share\\Music\\sub");
    EXPECT_EQ(host::db_query_is_folder_result(query, 1), 0);
    IndexedFd fd;
    host::db_query_get_result_indexed_fd(query, 1, &fd);
    EXPECT_EQ(fd.size, 5u);
    host::db_query_get_result_file_list_filename(query, 1, text.get());
    EXPECT_EQ(text.text(), "");
    // Unchanged since the scan: when it appeared is not known.
    EXPECT_EQ(host::db_query_get_result_date_recently_changed(query, 1), INDEXED_UNKNOWN);
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, ATopLevelResultHasAnEmptyPath) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    search(query, "share");
    ASSERT_TRUE(pump_until([&] { return !log.events.empty(); }));
    ASSERT_EQ(host::db_query_get_result_count(query), 1u);
    ScopedBuf path;
    host::db_query_get_result_path(query, 0, path.get());
    EXPECT_EQ(path.text(), "");
    EXPECT_EQ(host::db_query_is_folder_result(query, 0), 1);
    // Out of range: empty text, unknown facts.
    host::db_query_get_result_name(query, 5, path.get());
    EXPECT_EQ(path.text(), "");
    IndexedFd fd;
    host::db_query_get_result_indexed_fd(query, 5, &fd);
    EXPECT_EQ(fd.size, INDEXED_UNKNOWN);
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, HideEmptySearchResultsLooksAtTheSearchTextAlone) {
    SorrelwickDbQuery* query = host::db_query_create(db_, nullptr, nullptr);
    auto count = [&](const char* text, const char* filter) {
        host::db_query_search2(query, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, text, 0, filter, "", 0, 0, 0xFFFFFFFF, 1,
                               host::property_get_builtin_type(0), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               1, 0);
        return host::db_query_get_result_count(query);
    };
    EXPECT_EQ(count("", ""), 0u);
    EXPECT_EQ(count(" \t ", ""), 0u);
    EXPECT_EQ(count("", "mp3"), 0u);  // a filter does not make the search text any less empty
    EXPECT_EQ(count("*", ""), 15u);   // terms that match every name are no empty text
    EXPECT_EQ(count("a|", ""), 15u);
    EXPECT_EQ(count("\"\"", ""), 15u);
    EXPECT_EQ(count("mp3", ""), 2u);   // an empty filter is no condition
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, ANewerSearchSupersedesTheOneInFlight) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    uint64_t before = host::query_jobs_ended();
    search(query, "*.mp3");
    search(query, "*.txt");
    search(query, "report", 2, false);
    pump_until_idle(before, 3);
    EXPECT_EQ(log.events, std::vector<int>{DB_QUERY_EVENT_SEARCH_DONE});
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"report-2024.pdf", "report 2024 final.txt"}));
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, SortReordersTheCurrentResultsAndRaisesSortDone) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    search(query, "*.txt|*.pdf");
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 1; }));
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"a.txt", "cafe.txt", "report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(host::db_query_sort(query, host::property_get_builtin_type(2), 0, 0, 0, 0, 0, 0, 0, 0, 0), 1);
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 2; }));
    EXPECT_EQ(log.events[1], DB_QUERY_EVENT_SORT_DONE);
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"report-2024.pdf", "a.txt", "cafe.txt", "report 2024 final.txt"}));
    host::db_query_sort(query, host::property_get_builtin_type(1), 1, 0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 3; }));
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"a.txt", "report 2024 final.txt", "report-2024.pdf", "cafe.txt"}));
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, ASortDuringASearchSortsThatSearch) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    uint64_t before = host::query_jobs_ended();
    search(query, "*.txt");
    host::db_query_sort(query, host::property_get_builtin_type(2), 0, 0, 0, 0, 0, 0, 0, 0, 0);
    pump_until_idle(before, 2);
    EXPECT_EQ(log.events, std::vector<int>{DB_QUERY_EVENT_SORT_DONE});
    EXPECT_EQ(result_names(query), (std::vector<std::string>{"a.txt", "cafe.txt", "report 2024 final.txt"}));
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, ResultsAreReadableBeforeTheEvent) {
    // A reader that does not wait for the event sees the newest search, not an older one.
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    search(query, "notes");
    EXPECT_EQ(result_names(query), std::vector<std::string>{"notes.md"});
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 1; }));
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, AnInvalidRegexGivesNoResultsAndAnEvent) {
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    search(query, "a(b", 0, true, 1);
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 1; }));
    EXPECT_EQ(host::db_query_get_result_count(query), 0u);
    host::db_query_destroy(query);
}

// A job held at the gate stands for a long search. The first g_gate_holds jobs wait there until
// it opens; later ones pass.
std::mutex g_gate_lock;
std::condition_variable g_gate_changed;
bool g_gate_open = false;
int g_jobs_waiting = 0;
int g_gate_holds = 0;

void wait_at_gate(const std::atomic<bool>&) {
    std::unique_lock<std::mutex> guard(g_gate_lock);
    if (g_jobs_waiting == g_gate_holds) return;
    ++g_jobs_waiting;
    g_gate_changed.notify_all();
    g_gate_changed.wait(guard, [] { return g_gate_open; });
}

void close_gate(int holds) {
    std::lock_guard<std::mutex> guard(g_gate_lock);
    g_gate_open = false;
    g_jobs_waiting = 0;
    g_gate_holds = holds;
    host::query_set_job_start_hook(wait_at_gate);
}

bool wait_for_held_jobs(int count) {
    std::unique_lock<std::mutex> guard(g_gate_lock);
    return g_gate_changed.wait_for(guard, std::chrono::seconds(10), [&] { return g_jobs_waiting == count; });
}

void open_gate() {
    {
        std::lock_guard<std::mutex> guard(g_gate_lock);
        g_gate_open = true;
    }
    g_gate_changed.notify_all();
}

TEST_F(IndexQuery, NoCallbackAfterDestroyEvenWhenTheWorkerWasRunning) {
    close_gate(1);
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    uint64_t before = host::query_jobs_ended();
    search(query, "");
    ASSERT_TRUE(wait_for_held_jobs(1));
    host::db_query_destroy(query);  // while its worker is inside the search
    open_gate();
    pump_until_idle(before, 1);
    EXPECT_TRUE(log.events.empty());

    // A query made afterwards, possibly at the same address, still gets its own event.
    EventLog second;
    query = host::db_query_create(db_, record_event, &second);
    search(query, "cafe");
    ASSERT_TRUE(pump_until([&] { return second.events.size() == 1; }));
    EXPECT_TRUE(log.events.empty());
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, SearchesThatRunLongDoNotHoldBackANewOne) {
    constexpr int HELD = 4;  // more than the processors of a usual machine
    close_gate(HELD);
    EventLog held_log, log;
    std::vector<SorrelwickDbQuery*> held;
    for (int i = 0; i < HELD; ++i) {
        held.push_back(host::db_query_create(db_, record_event, &held_log));
        search(held.back(), "");
    }
    ASSERT_TRUE(wait_for_held_jobs(HELD));
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    search(query, "cafe");
    bool answered = pump_until([&] { return log.events.size() == 1; });
    open_gate();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(held_log.events.empty());
    EXPECT_TRUE(pump_until([&] { return held_log.events.size() == HELD; }));
    for (SorrelwickDbQuery* held_query : held) host::db_query_destroy(held_query);
    host::db_query_destroy(query);
}

// A job that runs until it is cancelled stands for a search of any length.
std::atomic<int> g_endless_jobs{0};

void run_until_cancelled(const std::atomic<bool>& cancel) {
    ++g_endless_jobs;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!cancel.load() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(IndexQuery, ANewerSearchEndsTheRunningOne) {
    g_endless_jobs = 0;
    host::query_set_job_start_hook(run_until_cancelled);
    EventLog log;
    SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &log);
    uint64_t before = host::query_jobs_ended();
    search(query, "");
    ASSERT_TRUE(pump_until([] { return g_endless_jobs == 1; }));
    host::query_set_job_start_hook(nullptr);
    search(query, "notes");
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 1 && host::query_jobs_ended() == before + 2; }));
    EXPECT_EQ(result_names(query), std::vector<std::string>{"notes.md"});
    host::db_query_destroy(query);
}

TEST_F(IndexQuery, StoppingTheWorkersEndsRunningSearches) {
    g_endless_jobs = 0;
    host::query_set_job_start_hook(run_until_cancelled);
    EventLog log;
    std::vector<SorrelwickDbQuery*> queries;
    uint64_t before = host::query_jobs_ended();
    for (int i = 0; i < 3; ++i) {
        queries.push_back(host::db_query_create(db_, record_event, &log));
        search(queries.back(), "");
    }
    ASSERT_TRUE(pump_until([] { return g_endless_jobs == 3; }));
    host::query_workers_shutdown();
    EXPECT_EQ(host::query_workers_alive(), 0u);
    EXPECT_EQ(host::query_jobs_ended(), before + 3);
    pump_until_idle(before, 3);
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(host::db_query_get_result_count(queries[0]), 0u);
    // Workers start again for the next search.
    host::query_set_job_start_hook(nullptr);
    search(queries[0], "notes");
    ASSERT_TRUE(pump_until([&] { return log.events.size() == 1; }));
    EXPECT_EQ(result_names(queries[0]), std::vector<std::string>{"notes.md"});
    for (SorrelwickDbQuery* query : queries) host::db_query_destroy(query);
}

TEST_F(IndexQuery, QueriesOfTwoThreadsGetEventsOnTheirOwn) {
    EventLog main_log, other_log;
    std::thread::id other_id;
    SorrelwickDbQuery* main_query = host::db_query_create(db_, record_event, &main_log);
    std::thread other([&] {
        other_id = std::this_thread::get_id();
        SorrelwickDbQuery* query = host::db_query_create(db_, record_event, &other_log);
        search(query, "flac");
        pump_until([&] { return other_log.events.size() == 1; });
        host::db_query_destroy(query);
    });
    search(main_query, "doc");
    ASSERT_TRUE(pump_until([&] { return main_log.events.size() == 1; }));
    other.join();
    ASSERT_EQ(other_log.threads.size(), 1u);
    EXPECT_EQ(other_log.threads[0], other_id);
    EXPECT_EQ(main_log.threads[0], std::this_thread::get_id());
    host::db_query_destroy(main_query);
}

}  // namespace

// Equal searches of one version share one list while someone holds it; a search stopped before its
// end, another search text, or a list nobody holds any more, is made again.
TEST_F(IndexQuery, EqualSearchesShareOneListWhileItIsHeld) {
    host::IndexView view = host::index_view_acquire();
    auto search = std::make_shared<const host::QuerySearch>();
    auto other = std::make_shared<host::QuerySearch>();
    other->text = "mp3";
    std::atomic<bool> cancel{false};
    int made = 0;
    auto make = [&] {
        made++;
        auto list = std::make_unique<host::QueryResults>();
        list->entries = {1, 2, 3};
        list->view = host::index_view_copy(view);
        return list;
    };
    auto stopped = [&] {
        made++;
        return std::unique_ptr<host::QueryResults>();
    };
    EXPECT_EQ(host::result_share_search(view, search, cancel, stopped), nullptr);
    host::SharedResults first = host::result_share_search(view, search, cancel, make);
    host::SharedResults again = host::result_share_search(view, std::make_shared<host::QuerySearch>(), cancel, make);
    host::SharedResults different = host::result_share_search(view, other, cancel, make);
    EXPECT_EQ(made, 3);
    EXPECT_EQ(first.get(), again.get());
    EXPECT_NE(first.get(), different.get());
    long references = view.generation->references.load();
    first.reset();
    again.reset();
    different.reset();
    EXPECT_EQ(view.generation->references.load(), references - 2);  // the lists' own references went
    EXPECT_EQ(host::result_share_slots(), 0u);
    host::result_share_search(view, search, cancel, make);
    EXPECT_EQ(made, 4);
    host::index_view_release(&view);
}
