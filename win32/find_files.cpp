// Folder enumeration (FindFirstFileA, FindNextFileA, FindClose) over getdents64 and one statx per
// entry, and FindFirstFileBeneathA and CreateFileBeneathA, which find or open what lies below a
// folder without following any symbolic link, neither below the folder nor on the way to it.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "win32/find_files.h"
#include "win32/handle_table.h"
#include "win32/win32.h"

namespace {

constexpr uint32_t FIND_MAGIC = 0x444E4946;  // "FIND"
constexpr size_t FIND_BUFFER_SIZE = 64 * 1024;

struct FindState {
    uint32_t magic = FIND_MAGIC;
    int folder = -1;
    bool single = false;  // a pattern without "*": the one entry it names was reported
    size_t at = 0;    // next record in buffer
    size_t used = 0;  // bytes of records in buffer
    DWORD skipped = 0;
    alignas(8) char buffer[FIND_BUFFER_SIZE];
};

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

FindState* find_state(HANDLE find) {
    auto* state = static_cast<FindState*>(find);
    if (!state || find == INVALID_HANDLE_VALUE || state->magic != FIND_MAGIC) return nullptr;
    return state;
}

FILETIME filetime_from(int64_t seconds, uint32_t nanoseconds) {
    constexpr int64_t EPOCH_DIFFERENCE = 11644473600;  // seconds from 1601 to 1970
    uint64_t ticks = 0;
    if (seconds >= -EPOCH_DIFFERENCE)
        ticks = static_cast<uint64_t>(seconds + EPOCH_DIFFERENCE) * 10000000u + nanoseconds / 100;
    return {static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

bool is_dot_name(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

DWORD attributes_from(const char* name, uint16_t mode) {
    DWORD attributes = 0;
    if (S_ISLNK(mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    else if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!S_ISREG(mode)) attributes |= FILE_ATTRIBUTE_DEVICE;
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    if (name[0] == '.' && !is_dot_name(name)) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
}

// Fills the facts from one statx of path (relative to folder), without following a symbolic
// link; false with errno set when it cannot be examined. The name decides the hidden attribute.
bool fill_attribute_data(int folder, const char* path, const char* name, WIN32_FILE_ATTRIBUTE_DATA* data) {
    struct statx facts;
    unsigned mask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_ATIME | STATX_CTIME | STATX_BTIME;
    // AT_STATX_DONT_SYNC: network file systems answer from their cache.
    if (statx(folder, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, mask, &facts) != 0) return false;
    data->dwFileAttributes = attributes_from(name, facts.stx_mode);
    // A file system that records no birth time gives the last status change instead.
    bool has_birth = (facts.stx_mask & STATX_BTIME) != 0;
    const struct statx_timestamp& created = has_birth ? facts.stx_btime : facts.stx_ctime;
    data->ftCreationTime = filetime_from(created.tv_sec, created.tv_nsec);
    data->ftLastAccessTime = filetime_from(facts.stx_atime.tv_sec, facts.stx_atime.tv_nsec);
    data->ftLastWriteTime = filetime_from(facts.stx_mtime.tv_sec, facts.stx_mtime.tv_nsec);
    uint64_t size = S_ISDIR(facts.stx_mode) ? 0 : facts.stx_size;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
    return true;
}

// Fills data from one statx of name below the folder; false when the entry cannot be examined.
bool fill_find_data(int folder, const char* name, WIN32_FIND_DATAA* data) {
    size_t length = std::strlen(name);
    if (length >= sizeof data->cFileName) {
        errno = ENAMETOOLONG;
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA facts;
    if (!fill_attribute_data(folder, name, name, &facts)) return false;
    data->dwFileAttributes = facts.dwFileAttributes;
    data->ftCreationTime = facts.ftCreationTime;
    data->ftLastAccessTime = facts.ftLastAccessTime;
    data->ftLastWriteTime = facts.ftLastWriteTime;
    data->nFileSizeHigh = facts.nFileSizeHigh;
    data->nFileSizeLow = facts.nFileSizeLow;
    data->dwReserved0 = 0;
    data->dwReserved1 = 0;
    std::memcpy(data->cFileName, name, length + 1);
    data->cAlternateFileName[0] = '\0';
    return true;
}

// Delivers the next examinable entry; false at the end of the folder or on a read error.
bool find_advance(FindState* state, WIN32_FIND_DATAA* data) {
    if (state->single) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    while (true) {
        if (state->at >= state->used) {
            long got;
            do got = syscall(SYS_getdents64, state->folder, state->buffer, FIND_BUFFER_SIZE);
            while (got < 0 && errno == EINTR);
            if (got <= 0) {
                SetLastError(got == 0 ? ERROR_NO_MORE_FILES : win32_error_from_errno(errno));
                return false;
            }
            state->at = 0;
            state->used = static_cast<size_t>(got);
        }
        auto* record = reinterpret_cast<LinuxDirent64*>(state->buffer + state->at);
        state->at += record->d_reclen;
        if (fill_find_data(state->folder, record->d_name, data)) return true;
        ++state->skipped;
    }
}

// A pattern's folder and its last part: "*" to enumerate the folder, else the name of one entry.
struct FindPattern {
    std::string folder;
    std::string name;
};

FindPattern split_pattern(const std::string& pattern) {
    size_t slash = pattern.rfind('/');
    if (slash == std::string::npos) return {".", pattern};
    return {slash == 0 ? "/" : pattern.substr(0, slash), pattern.substr(slash + 1)};
}

int open_folder(int at, const char* path, int extra_flags) {
    int fd;
    do fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens a path below the folder with no symbolic link anywhere in it, one component at a time;
// for kernels without openat2.
int open_beneath_by_walk(int root, const std::string& relative) {
    int folder = dup(root);
    size_t at = 0;
    while (folder >= 0) {
        size_t end = relative.find('/', at);
        std::string component = relative.substr(at, end == std::string::npos ? std::string::npos : end - at);
        int next;
        if (end == std::string::npos) {
            do next = openat(folder, component.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
            while (next < 0 && errno == EINTR);
        } else {
            next = open_folder(folder, component.c_str(), O_NOFOLLOW);
        }
        int saved = errno;
        close(folder);
        errno = saved;
        if (end == std::string::npos) return next;
        folder = next;
        at = end + 1;
    }
    return -1;
}

long open_resolved(int at, const char* path, uint64_t flags, uint64_t resolve) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = flags;
    how.resolve = resolve;
    long fd;
    do fd = syscall(SYS_openat2, at, path, &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int open_beneath(int root, const std::string& relative) {
    long fd = open_resolved(root, relative.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                            RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (fd < 0 && errno == ENOSYS) return open_beneath_by_walk(root, relative);
    return static_cast<int>(fd);
}

// Opens a folder by a path with no symbolic link in any of its components, one component at a
// time; for kernels without openat2.
int open_folder_by_walk(const std::string& path) {
    int folder = open_folder(AT_FDCWD, path.empty() || path[0] != '/' ? "." : "/", 0);
    size_t at = 0;
    while (folder >= 0 && at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string component = path.substr(at, end - at);
        at = end + 1;
        if (component.empty()) continue;
        int next = open_folder(folder, component.c_str(), O_NOFOLLOW);
        int saved = errno;
        close(folder);
        errno = saved;
        folder = next;
    }
    return folder;
}

// The indexed folders are known by paths without links, so a link on the way to one now was put
// there afterwards and may lead anywhere: such a folder is not opened.
int open_folder_without_links(const char* path) {
    long fd = open_resolved(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC,
                            RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (fd < 0 && errno == ENOSYS) return open_folder_by_walk(path);
    return static_cast<int>(fd);
}

// Opens a folder below root with no symbolic link on the way (for kernels without openat2, one
// component at a time).
int open_folder_beneath(int root, const std::string& relative) {
    long fd = open_resolved(root, relative.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC,
                            RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    int folder = dup(root);
    size_t at = 0;
    while (folder >= 0 && at <= relative.size()) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        int next = open_folder(folder, relative.substr(at, end - at).c_str(), O_NOFOLLOW);
        int saved = errno;
        close(folder);
        errno = saved;
        folder = next;
        at = end + 1;
    }
    return folder;
}

// Starts a search in an open folder, which the search then owns: every entry for "*", else the one
// entry of that name.
HANDLE find_start(int folder, const std::string& name, WIN32_FIND_DATAA* data) {
    auto* state = new FindState;  // default-initialised: the buffer is not cleared
    state->folder = folder;
    bool found;
    if (name == "*") {
        found = find_advance(state, data);
        if (!found && GetLastError() == ERROR_NO_MORE_FILES) SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        state->single = true;
        errno = EINVAL;  // an empty name, or a wildcard other than a lone "*"
        found = !name.empty() && name.find('*') == std::string::npos && fill_find_data(folder, name.c_str(), data);
        if (!found) SetLastError(win32_error_from_errno(errno));
    }
    if (found) return state;
    DWORD error = GetLastError();
    close(folder);
    delete state;
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Windows names a missing folder on the way differently from a missing last part.
DWORD find_folder_error(int error_number) {
    return error_number == ENOENT || error_number == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                             : win32_error_from_errno(error_number);
}

// Only plain relative paths: no leading or doubled "/", no "." or ".." component.
bool is_plain_relative_path(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.back() == '/') return false;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string_view component(path.data() + at, end - at);
        if (component.empty() || component == "." || component == "..") return false;
        at = end + 1;
    }
    return true;
}

}  // namespace

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    FindPattern parts = split_pattern(pattern);
    int folder = open_folder(AT_FDCWD, parts.folder.c_str(), 0);
    if (folder < 0) {
        SetLastError(parts.name == "*" ? win32_error_from_errno(errno) : find_folder_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    return find_start(folder, parts.name, data);
}

HANDLE FindFirstFileBeneathA(const char* root_folder, const char* relative_pattern, WIN32_FIND_DATAA* data) {
    if (!root_folder || !relative_pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string pattern = relative_pattern;
    size_t slash = pattern.rfind('/');
    std::string relative_folder = slash == std::string::npos ? "" : pattern.substr(0, slash);
    std::string name = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if ((!relative_folder.empty() && !is_plain_relative_path(relative_folder)) || name == "." || name == "..") {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int root = open_folder_without_links(root_folder);
    if (root < 0) {
        SetLastError(find_folder_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    int folder = relative_folder.empty() ? root : open_folder_beneath(root, relative_folder);
    int saved = errno;
    if (folder != root) close(root);
    if (folder < 0) {
        SetLastError(find_folder_error(saved));
        return INVALID_HANDLE_VALUE;
    }
    return find_start(folder, name, data);
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    FindState* state = find_state(find);
    if (!state || !data) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return find_advance(state, data) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE find) {
    FindState* state = find_state(find);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    close(state->folder);
    state->magic = 0;
    delete state;
    return TRUE;
}

BOOL GetFileAttributesExA(const char* path, GET_FILEEX_INFO_LEVELS level, void* information) {
    if (!path || !*path || level != GetFileExInfoStandard || !information) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The last name of the path (before any trailing "/"): only its first byte counts, for hidden.
    std::string_view whole(path);
    size_t slash = whole.find_last_of('/', whole.find_last_not_of('/'));
    const char* name = slash == std::string_view::npos ? path : path + slash + 1;
    if (!fill_attribute_data(AT_FDCWD, path, name, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information))) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD FindSkippedCount(HANDLE find) {
    FindState* state = find_state(find);
    return state ? state->skipped : 0;
}

HANDLE CreateFileBeneathA(const char* root_folder, const char* relative_path) {
    if (!root_folder || !relative_path || !is_plain_relative_path(relative_path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int root = open_folder_without_links(root_folder);
    if (root < 0) {
        SetLastError(win32_error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    int fd = open_beneath(root, relative_path);
    int saved = errno;
    close(root);
    if (fd < 0) {
        SetLastError(win32_error_from_errno(saved));
        return INVALID_HANDLE_VALUE;
    }
    // Only regular files: a pipe or a device could block its reader forever.
    struct stat facts;
    if (fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return win32_file_handle_from_fd(fd);  // owns the descriptor from here on
}
