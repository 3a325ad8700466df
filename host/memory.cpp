// The host allocator and the memory and arithmetic helpers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host/memory.h"
#include "host/services.h"
#include "sdk/platform_api.h"

namespace host {

namespace {

bool compact_due = false;

}  // namespace

void memory_compact_when_idle() { compact_due = true; }

bool memory_compact_due() { return compact_due; }

void memory_compact() {
    compact_due = false;
    HeapCompact(GetProcessHeap(), 0);
}

// A zero-byte request still returns a block of its own, so that every result can be freed.
void* mem_alloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void* mem_calloc(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void mem_free(void* block) { std::free(block); }

void os_copy_memory(void* destination, const void* source, size_t size) {
    if (size != 0) std::memcpy(destination, source, size);
}

void os_move_memory(void* destination, const void* source, size_t size) {
    if (size != 0) std::memmove(destination, source, size);
}

void os_zero_memory(void* destination, size_t size) {
    if (size != 0) std::memset(destination, 0, size);
}

// Saturates, so that a length measured from untrusted text can never wrap to a small number.
size_t safe_uintptr_add(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

}  // namespace host
