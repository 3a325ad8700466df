// The updater: the one thread that writes the live index. It watches the roots, makes the first
// index (a scan, or the saved index brought up to date), then applies every change the watch
// reports, reads folders again on request, after lost changes and where the system's limit
// leaves folders unwatched, folds the overlay into a new base when it grows, and saves the index
// when the host stops.
#pragma once

#include <string>
#include <vector>

#include "host/index/index_scan.h"

namespace host {

struct UpdaterStart {
    std::vector<IndexRootFolder> roots;  // as the current generation's base has them
    bool scan = true;                    // make the index by a scan (else: bring the current one up to date)
    ScanState root_scan;                 // for a scan: the roots' own nodes
    bool folder_sizes = true;
    std::string saved_index;             // written at the stop; empty: none
};

// The current generation must be set (the saved index, or the roots alone).
void updater_start(UpdaterStart start);
void updater_request_rescan();
// Stops the thread: a running fold is abandoned, and the index saved when it is complete.
void updater_stop();

// Tests: makes folds start at this many overlay records (0: the usual share of the base), and runs
// `hook` (null: nothing) on the fold's thread as each fold begins.
void updater_set_fold_threshold(size_t records);
void updater_set_fold_hook(void (*hook)());
// Tests: the number of generations the updater has made (a fold makes one).
size_t updater_generations_made();
// Tests: whether the host has asked the updater to stop.
bool updater_stop_requested();

}  // namespace host
