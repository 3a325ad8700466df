// Reading one folder for the index scan: its entries and their facts, with links and names that no
// index path can carry left out. Each platform reads folders its own way (folder_read_posix.cpp,
// folder_read_windows.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/index/index_scan.h"

namespace host {

// The entries of one folder; each node's name_offset points into `names`.
struct FolderRead {
    std::vector<ScanNode> nodes;
    std::string names;
    size_t skipped = 0;  // entries left out that the summary counts, and a folder that cannot be read
    std::vector<ScanSkip> named_skips;  // the first SCAN_NAMED_SKIPS of them
};

// Replaces what `read` holds with the entries of `folder`, a folder of this machine.
void folder_read(const std::string& folder, FolderRead* read);

// Counts a skipped entry and names it while fewer than SCAN_NAMED_SKIPS are named.
void folder_read_skip(FolderRead* read, const std::string& path, std::string reason);
// Counts `entries` entries of a folder skipped for one reason, named once as the folder's.
void folder_read_skip_in(FolderRead* read, const std::string& folder, size_t entries, std::string reason);

// The longest path the system can name: a folder's path and the separator after it, measured as
// the limit counts (bytes; on Windows UTF-16 units of its \\?\ form), and whether the path of an
// entry of that name in it is within the limit.
size_t path_measure(std::string_view folder);
bool path_fits_below(size_t folder_measure, std::string_view name);
// Why what lies beyond the limit is skipped, in words.
extern const char PATH_LIMIT_REASON[];

// Whether `folder` can be listed; otherwise *reason says why, in words.
bool folder_readable(const std::string& folder, std::string* reason);

// The creation (birth, where the system records one) and modification times of `folder`.
bool folder_times(const std::string& folder, FILETIME* created, FILETIME* modified);

}  // namespace host
