// VirtualAlloc and VirtualFree over anonymous mappings.
#include <sys/mman.h>

#include <mutex>
#include <unordered_map>

#include "win32/win32.h"

namespace {

// Windows frees a region by its address alone; munmap needs its length too.
std::mutex regions_lock;
std::unordered_map<void*, size_t>& regions() {
    static auto* by_address = new std::unordered_map<void*, size_t>;
    return *by_address;
}

}  // namespace

void* VirtualAlloc(void* address, size_t size, DWORD allocation_type, DWORD protection) {
    if (address != nullptr || size == 0 || !(allocation_type & MEM_COMMIT) ||
        (allocation_type & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || protection != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(regions_lock);
    regions()[region] = size;
    return region;
}

BOOL VirtualFree(void* address, size_t size, DWORD free_type) {
    if (free_type != MEM_RELEASE || size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t length = 0;
    {
        std::lock_guard<std::mutex> guard(regions_lock);
        auto found = regions().find(address);
        if (found == regions().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        length = found->second;
        regions().erase(found);
    }
    munmap(address, length);
    return TRUE;
}
