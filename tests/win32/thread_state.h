// What the tests of waits see of a thread of this process, and a bounded wait for a condition
// that another thread brings about.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "win32/win32.h"

namespace win32_test {

// This thread's system thread id, for blocked_in.
inline long thread_number() { return static_cast<long>(::syscall(SYS_gettid)); }

// The system call a thread of this process is blocked in, or -1 (running, or gone).
inline long blocked_in(long thread) {
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    return file >> number ? number : -1;
}

// Waits up to ten seconds for `condition`; whether it came.
template <typename Condition>
bool wait_until(Condition condition) {
    for (uint64_t deadline = GetTickCount64() + 10000; !condition(); Sleep(1))
        if (GetTickCount64() >= deadline) return false;
    return true;
}

}  // namespace win32_test
