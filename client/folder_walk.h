// The tree below a folder, read with MLSD one folder at a time, for --get -R.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/download.h"

namespace client {

// A folder result: its local folder, and with `recursive` everything below it.
DownloadOutcome download_folder(DownloadState* state, const std::string& ftp_path);

// One line of an MLSD listing: "type=file;modify=...;size=N; NAME".
struct ListedEntry {
    std::string name;
    bool is_folder = false;
    uint64_t size;  // UNKNOWN_VALUE when the line has no size
};

// False for a line that names no entry of the folder (no facts, ".", "..", a name with a "/").
bool mlsd_line_parse(std::string_view line, ListedEntry* entry);

}  // namespace client
