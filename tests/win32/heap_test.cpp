// HeapCompact: pages freed below the top of the heap go back to the system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "win32/win32.h"

namespace {

size_t resident_bytes() {
    long total = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    int fields = std::fscanf(statm, "%ld %ld", &total, &resident);
    std::fclose(statm);
    return fields == 2 ? static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

TEST(HeapTest, CompactGivesBackPagesFreedBelowTheTop) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring allocators of their own";
#endif
    constexpr size_t BLOCKS = 1024;
    constexpr size_t BLOCK_BYTES = 64 * 1024;
    std::vector<void*> blocks;
    std::vector<void*> pins;  // small blocks between the big ones keep them from joining the top
    for (size_t i = 0; i < BLOCKS; i++) {
        blocks.push_back(std::malloc(BLOCK_BYTES));
        std::memset(blocks.back(), 1, BLOCK_BYTES);
        pins.push_back(std::malloc(64));
    }
    for (void* block : blocks) std::free(block);
    size_t before = resident_bytes();
    EXPECT_EQ(HeapCompact(GetProcessHeap(), 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    size_t after = resident_bytes();
    for (void* pin : pins) std::free(pin);
    EXPECT_GT(before, after + BLOCKS * BLOCK_BYTES / 2) << before << " then " << after;
}

TEST(HeapTest, ALargeBlockGoesBackWhenFreedOnAnyThread) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring allocators of their own";
#endif
    constexpr size_t BLOCK_BYTES = 24 << 20;
    std::thread([] {
        // A first large block freed would let the allocator keep the next one for itself.
        for (int round = 0; round < 2; ++round) {
            void* block = std::malloc(BLOCK_BYTES);
            ASSERT_NE(block, nullptr);
            std::memset(block, 1, BLOCK_BYTES);
            size_t before = resident_bytes();
            std::free(block);
            size_t after = resident_bytes();
            EXPECT_GT(before, after + BLOCK_BYTES / 2) << "round " << round << ": " << before << " then " << after;
        }
    }).join();
}

TEST(HeapTest, VirtualAllocGivesZeroPagesThatCostNothingUntilWritten) {
    constexpr size_t REGION_BYTES = 64 << 20;
    size_t before = resident_bytes();
    auto* region = static_cast<unsigned char*>(VirtualAlloc(nullptr, REGION_BYTES, MEM_RESERVE | MEM_COMMIT,
                                                            PAGE_READWRITE));
    ASSERT_NE(region, nullptr);
    EXPECT_LT(resident_bytes(), before + REGION_BYTES / 4);
    EXPECT_EQ(region[0], 0);
    EXPECT_EQ(region[REGION_BYTES - 1], 0);
    region[REGION_BYTES / 2] = 7;
    EXPECT_FALSE(VirtualFree(region + 4096, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(VirtualFree(region, REGION_BYTES, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
    EXPECT_EQ(VirtualAlloc(region, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(HeapTest, OnlyTheProcessHeapIsKnown) {
    int other = 0;
    EXPECT_EQ(HeapCompact(&other, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
