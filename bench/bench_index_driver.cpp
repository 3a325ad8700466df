// Times the host's index on one folder: the build, searches through the query services (worker
// thread and completion message included) and re-sorts of every entry. Prints one "key value"
// line per figure for bench_index.py.
//
//   swp_bench_index --index DIR [--repeat N] [--search TEXT] [--regex TEXT] [--sort NUMBER]...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "host/index/index.h"
#include "host/index/index_view.h"
#include "host/services.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_events = 0;

void count_event(void*, int) { ++g_events; }

// Waits in GetMessageW, which sleeps until a message comes, so that the waiting costs no processor
// time and the process's processor time is the search's.
bool pump_until_event(int events) {
    MSG message;
    while (g_events < events) {
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) return false;
        DispatchMessageW(&message);
    }
    return true;
}

void start_search(SorrelwickDbQuery* query, const std::string& text, bool regex) {
    host::db_query_search2(query, 0, 0, 0, 0, 0, 0, 0, 0, regex ? 1 : 0, 0, 1, 1, text.c_str(), 0, "", "", 0, 0,
                           0xFFFFFFFF, 1, host::property_get_builtin_type(0), 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 1, 0);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Processor time of the whole process (all threads), which a busy machine distorts less.
double cpu_ms() { return static_cast<double>(std::clock()) * 1000.0 / CLOCKS_PER_SEC; }

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

struct Step {
    enum Kind { SEARCH, REGEX, SORT } kind;
    std::string argument;
};

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    int repeat = 7;
    std::vector<Step> steps;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--index") folder = value;
        else if (option == "--repeat") repeat = std::max(1, std::atoi(value.c_str()));
        else if (option == "--search") steps.push_back({Step::SEARCH, value});
        else if (option == "--regex") steps.push_back({Step::REGEX, value});
        else if (option == "--sort") steps.push_back({Step::SORT, value});
    }
    if (folder.empty()) {
        std::fprintf(stderr, "usage: swp_bench_index --index DIR [--repeat N] [--search TEXT] [--regex TEXT] [--sort N]\n");
        return 2;
    }
    Clock::time_point started = Clock::now();
    double cpu_started = cpu_ms();
    std::string error;
    if (!host::index_build({{folder, "tree"}}, {}, &error)) {
        std::fprintf(stderr, "swp_bench_index: %s\n", error.c_str());
        return 1;
    }
    std::printf("build_seconds %.3f\n", elapsed_ms(started) / 1000);
    std::printf("build_cpu_seconds %.3f\n", (cpu_ms() - cpu_started) / 1000);
    host::IndexView view = host::index_view_acquire();
    host::IndexMemory memory = host::index_memory(host::view_base(view));
    size_t entries = host::view_base(view).entries.size();
    std::printf("entries %zu\n", entries);
    std::printf("bytes_per_entry_beyond_names %.1f\n",
                entries ? static_cast<double>(memory.total - memory.names) / entries : 0.0);
    std::printf("name_bytes_per_entry %.1f\n", entries ? static_cast<double>(memory.names) / entries : 0.0);
    host::index_view_release(&view);

    SorrelwickDb* db = host::db_add_local_ref();
    SorrelwickDbQuery* query = host::db_query_create(db, count_event, nullptr);
    for (size_t index = 0; index < steps.size(); ++index) {
        const Step& step = steps[index];
        std::vector<double> times, cpu_times;
        size_t results = 0;
        for (int round = 0; round < repeat; ++round) {
            if (step.kind == Step::SORT) {
                // Every entry, in name order, then the timed re-sort.
                start_search(query, "", false);
                if (!pump_until_event(g_events + 1)) return 1;
            } else {
                // A query of its own for each run: the previous run's list, still held, would be
                // shared with an equal search instead of searched again.
                host::db_query_destroy(query);
                query = host::db_query_create(db, count_event, nullptr);
            }
            Clock::time_point at = Clock::now();
            double cpu_at = cpu_ms();
            if (step.kind == Step::SORT)
                host::db_query_sort(query, host::property_get_builtin_type(std::atoi(step.argument.c_str())), 1, 0, 0,
                                    0, 0, 0, 0, 0, 0);
            else
                start_search(query, step.argument, step.kind == Step::REGEX);
            if (!pump_until_event(g_events + 1)) return 1;
            times.push_back(elapsed_ms(at));
            cpu_times.push_back(cpu_ms() - cpu_at);
            results = host::db_query_get_result_count(query);
        }
        std::printf("step %zu median_ms %.2f results %zu cpu_ms %.2f\n", index, median(times), results,
                    median(cpu_times));
    }
    host::db_query_destroy(query);
    host::db_release(db);
    host::index_shutdown();
    return 0;
}
