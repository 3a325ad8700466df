// Reading a folder on Windows through FindFirstFileExW: names come as UTF-16 and are turned into
// UTF-8 here, so that a name longer than an "A" call's MAX_PATH bytes is still seen (and skipped
// when it is longer than an index name may be).
#include <algorithm>
#include <cwchar>

#include "host/error_words.h"
#include "host/index/folder_read.h"
#include "host/utf16_windows.h"

namespace host {
namespace {

// The UTF-16 units of a path in the \\?\ form, terminating zero not counted.
constexpr size_t PATH_LIMIT_UNITS = 32767;

// The \\?\ form of a folder's pattern: no MAX_PATH limit, names taken literally.
std::wstring folder_pattern(const std::string& folder) {
    std::wstring path = utf16_from_utf8(folder);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!path.starts_with(L"\\\\?\\"))
        path = path.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
    if (path.back() != L'\\') path.push_back(L'\\');
    return path + L"*";
}

// Room is left for the "\*" of a folder's own pattern, so that each folder indexed can be read.
bool path_units_fit(size_t folder_measure, size_t name_units) {
    return folder_measure + name_units + 2 <= PATH_LIMIT_UNITS;
}

bool is_dot_name(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Links (symbolic links, junctions, mount points) are neither indexed nor followed. Other reparse
// points, such as files kept in the cloud, are ordinary entries.
bool is_link(const WIN32_FIND_DATAW& data) {
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(data.dwReserved0);
}

}  // namespace

void folder_read(const std::string& folder, FolderRead* read) {
    read->nodes.clear();
    read->names.clear();
    read->skipped = 0;
    read->named_skips.clear();
    WIN32_FIND_DATAW data;
    std::wstring pattern = folder_pattern(folder);
    size_t measure = pattern.size() - 1, beyond_limit = 0;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) folder_read_skip(read, folder, "cannot be read: " + error_words(error));
        return;
    }
    do {
        if (is_dot_name(data.cFileName) || is_link(data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)) continue;
        std::string name = utf8_from_utf16(data.cFileName);
        if (!scan_name_is_indexable(name)) {
            folder_read_skip(read, folder + "/" + name,
                             name.size() > 255 ? "its name is longer than 255 bytes"
                                               : "its name holds a backslash, a carriage return or a line feed");
            continue;
        }
        if (!path_units_fit(measure, wcslen(data.cFileName))) {
            ++beyond_limit;
            continue;
        }
        uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        ScanNode node = scan_node_from(data.dwFileAttributes, size, data.ftCreationTime, data.ftLastWriteTime);
        node.name_offset = static_cast<uint32_t>(read->names.size());
        node.name_length = static_cast<uint8_t>(name.size());
        read->names.append(name);
        read->nodes.push_back(node);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    if (beyond_limit != 0) folder_read_skip_in(read, folder, beyond_limit, PATH_LIMIT_REASON);
}

const char PATH_LIMIT_REASON[] = "beyond the system's limit of 32,767 characters for a path";

size_t path_measure(std::string_view folder) { return folder_pattern(std::string(folder)).size() - 1; }

bool path_fits_below(size_t folder_measure, std::string_view name) {
    return path_units_fit(folder_measure, utf16_from_utf8(name).size());
}

bool folder_readable(const std::string& folder, std::string* reason) {
    WIN32_FIND_DATAW probe;
    HANDLE find = FindFirstFileExW(folder_pattern(folder).c_str(), FindExInfoBasic, &probe, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;  // an empty folder
    *reason = error_words(error);
    return false;
}

bool folder_times(const std::string& folder, FILETIME* created, FILETIME* modified) {
    WIN32_FILE_ATTRIBUTE_DATA facts;
    if (!GetFileAttributesExW(utf16_from_utf8(folder).c_str(), GetFileExInfoStandard, &facts)) return false;
    *created = facts.ftCreationTime;
    *modified = facts.ftLastWriteTime;
    return true;
}

}  // namespace host
