// The "A" calls take UTF-8 here: the program carries a UTF-8 code-page manifest.
#include "host/index/disk_beneath.h"

namespace host {

HANDLE disk_find_first_beneath(const std::string& root_folder, const std::string& relative_pattern,
                               WIN32_FIND_DATAA* data) {
    // Each folder on the way, the root included, must be a folder of its own, not a reparse point
    // that leads elsewhere.
    std::string path = root_folder;
    size_t at = 0;
    for (;;) {
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return INVALID_HANDLE_VALUE;
        }
        size_t slash = relative_pattern.find('/', at);
        if (slash == std::string::npos) break;
        path += '\\';
        path.append(relative_pattern, at, slash - at);
        at = slash + 1;
    }
    path += '\\';
    path.append(relative_pattern, at, std::string::npos);
    return FindFirstFileA(path.c_str(), data);
}

DWORD disk_find_skipped(HANDLE) { return 0; }

DWORD disk_unwatched_folders(HANDLE, char* paths, DWORD size, DWORD* unwatched_folders) {
    if (size != 0) paths[0] = '\0';
    if (unwatched_folders) *unwatched_folders = 0;
    return 0;
}

}  // namespace host
