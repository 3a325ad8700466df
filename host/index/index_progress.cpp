#include "host/index/index_progress.h"

#include <cstdio>

#include "host/debug.h"

namespace host {

using Clock = std::chrono::steady_clock;

constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(100);

void progress_start(ScanProgress* progress, const char* doing) {
    progress->doing = doing;
    progress->shown = debug_stderr_is_console();
    progress->started = progress->last = Clock::now();
}

void progress_show(ScanProgress* progress, size_t entries) {
    if (!progress->shown) return;
    Clock::time_point now = Clock::now();
    if (now - progress->last < PROGRESS_INTERVAL) return;
    progress->last = now;
    double seconds = progress_seconds(*progress);
    double rate = seconds > 0 ? static_cast<double>(entries) / seconds : 0;
    console_printf("\rswp-host: %s... %zu entries (%.0f/s, %.1f s)\x1b[K", progress->doing, entries, rate,
                   seconds);
}

void progress_end(ScanProgress* progress) {
    if (!progress->shown) return;
    console_printf("%s", "\r\x1b[K");
}

double progress_seconds(const ScanProgress& progress) {
    return std::chrono::duration<double>(Clock::now() - progress.started).count();
}

}  // namespace host
