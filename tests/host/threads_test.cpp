// Plug-in threads on the host's pool: each create runs its function once, and the wait returns
// only once that function has returned, whether the thread is new or a parked one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/host/host_test_support.h"

namespace {

struct ThreadJob {
    std::atomic<int> runs{0};
    std::atomic<bool> returned{false};
    HANDLE release = nullptr;  // when set, the function waits for it first
};

DWORD thread_job_run(void* argument) {
    ThreadJob* job = static_cast<ThreadJob*>(argument);
    if (job->release) WaitForSingleObject(job->release, INFINITE);
    job->runs.fetch_add(1);
    job->returned = true;
    return 0;
}

TEST(HostThreads, EachCreateRunsItsFunctionOnceAndTheWaitFollowsItsReturn) {
    constexpr int JOBS = 40;
    // The second round finds the threads of the first parked.
    for (int round = 0; round < 2; round++) {
        std::vector<ThreadJob> jobs(JOBS);
        std::vector<HANDLE> threads;
        for (ThreadJob& job : jobs) threads.push_back(host::os_thread_create(thread_job_run, &job));
        for (int i = 0; i < JOBS; i++) {
            ASSERT_NE(threads[i], nullptr);
            host::os_thread_wait_and_close(threads[i]);
            EXPECT_TRUE(jobs[i].returned) << i;
        }
        for (ThreadJob& job : jobs) EXPECT_EQ(job.runs, 1);
    }
}

TEST(HostThreads, TheWaitHoldsWhileTheFunctionRuns) {
    ThreadJob job;
    job.release = host::os_event_create();
    HANDLE thread = host::os_thread_create(thread_job_run, &job);
    std::thread releaser([&] {
        EXPECT_FALSE(job.returned);
        SetEvent(job.release);
    });
    host::os_thread_wait_and_close(thread);
    EXPECT_TRUE(job.returned);
    releaser.join();
    CloseHandle(job.release);
}

}  // namespace
