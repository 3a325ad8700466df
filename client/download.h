// --get: each result saved under the download folder, a file with RETR (resumed with REST from
// the end of a partial file, checked against its size), a folder made, and with -R everything
// below a folder too.
#pragma once

#include <cstdint>
#include <string>

#include "client/control_connection.h"
#include "client/progress_bar.h"

namespace client {

struct DownloadState {
    Connection* control = nullptr;
    std::string folder;       // the download folder
    bool recursive = false;
    Progress progress;
    bool binary_set = false;  // TYPE I sent
    std::string made_folder;  // the last folder known to exist, so that its files need no check
    uint64_t failures = 0;
};

enum class DownloadOutcome {
    DONE,
    FAILED,  // this entry failed (reported); the others may go on
    LOST,    // the control connection failed (reported): nothing more can be done
};

// `size`: the size the result gave, or UNKNOWN_VALUE.
DownloadOutcome download_file(DownloadState* state, const std::string& ftp_path, uint64_t size);
// The failure of one entry, on stderr, with the progress line taken off first.
void download_report(DownloadState* state, const std::string& ftp_path, const std::string& why);

// Makes the local folder of a path that local_path_for gave (its parent when `is_file`).
bool download_folder_ready(DownloadState* state, const std::string& local, bool is_file, std::string* error);

}  // namespace client
