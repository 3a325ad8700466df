// The progress line of --get on a terminal: files, bytes and rate, redrawn at most ten times a
// second on stderr. Nothing is drawn when stderr is not a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace client {

struct Progress {
    bool shown = false;
    uint64_t files_expected = 0;  // 0: not known (folders are walked)
    uint64_t files_done = 0;
    uint64_t bytes = 0;
    uint64_t started_ms = 0;
    uint64_t drawn_ms = 0;
    size_t drawn_length = 0;  // of the line now on the terminal, 0 when none is
};

void progress_start(Progress* progress, bool shown);
void progress_add_bytes(Progress* progress, uint64_t bytes);
void progress_file_done(Progress* progress);
// Takes the line off the terminal, before other output goes there.
void progress_clear(Progress* progress);
// Draws the last state and ends its line.
void progress_finish(Progress* progress);

}  // namespace client
