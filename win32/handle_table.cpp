// The kernel-object handle table, CloseHandle, WaitForSingleObject and the thread's last error.
//
// A handle is a slot index in its low 32 bits and the slot's generation above, so a closed handle
// stays invalid after its slot is reused. Lookups copy a reference under the table lock; the
// object itself lives until its last reference goes.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "win32/handle_table.h"
#include "win32/kernel_objects.h"
#include "win32/message_queue.h"

namespace {

struct HandleSlot {
    KernelObjectRef object;
    uint32_t generation = 1;
};

struct HandleTable {
    std::mutex lock;
    std::vector<HandleSlot> slots;
    std::vector<uint32_t> free_slots;
};

constexpr uint32_t HANDLE_INDEX_LIMIT = 1u << 24;

// Never destroyed: detached threads may close handles while the process exits.
HandleTable& handle_table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local DWORD thread_last_error = ERROR_SUCCESS;

HANDLE handle_encode(uint32_t index, uint32_t generation) {
    uintptr_t value = (static_cast<uintptr_t>(generation) << 32) | ((static_cast<uintptr_t>(index) + 1) << 2);
    return reinterpret_cast<HANDLE>(value);
}

// The slot index of a handle, or -1 for a value that is no handle of this table.
int64_t handle_index(HANDLE handle, uint32_t* generation) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    uint32_t low = static_cast<uint32_t>(value);
    if (low == 0 || (low & 3) != 0) return -1;
    *generation = static_cast<uint32_t>(value >> 32);
    return static_cast<int64_t>(low >> 2) - 1;
}

// The slot behind a live handle; the caller holds the table lock.
HandleSlot* handle_slot_locked(HandleTable& table, HANDLE handle) {
    uint32_t generation = 0;
    int64_t index = handle_index(handle, &generation);
    if (index < 0 || static_cast<size_t>(index) >= table.slots.size()) return nullptr;
    HandleSlot& slot = table.slots[static_cast<size_t>(index)];
    if (!slot.object || slot.generation != generation) return nullptr;
    return &slot;
}

bool waitable_try_take(KernelObject& object) {
    if (!object.signalled) return false;
    if (object.kind == KernelObjectKind::EVENT && !object.manual_reset) object.signalled = false;
    return true;
}

}  // namespace

KernelObject::~KernelObject() {
    if (fd >= 0) ::close(fd);
}

HANDLE kernel_handle_open(KernelObjectRef object) {
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> guard(table.lock);
    uint32_t index;
    if (!table.free_slots.empty()) {
        index = table.free_slots.back();
        table.free_slots.pop_back();
    } else {
        if (table.slots.size() >= HANDLE_INDEX_LIMIT) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        index = static_cast<uint32_t>(table.slots.size());
        table.slots.emplace_back();
    }
    HandleSlot& slot = table.slots[index];
    slot.object = std::move(object);
    return handle_encode(index, slot.generation);
}

KernelObjectRef kernel_handle_get(HANDLE handle, KernelObjectKind kind) {
    KernelObjectRef object;
    {
        HandleTable& table = handle_table();
        std::lock_guard<std::mutex> guard(table.lock);
        HandleSlot* slot = handle_slot_locked(table, handle);
        if (slot && slot->object->kind == kind) object = slot->object;
    }
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

KernelObjectRef kernel_handle_get_waitable(HANDLE handle) {
    KernelObjectRef object;
    {
        HandleTable& table = handle_table();
        std::lock_guard<std::mutex> guard(table.lock);
        HandleSlot* slot = handle_slot_locked(table, handle);
        if (slot && slot->object->kind != KernelObjectKind::FILE) object = slot->object;
    }
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
    KernelObjectRef released;  // dropped after the table lock, so a file closes outside it
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> guard(table.lock);
    HandleSlot* slot = handle_slot_locked(table, object);
    if (!slot) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    released = std::move(slot->object);
    slot->generation = slot->generation == 0x7FFFFFFF ? 1 : slot->generation + 1;
    table.free_slots.push_back(static_cast<uint32_t>(slot - table.slots.data()));
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObjectRef object = kernel_handle_get_waitable(handle);
    if (!object) return WAIT_FAILED;
    socket_push_held_sends();
    std::unique_lock<std::mutex> guard(object->lock);
    if (milliseconds == INFINITE) {
        object->changed.wait(guard, [&] { return object->signalled; });
        waitable_try_take(*object);
        return WAIT_OBJECT_0;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (!object->changed.wait_until(guard, deadline, [&] { return object->signalled; })) return WAIT_TIMEOUT;
    waitable_try_take(*object);
    return WAIT_OBJECT_0;
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
        case ENAMETOOLONG: return 206;   // ERROR_FILENAME_EXCED_RANGE
        case EBUSY:
        case ETXTBSY: return 32;         // ERROR_SHARING_VIOLATION
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case EIO: return 1117;           // ERROR_IO_DEVICE
        default: return ERROR_INVALID_PARAMETER;
    }
}
