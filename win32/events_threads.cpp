// Events, threads and critical sections.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <thread>

#include "win32/handle_table.h"

#include "win32/kernel_objects.h"
#include "win32/message_queue.h"

namespace {

// Thread ids are handed out by this layer, never reused, so a queue or a window cannot be mistaken
// for one of a thread that has ended.
std::atomic<DWORD> next_thread_id{4};
thread_local DWORD current_thread_id = 0;

DWORD thread_id_allocate() { return next_thread_id.fetch_add(4, std::memory_order_relaxed); }

BOOL event_set_state(HANDLE handle, bool signalled) {
    KernelObjectRef event = kernel_handle_get(handle, KernelObjectKind::EVENT);
    if (!event) return FALSE;
    waitable_set(*event, signalled);
    return TRUE;
}

void thread_run(KernelObjectRef thread, DWORD id, LPTHREAD_START_ROUTINE start, void* parameter) {
    current_thread_id = id;
    DWORD exit_code = start(parameter);
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        thread->exit_code = exit_code;
    }
    waitable_set(*thread, true);
}

// The nice value added to a thread's first nice value for each priority level.
struct PriorityLevel {
    int priority;
    int nice;
};
constexpr PriorityLevel PRIORITY_LEVELS[] = {
    {THREAD_PRIORITY_IDLE, 19},  {THREAD_PRIORITY_LOWEST, 10},       {THREAD_PRIORITY_BELOW_NORMAL, 5},
    {THREAD_PRIORITY_NORMAL, 0}, {THREAD_PRIORITY_ABOVE_NORMAL, -5}, {THREAD_PRIORITY_HIGHEST, -10},
    {THREAD_PRIORITY_TIME_CRITICAL, -20},
};
thread_local int thread_first_nice = 0;
thread_local bool thread_first_nice_known = false;

std::recursive_mutex* section_mutex(CRITICAL_SECTION* section) {
    return std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

}  // namespace

HANDLE CreateEventW(void*, BOOL manual_reset, BOOL initial_state, const wchar_t*) {
    auto event = std::make_shared<KernelObject>(KernelObjectKind::EVENT);
    event->manual_reset = manual_reset != FALSE;
    event->signalled.store(initial_state != FALSE ? 1 : 0);
    return kernel_handle_open(std::move(event));
}

BOOL SetEvent(HANDLE event) { return event_set_state(event, true); }

BOOL ResetEvent(HANDLE event) { return event_set_state(event, false); }

HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE start, void* parameter, DWORD, DWORD* thread_id) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<KernelObject>(KernelObjectKind::THREAD);
    HANDLE handle = kernel_handle_open(thread);
    if (!handle) return nullptr;
    DWORD id = thread_id_allocate();
    try {
        std::thread(thread_run, thread, id, start, parameter).detach();
    } catch (const std::system_error&) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (thread_id) *thread_id = id;
    return handle;
}

bool win32_thread_id_issued(DWORD thread_id) {
    return thread_id != 0 && thread_id % 4 == 0 && thread_id < next_thread_id.load(std::memory_order_relaxed);
}

DWORD GetCurrentThreadId() {
    if (current_thread_id == 0) current_thread_id = thread_id_allocate();
    return current_thread_id;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (thread != GetCurrentThread()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const PriorityLevel* level = std::find_if(std::begin(PRIORITY_LEVELS), std::end(PRIORITY_LEVELS),
                                              [&](const PriorityLevel& row) { return row.priority == priority; });
    if (level == std::end(PRIORITY_LEVELS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // On Linux each thread has a nice value of its own, named by its kernel thread id.
    id_t self = static_cast<id_t>(syscall(SYS_gettid));
    if (!thread_first_nice_known) {
        errno = 0;
        int nice = getpriority(PRIO_PROCESS, self);
        thread_first_nice = errno == 0 ? nice : 0;
        thread_first_nice_known = true;
    }
    if (setpriority(PRIO_PROCESS, self, std::clamp(thread_first_nice + level->nice, -20, 19)) != 0) {
        SetLastError(errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED : win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exit_code) {
    KernelObjectRef thread = kernel_handle_get(handle, KernelObjectKind::THREAD);
    if (!thread) return FALSE;
    if (!exit_code) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *exit_code = thread->exit_code;
    return TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) { new (section->opaque) std::recursive_mutex; }

void EnterCriticalSection(CRITICAL_SECTION* section) { section_mutex(section)->lock(); }

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
    return section_mutex(section)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) { section_mutex(section)->unlock(); }

void DeleteCriticalSection(CRITICAL_SECTION* section) { section_mutex(section)->~recursive_mutex(); }
