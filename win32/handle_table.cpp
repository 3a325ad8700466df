// The kernel-object handle table, CloseHandle, WaitForSingleObject and the thread's last error.
//
// A handle is a slot index in its low 32 bits and the slot's generation above, so a closed handle
// stays invalid after its slot is reused. Lookups copy a reference under the table lock; the
// object itself lives until its last reference goes.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "win32/generation_table.h"
#include "win32/handle_table.h"
#include "win32/kernel_objects.h"

namespace {

using HandleTable = GenerationTable<KernelObjectRef>;

// Never destroyed: detached threads may close handles while the process exits.
HandleTable& handle_table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local DWORD thread_last_error = ERROR_SUCCESS;

uintptr_t handle_value(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace

KernelObject::~KernelObject() {
    if (watch != 0) directory_watch_end(watch);
    if (fd >= 0) ::close(fd);
}

HANDLE kernel_handle_open(KernelObjectRef object) {
    uintptr_t value = handle_table().add(std::move(object));
    if (value == 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return reinterpret_cast<HANDLE>(value);
}

KernelObjectRef kernel_handle_get(HANDLE handle, KernelObjectKind kind) {
    KernelObjectRef object =
        handle_table().get(handle_value(handle), [kind](const KernelObjectRef& entry) { return entry->kind == kind; });
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

KernelObjectRef kernel_handle_get_waitable(HANDLE handle) {
    KernelObjectRef object = handle_table().get(
        handle_value(handle), [](const KernelObjectRef& entry) { return entry->kind != KernelObjectKind::FILE; });
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

HANDLE win32_file_handle_from_fd(int fd) {
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<KernelObject>(KernelObjectKind::FILE);
    file->fd = fd;
    HANDLE handle = kernel_handle_open(std::move(file));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE object) {
    // The reference is dropped here, after the table lock, so a file closes outside it.
    KernelObjectRef released = handle_table().remove(handle_value(object));
    if (!released) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObjectRef object = kernel_handle_get_waitable(handle);
    if (!object) return WAIT_FAILED;
    return waitable_wait(*object, milliseconds);
}

DWORD RaiseHandleLimit() {
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = {limit.rlim_max, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(limit.rlim_cur);
}

DWORD GetLastError() { return thread_last_error; }

void SetLastError(DWORD error) { thread_last_error = error; }

DWORD win32_error_from_errno(int error_number) {
    switch (error_number) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return 80;          // ERROR_FILE_EXISTS
        case EMFILE:
        case ENFILE: return 4;           // ERROR_TOO_MANY_OPEN_FILES
        case ENOSPC: return 112;         // ERROR_DISK_FULL
        case EFBIG: return 223;          // ERROR_FILE_TOO_LARGE
        case EDQUOT: return 1295;        // ERROR_DISK_QUOTA_EXCEEDED
        case ENAMETOOLONG: return 206;   // ERROR_FILENAME_EXCED_RANGE
        case EBUSY:
        case ETXTBSY: return 32;         // ERROR_SHARING_VIOLATION
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case EIO: return 1117;           // ERROR_IO_DEVICE
        default: return ERROR_INVALID_PARAMETER;
    }
}
