// SetTimer and KillTimer: when WM_TIMER comes, how many come, and when they stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "win32/win32.h"

namespace {

constexpr UINT_PTR TIMER_ID = 7;
constexpr UINT PROBE = WM_USER + 5;
constexpr DWORD QUIET_MS = 150;  // how long an absent message is waited for

std::vector<MSG>& seen() {
    static std::vector<MSG> messages;
    return messages;
}

LRESULT recording_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    seen().push_back(MSG{window, message, wparam, lparam, 0, {0, 0}});
    return DefWindowProcW(window, message, wparam, lparam);
}

int timer_count(HWND window) {
    int count = 0;
    for (const MSG& message : seen())
        if (message.message == WM_TIMER && message.hwnd == window && message.wParam == TIMER_ID) count++;
    return count;
}

// Dispatches what the queue gives now, timers included; bounded, since a timer comes back.
void pump_pending() {
    MSG message;
    for (int i = 0; i < 1000 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); i++) DispatchMessageW(&message);
}

bool pump_until(bool (*done)(HWND), HWND window, DWORD milliseconds = 5000) {
    uint64_t deadline = GetTickCount64() + milliseconds;
    for (;;) {
        pump_pending();
        if (done(window)) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(1);
    }
}

void pump_for(HWND window, DWORD milliseconds) {
    pump_until([](HWND) { return false; }, window, milliseconds);
}

// Lets `milliseconds` pass without looking at the queue, so that intervals end unseen.
void let_time_pass(DWORD milliseconds) {
    uint64_t end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) Sleep(1);
}

// Whether a thread of this process sleeps (in GetMessageW's wait, for the thread under test).
bool thread_sleeps(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end_of_name = text.rfind(')');
    return end_of_name != std::string::npos && text.compare(end_of_name + 2, 1, "S") == 0;
}

class TimersTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXA window_class = {};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = recording_procedure;
        window_class.lpszClassName = "WIN32_TEST_TIMERS";
        RegisterClassExA(&window_class);
        window_ = make_window();
        seen().clear();
    }
    void TearDown() override {
        DestroyWindow(window_);
        pump_pending();
        seen().clear();
    }
    static HWND make_window() {
        return CreateWindowExA(0, "WIN32_TEST_TIMERS", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }

    HWND window_ = nullptr;
};

TEST_F(TimersTest, TimerComesAfterPostedMessagesOnceForManyIntervalsAndRepeats) {
    constexpr UINT ELAPSE = 20;
    ASSERT_EQ(SetTimer(window_, TIMER_ID, ELAPSE, nullptr), 1u);
    PostMessageW(window_, PROBE, 1, 0);
    PostMessageW(window_, PROBE, 2, 0);
    let_time_pass(10 * ELAPSE);
    uint64_t start = GetTickCount64();
    pump_pending();
    uint64_t drained_ms = GetTickCount64() - start;

    ASSERT_GE(seen().size(), 3u);
    EXPECT_EQ(seen()[0].message, PROBE);
    EXPECT_EQ(seen()[1].message, PROBE);
    EXPECT_EQ(seen()[2].message, WM_TIMER) << "the timer waits for the queue to be empty";
    EXPECT_EQ(seen()[2].wParam, TIMER_ID);
    EXPECT_EQ(seen()[2].lParam, 0);
    // Ten intervals ended unseen: one message for them, and more only as intervals end while draining.
    EXPECT_LE(timer_count(window_), static_cast<int>(1 + drained_ms / ELAPSE));

    int before = timer_count(window_);
    EXPECT_TRUE(pump_until([](HWND window) { return timer_count(window) >= 3; }, window_)) << "it repeats";
    EXPECT_GT(timer_count(window_), before);
}

TEST_F(TimersTest, KillTimerAndTheWindowsEndStopItsMessages) {
    ASSERT_EQ(SetTimer(window_, TIMER_ID, USER_TIMER_MINIMUM, nullptr), 1u);
    ASSERT_TRUE(pump_until([](HWND window) { return timer_count(window) >= 2; }, window_));
    let_time_pass(3 * USER_TIMER_MINIMUM);  // an interval has ended and is not taken yet
    EXPECT_TRUE(KillTimer(window_, TIMER_ID));
    int count = timer_count(window_);
    pump_for(window_, QUIET_MS);
    EXPECT_EQ(timer_count(window_), count) << "nothing after KillTimer, not even an interval that ended before";
    EXPECT_FALSE(KillTimer(window_, TIMER_ID));

    HWND other = make_window();
    ASSERT_EQ(SetTimer(other, TIMER_ID, USER_TIMER_MINIMUM, nullptr), 1u);
    let_time_pass(3 * USER_TIMER_MINIMUM);
    DestroyWindow(other);
    pump_for(window_, QUIET_MS);
    EXPECT_EQ(timer_count(other), 0);
    EXPECT_FALSE(KillTimer(other, TIMER_ID));
}

std::atomic<int> procedure_calls{0};

void counting_timer_procedure(HWND, UINT message, UINT_PTR, DWORD) {
    if (message == WM_TIMER) procedure_calls++;
}

TEST_F(TimersTest, ThreadTimerGetsItsOwnIdAndItsProcedureIsCalled) {
    procedure_calls = 0;
    UINT_PTR id = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, counting_timer_procedure);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(pump_until([](HWND) { return procedure_calls.load() >= 1; }, nullptr));
    EXPECT_TRUE(KillTimer(nullptr, id));
    EXPECT_TRUE(seen().empty()) << "the procedure takes the message instead of a window";
}

TEST_F(TimersTest, TimerSetFromAnotherThreadWakesTheWindowsThread) {
    constexpr UINT_PTR SLOW_ID = 8;
    ASSERT_EQ(SetTimer(window_, SLOW_ID, 60000, nullptr), 1u);  // the wait would last a minute
    HWND window = window_;
    pid_t owner = gettid();
    std::atomic<bool> done{false};
    std::thread helper([&] {
        // Sets the quick timer once the owner waits; posts a probe if no timer came in time.
        for (uint64_t deadline = GetTickCount64() + 2000; !thread_sleeps(owner) && GetTickCount64() < deadline;)
            Sleep(1);
        SetTimer(window, TIMER_ID, USER_TIMER_MINIMUM, nullptr);
        for (uint64_t deadline = GetTickCount64() + 5000; !done.load() && GetTickCount64() < deadline;) Sleep(1);
        if (!done.load()) PostMessageW(window, PROBE, 0, 0);
    });
    MSG message;
    ASSERT_GT(GetMessageW(&message, nullptr, 0, 0), 0);
    done = true;
    helper.join();
    EXPECT_EQ(message.message, WM_TIMER);
    EXPECT_EQ(message.wParam, TIMER_ID);
    KillTimer(window_, TIMER_ID);
    KillTimer(window_, SLOW_ID);
}

}  // namespace
