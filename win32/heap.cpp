// GetProcessHeap and HeapCompact over the C library's allocator.
#include <malloc.h>

#include "win32/win32.h"

namespace {

// Stands for the one heap; nothing behind it is read.
char process_heap;

}  // namespace

HANDLE GetProcessHeap() { return &process_heap; }

size_t HeapCompact(HANDLE heap, DWORD) {
    if (heap != &process_heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // Without this, pages freed below the top of a heap stay with the process.
    malloc_trim(0);
    SetLastError(ERROR_SUCCESS);
    return 0;
}
