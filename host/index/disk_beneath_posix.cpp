#include "host/index/disk_beneath.h"

#include "win32/directory_changes.h"

namespace host {

HANDLE disk_find_first_beneath(const std::string& root_folder, const std::string& relative_pattern,
                               WIN32_FIND_DATAA* data) {
    return FindFirstFileBeneathA(root_folder.c_str(), relative_pattern.c_str(), data);
}

DWORD disk_find_skipped(HANDLE find) { return FindSkippedCount(find); }

DWORD disk_unwatched_folders(HANDLE directory, char* paths, DWORD size, DWORD* unwatched_folders) {
    return GetUnwatchedFoldersA(directory, paths, size, unwatched_folders);
}

}  // namespace host
