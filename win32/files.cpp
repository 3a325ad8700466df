// Open files behind HANDLEs: CreateFileA, ReadFile, WriteFile, SetFilePointerEx, GetFileSizeEx,
// SetEndOfFile, GetFileType; and CreateDirectoryA.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "win32/handle_table.h"
#include "win32/kernel_objects.h"

namespace {

int file_open_flags(DWORD access, DWORD creation) {
    int flags = O_CLOEXEC;
    bool reads = (access & GENERIC_READ) != 0;
    bool writes = (access & GENERIC_WRITE) != 0;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if (creation == CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
    if (creation == OPEN_ALWAYS) flags |= O_CREAT;
    return flags;
}

bool file_creation_known(DWORD creation) {
    return creation == CREATE_ALWAYS || creation == OPEN_EXISTING || creation == OPEN_ALWAYS;
}

// The descriptor of a live file handle, with a reference that keeps it open, or -1.
int file_fd(HANDLE handle, KernelObjectRef* hold) {
    *hold = kernel_handle_get(handle, KernelObjectKind::FILE);
    return *hold ? (*hold)->fd : -1;
}

// Windows tells a missing file from a missing folder on the way to it.
DWORD file_open_error(const char* path, int error_number) {
    if (error_number != ENOENT) return win32_error_from_errno(error_number);
    std::string folder(path);
    size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    folder.resize(slash == 0 ? 1 : slash);
    struct stat status;
    bool folder_exists = ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    return folder_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

BOOL file_fail_errno() {
    SetLastError(win32_error_from_errno(errno));
    return FALSE;
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD, void*, DWORD creation, DWORD flags, HANDLE) {
    if (!path || !file_creation_known(creation)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Opening a FIFO to read waits for a writer, which Windows never does: the open does not wait,
    // and reads then wait for data as they would on a pipe.
    bool reads_only = !(access & GENERIC_WRITE);
    int fd;
    do {
        fd = ::open(path, file_open_flags(access, creation) | (reads_only ? O_NONBLOCK : 0), 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastError(file_open_error(path, errno));
        return INVALID_HANDLE_VALUE;
    }
    if (reads_only) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A folder is not a file: without backup semantics Windows refuses to open one.
    struct stat status;
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) && ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return win32_file_handle_from_fd(fd);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, void*) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    if (bytes_read) *bytes_read = 0;
    if (fd < 0) return FALSE;
    // Regular files give short reads only at the end; the loop also covers pipes and signals.
    DWORD total = 0;
    while (total < bytes_to_read) {
        ssize_t got = ::read(fd, static_cast<char*>(buffer) + total, bytes_to_read - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return file_fail_errno();
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    if (bytes_read) *bytes_read = total;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written, void*) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    if (bytes_written) *bytes_written = 0;
    if (fd < 0) return FALSE;
    DWORD total = 0;
    while (total < bytes_to_write) {
        ssize_t put = ::write(fd, static_cast<const char*>(buffer) + total, bytes_to_write - total);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            if (bytes_written) *bytes_written = total;
            return file_fail_errno();
        }
        total += static_cast<DWORD>(put);
    }
    if (bytes_written) *bytes_written = total;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* new_position, DWORD method) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    if (fd < 0) return FALSE;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    off_t position = ::lseek(fd, static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) {
        // A negative result is the one failure Windows names ERROR_NEGATIVE_SEEK.
        SetLastError(errno == EINVAL ? 131 : win32_error_from_errno(errno));
        return FALSE;
    }
    if (new_position) new_position->QuadPart = static_cast<LONGLONG>(position);
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    if (fd < 0) return FALSE;
    struct stat status;
    if (::fstat(fd, &status) != 0) return file_fail_errno();
    size->QuadPart = static_cast<LONGLONG>(status.st_size);
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    if (fd < 0) return FALSE;
    off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0) return file_fail_errno();
    int result;
    do {
        result = ::ftruncate(fd, position);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? TRUE : file_fail_errno();
}

DWORD GetFileType(HANDLE file) {
    KernelObjectRef hold;
    int fd = file_fd(file, &hold);
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0) SetLastError(win32_error_from_errno(errno));
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL CreateDirectoryA(const char* path, void*) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::mkdir(path, 0777) == 0) return TRUE;
    int error_number = errno;
    if (error_number == EEXIST) SetLastError(ERROR_ALREADY_EXISTS);
    else if (error_number == ENOENT || error_number == ENOTDIR) SetLastError(ERROR_PATH_NOT_FOUND);
    else SetLastError(win32_error_from_errno(error_number));
    return FALSE;
}
