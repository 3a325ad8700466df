// Reading a folder through FindFirstFileA, which never follows a symbolic link.
#include <cstring>

#include "host/error_words.h"
#include "host/index/folder_read.h"
#include "win32/find_files.h"

namespace host {
namespace {

// PATH_MAX: the bytes of a path with its terminating zero.
constexpr size_t PATH_LIMIT_BYTES = 4096;

bool is_dot_name(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

std::string folder_pattern(const std::string& folder) {
    std::string pattern = folder;
    if (pattern.empty() || pattern.back() != '/') pattern.push_back('/');
    pattern.push_back('*');
    return pattern;
}

}  // namespace

void folder_read(const std::string& folder, FolderRead* read) {
    read->nodes.clear();
    read->names.clear();
    read->skipped = 0;
    read->named_skips.clear();
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(folder_pattern(folder).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) folder_read_skip(read, folder, "cannot be read: " + error_words(error));
        return;
    }
    size_t measure = path_measure(folder), beyond_limit = 0;
    do {
        // Links are neither indexed nor followed; devices, pipes and sockets are not files to serve.
        if (is_dot_name(data.cFileName) || (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
            continue;
        size_t length = std::strlen(data.cFileName);
        std::string_view name(data.cFileName, length);
        if (!scan_name_is_indexable(name)) {
            folder_read_skip(read, folder + "/" + data.cFileName,
                             "its name holds a backslash, a carriage return or a line feed");
            continue;
        }
        if (!path_fits_below(measure, name)) {
            ++beyond_limit;
            continue;
        }
        uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        ScanNode node = scan_node_from(data.dwFileAttributes, size, data.ftCreationTime, data.ftLastWriteTime);
        node.name_offset = static_cast<uint32_t>(read->names.size());
        node.name_length = static_cast<uint8_t>(length);
        read->names.append(data.cFileName, length);
        read->nodes.push_back(node);
    } while (FindNextFileA(find, &data));
    read->skipped += FindSkippedCount(find);
    FindClose(find);
    if (beyond_limit != 0) folder_read_skip_in(read, folder, beyond_limit, PATH_LIMIT_REASON);
}

const char PATH_LIMIT_REASON[] = "beyond the system's limit of 4,096 bytes for a path";

size_t path_measure(std::string_view folder) { return folder.size() + (folder.ends_with('/') ? 0 : 1); }

bool path_fits_below(size_t folder_measure, std::string_view name) {
    return folder_measure + name.size() < PATH_LIMIT_BYTES;
}

bool folder_readable(const std::string& folder, std::string* reason) {
    WIN32_FIND_DATAA probe;
    HANDLE find = FindFirstFileA(folder_pattern(folder).c_str(), &probe);
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
    if (!GetFileAttributesExA(folder.c_str(), GetFileExInfoStandard, &facts)) return false;
    *created = facts.ftCreationTime;
    *modified = facts.ftLastWriteTime;
    return true;
}

}  // namespace host
