// The live line that a terminal shows while folders are read: entries so far, entries per second
// and the time since the start, at most ten times a second. A pipe or a file gets none of it,
// only the summary line that follows.
#pragma once

#include <chrono>
#include <cstddef>

namespace host {

struct ScanProgress {
    const char* doing = "indexing";  // the line's verb
    bool shown = false;              // stderr is a terminal
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point last;
};

void progress_start(ScanProgress* progress, const char* doing);
void progress_show(ScanProgress* progress, size_t entries);
// Clears the line, so that the summary takes its place.
void progress_end(ScanProgress* progress);
double progress_seconds(const ScanProgress& progress);

}  // namespace host
