#include "client/local_files.h"

#include "host/error_words.h"

namespace client {
namespace {

bool fail(const std::string& what, const std::string& path, DWORD error_code, std::string* error) {
    *error = "cannot " + what + " " + path + ": " + host::error_words(error_code);
    return false;
}

bool folder_exists(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA facts;
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &facts) &&
           (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool local_path_for(const std::string& folder, std::string_view ftp_path, std::string* local, std::string* error) {
    *local = folder;
    bool any = false;
    size_t start = 0;
    while (start <= ftp_path.size()) {
        size_t end = ftp_path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = ftp_path.size();
        std::string name(ftp_path.substr(start, end - start));
        start = end + 1;
        if (name.empty()) continue;
        if (!local_name_fix(&name)) {
            *error = "the server's path " + std::string(ftp_path) + " holds a name that cannot be saved here";
            return false;
        }
        if (local->empty() || (local->back() != '/' && local->back() != '\\')) local->push_back('/');
        local->append(name);
        any = true;
    }
    if (!any) *error = "the server's path " + std::string(ftp_path) + " names no file";
    return any;
}

bool local_folders_make(const std::string& path, std::string* error) {
    if (path.empty() || folder_exists(path)) return true;
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0 && !local_folders_make(path.substr(0, slash), error)) return false;
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS && folder_exists(path)) return true;
    return fail("make the folder", path, code, error);
}

bool local_file_size(const std::string& path, uint64_t* size, bool* is_folder) {
    WIN32_FILE_ATTRIBUTE_DATA facts;
    *is_folder = false;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &facts)) return false;
    *is_folder = (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *size = (static_cast<uint64_t>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow;
    return !*is_folder;
}

HANDLE local_file_open(const std::string& path, uint64_t offset, std::string* error) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              offset == 0 ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail("write", path, GetLastError(), error);
        return file;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (offset != 0 && !SetFilePointerEx(file, distance, nullptr, FILE_BEGIN)) {
        fail("resume", path, GetLastError(), error);
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool local_file_write(HANDLE file, const char* data, size_t length, const std::string& path, std::string* error) {
    DWORD written = 0;
    if (WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) && written == length) return true;
    return fail("write", path, GetLastError(), error);
}

}  // namespace client
