// The host's index of the folders it serves: made by a scan (or read from the saved index), then
// kept up to date with the disk while swp-host runs, and read through views of its versions
// (index_view.h) by every lookup and query.
#pragma once

#include <string>
#include <vector>

namespace host {

struct IndexRoot {
    std::string folder;  // a folder of this machine
    std::string name;    // its top-level entry name in the index
};

struct IndexOptions {
    bool folder_sizes = true;  // keep the sum of the sizes below each folder
};

// Scans the roots and makes the result the current index, which then stays as it is. On failure
// (two roots with one name, a root that is not a folder) returns false with a message for the user.
bool index_build(const std::vector<IndexRoot>& roots, const IndexOptions& options, std::string* error);

// Starts the live index. Checks the roots (false with a message on failure, as index_build), then
// makes current the saved index at `saved_index` when it is one of these roots (empty path: none;
// while another run holds that file, none either, and the console says so),
// else an index of the roots alone, and returns at once: a thread of its own then watches the
// folders, scans them (or brings the saved index up to date) and follows every change.
bool index_start(const std::vector<IndexRoot>& roots, const IndexOptions& options, const std::string& saved_index,
                 std::string* error);

// Reads every indexed folder again and applies what differs. Any thread; returns at once.
void index_rescan_request();

// Stops following changes, writes the saved index when index_start() named one and the index is
// complete, waits for every query worker and drops the index; the process is about to end.
void index_shutdown();

}  // namespace host
