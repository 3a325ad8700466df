// The host's index: built once at start from the folders it is given, then shared as an
// immutable snapshot by every lookup and query.
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

// Scans the roots and makes the result the current index. On failure (two roots with one name,
// a root that is not a folder) returns false with a message for the user in *error.
bool index_build(const std::vector<IndexRoot>& roots, const IndexOptions& options, std::string* error);

// Waits for every query worker and drops the current index; the process is about to end.
void index_shutdown();

}  // namespace host
