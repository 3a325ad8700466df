// The saved index: a base written on a clean stop and read at the next start, so that swp-host
// serves at once and only brings it up to date with the disk.
//
// The file is the base's arrays one after the other, behind a header with the format number, the
// entry record's size and a checksum of everything after it. It is written to a temporary file
// beside it and renamed over it, readable by its owner only (it lists the served folders).
#pragma once

#include <string>
#include <vector>

#include "host/index/index_store.h"

namespace host {

// False with the reason in *error.
bool index_file_write(const std::string& path, const IndexSnapshot& base, std::string* error);

// The base saved at `path` when it is whole, of this format, and of exactly these root folders
// (folders and names, in order) and folder-size option. Null otherwise, with the reason in *error
// (empty when there is no such file).
IndexSnapshot* index_file_read(const std::string& path, const std::vector<IndexRootFolder>& roots,
                               const std::vector<std::string>& root_names, bool folder_sizes, std::string* error);

}  // namespace host
