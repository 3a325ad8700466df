// Reading one folder for the index scan: its entries and their facts, with links and names that no
// index path can carry left out. Each platform reads folders its own way (folder_read_posix.cpp,
// folder_read_windows.cpp).
#pragma once

#include <string>
#include <vector>

#include "host/index/index_scan.h"

namespace host {

// The entries of one folder; each node's name_offset points into `names`.
struct FolderRead {
    std::vector<ScanNode> nodes;
    std::string names;
    size_t skipped = 0;  // entries left out that the summary counts, and a folder that cannot be read
};

// Replaces what `read` holds with the entries of `folder`, a folder of this machine.
void folder_read(const std::string& folder, FolderRead* read);

}  // namespace host
