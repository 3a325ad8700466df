// GetProcessHeap and HeapCompact over the C library's allocator.
#include <malloc.h>

#include "win32/win32.h"

namespace {

// Stands for the one heap; nothing behind it is read.
char process_heap;

// Like Windows' heap, blocks of 512 KiB and more come straight from the system and go back to it
// when freed. The C library would otherwise raise that bound as large blocks are freed, and keep
// up to twice as much free at the top of each thread's arena, where trimming never reaches: tens
// of megabytes after an index is built, resident for the life of the process.
constexpr int DIRECT_BLOCK_BYTES = 512 << 10;
const bool heap_configured = mallopt(M_MMAP_THRESHOLD, DIRECT_BLOCK_BYTES) == 1;

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
