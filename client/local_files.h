// The download folder on this machine: where an FTP path is saved, its folders, and the files
// written through Win32 handles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/platform_api.h"

namespace client {

// DIR followed by the FTP path's names, each made safe for this system's file names; false with
// *error when a name cannot be one ("." or "..", which would leave DIR, or an empty path).
bool local_path_for(const std::string& folder, std::string_view ftp_path, std::string* local, std::string* error);

// Makes a name safe for this system's file names, in place; false when it cannot be.
bool local_name_fix(std::string* name);

// Makes the folder and every folder on the way to it.
bool local_folders_make(const std::string& path, std::string* error);

// The size of the file at `path`; false when there is none (a folder there sets *is_folder).
bool local_file_size(const std::string& path, uint64_t* size, bool* is_folder);

// Opens the file for writing: from `offset` (its present end) or created anew when offset is 0.
HANDLE local_file_open(const std::string& path, uint64_t offset, std::string* error);

bool local_file_write(HANDLE file, const char* data, size_t length, const std::string& path, std::string* error);

}  // namespace client
