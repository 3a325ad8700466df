// Opening a file below its folder on Windows. Every folder on the way from the volume is opened in
// turn without following reparse points, and held open without delete sharing so that it cannot be
// renamed or replaced by a link while the walk goes on; a folder or file that is a link (a reparse
// point whose tag is a name surrogate: symbolic links, junctions, mount points) ends the walk.
#include <algorithm>
#include <string_view>
#include <vector>

#include "host/file_beneath.h"
#include "host/utf16_windows.h"

namespace host {
namespace {

// The \\?\ form takes names literally (no device names such as CON, no trimming of trailing dots
// and blanks) and has no MAX_PATH limit.
std::wstring literal_path(const std::string& folder) {
    std::wstring path = utf16_from_utf8(folder);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

// A name that stays one entry of its folder: no separator, no stream (":"), not "." or "..".
bool is_plain_name(std::wstring_view name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring_view::npos;
}

bool attributes_of(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO* info) {
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, info, sizeof *info) != FALSE;
}

bool is_link(const FILE_ATTRIBUTE_TAG_INFO& info) {
    return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(info.ReparseTag);
}

// The folders held open during one walk, closed on every way out.
struct HeldFolders {
    std::vector<HANDLE> handles;
    ~HeldFolders() {
        for (HANDLE handle : handles) CloseHandle(handle);
    }
};

// Opens and holds one folder of the walk; false when it is missing, a link or no folder.
bool hold_folder(const std::wstring& path, DWORD reparse_flag, HeldFolders* held) {
    HANDLE folder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | reparse_flag, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    held->handles.push_back(folder);
    FILE_ATTRIBUTE_TAG_INFO info;
    return attributes_of(folder, &info) && !is_link(info) && (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> split_names(const std::string& relative_path) {
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start <= relative_path.size()) {
        size_t end = std::min(relative_path.find('\\', start), relative_path.size());
        names.push_back(utf16_from_utf8(std::string_view(relative_path).substr(start, end - start)));
        start = end + 1;
    }
    return names;
}

}  // namespace

HANDLE file_open_beneath(const std::string& root_folder, const std::string& relative_path) {
    std::vector<std::wstring> names = split_names(relative_path);
    if (!std::all_of(names.begin(), names.end(), is_plain_name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HeldFolders held;
    std::wstring root = literal_path(root_folder);
    // The indexed folder's path was resolved when it was indexed: a link put in place of it, or of a
    // folder on the way to it, since then is not followed either. The walk starts at the volume.
    size_t volume_end = root.starts_with(L"\\\\?\\UNC\\") ? root.find(L'\\', root.find(L'\\', 8) + 1)
                                                           : root.find(L'\\', 4);
    if (volume_end == std::wstring::npos) volume_end = root.size();
    std::wstring path = root.substr(0, volume_end);
    if (!hold_folder(path + L'\\', 0, &held)) return INVALID_HANDLE_VALUE;
    for (size_t start = volume_end + 1; start < root.size();) {
        size_t end = std::min(root.find(L'\\', start), root.size());
        if (end > start) {
            path += L'\\' + root.substr(start, end - start);
            if (!hold_folder(path, FILE_FLAG_OPEN_REPARSE_POINT, &held)) return INVALID_HANDLE_VALUE;
        }
        start = end + 1;
    }
    for (size_t index = 0; index + 1 < names.size(); ++index) {
        path += L'\\' + names[index];
        if (!hold_folder(path, FILE_FLAG_OPEN_REPARSE_POINT, &held)) return INVALID_HANDLE_VALUE;
    }
    path += L'\\' + names.back();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    // Only regular files on a disk: a link, a folder or a device is refused.
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!attributes_of(file, &info) || is_link(info) || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace host
