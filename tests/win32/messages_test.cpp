// Windows, classes and the per-thread message queue.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/win32/thread_state.h"
#include "win32/window_internal.h"
#include "win32/win32.h"

namespace {

using win32_test::blocked_in;
using win32_test::thread_number;
using win32_test::wait_until;

struct Delivery {
    HWND window;
    UINT message;
    WPARAM wparam;
};

std::vector<Delivery>& deliveries() {
    static std::vector<Delivery> seen;
    return seen;
}

LRESULT recording_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    deliveries().push_back({window, message, wparam});
    if (message == WM_USER + 1) return static_cast<LRESULT>(wparam * 2);
    return DefWindowProcW(window, message, wparam, lparam);
}

const char* const CLASS_NAME = "WIN32_TEST_MESSAGES";

HWND make_window(HWND parent = nullptr, int id = 0, const char* class_name = CLASS_NAME, DWORD style = 0) {
    return CreateWindowExA(0, class_name, "title", style, 1, 2, 30, 40, parent,
                           reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), GetModuleHandleW(nullptr), nullptr);
}

// Dispatches what is queued now.
void pump_pending() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

bool blocked_in_queue_wait(long thread) {
    long number = blocked_in(thread);
#ifdef SYS_epoll_wait
    if (number == SYS_epoll_wait) return true;
#endif
    return number == SYS_epoll_pwait;
}

class MessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXA window_class = {};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = recording_procedure;
        window_class.lpszClassName = CLASS_NAME;
        RegisterClassExA(&window_class);
        pump_pending();
        deliveries().clear();
    }
    void TearDown() override {
        pump_pending();
        deliveries().clear();
    }
};

TEST_F(MessagesTest, RegisteringAClassTwiceGivesTheSameAtom) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = "win32_test_messages";  // names compare without case
    ATOM first = RegisterClassExA(&window_class);
    EXPECT_NE(first, 0);
    window_class.lpszClassName = CLASS_NAME;
    EXPECT_EQ(RegisterClassExA(&window_class), first);
    EXPECT_EQ(make_window(nullptr, 0, "NO_SUCH_CLASS"), nullptr);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
}

TEST_F(MessagesTest, ChildControlsCarryTheirIdAndState) {
    HWND parent = make_window();
    HWND button = make_window(parent, 1003, "BUTTON", WS_CHILD | WS_DISABLED | BS_AUTOCHECKBOX);
    HWND edit = make_window(parent, 1004, "Edit", WS_CHILD);
    ASSERT_NE(button, nullptr);
    Win32Window* record = win32_window_get(button);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->id, 1003);
    EXPECT_EQ(record->parent, parent);
    EXPECT_EQ(record->procedure, nullptr);
    EXPECT_FALSE(record->enabled);
    EXPECT_EQ(record->rect.left, 1);
    EXPECT_EQ(record->rect.bottom, 42);
    EXPECT_EQ(record->text, "title");
    EXPECT_TRUE(win32_window_get(edit)->enabled);
    EXPECT_EQ(win32_window_get(edit)->class_name, "Edit");
    EXPECT_EQ(win32_window_get(parent)->children, (std::vector<HWND>{button, edit}));
    EXPECT_EQ(win32_window_get(parent)->id, 0) << "a top-level window's menu is no id";
    EXPECT_EQ(SendMessageW(button, WM_USER + 1, 4, 0), 0) << "predefined controls have no procedure";

    ASSERT_TRUE(DestroyWindow(parent));
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(button));
    EXPECT_FALSE(IsWindow(edit));
    EXPECT_EQ(win32_window_get(button), nullptr);
    EXPECT_FALSE(DestroyWindow(parent));
}

// As on Windows: window rectangles are on the screen, predefined classes have Windows' spelling, and a
// message-only window is a top-level window.
TEST_F(MessagesTest, ScreenRectanglesClassNamesAndMessageOnlyWindows) {
    HWND top = make_window();                                   // at (1, 2) on the screen
    HWND page = CreateWindowExA(0, CLASS_NAME, "", WS_CHILD, 10, 20, 200, 100, top, nullptr, nullptr, nullptr);
    HWND control = make_window(page, 7, "button", WS_CHILD);    // at (1, 2) in the page
    RECT rect;
    ASSERT_TRUE(GetWindowRect(control, &rect));
    EXPECT_EQ((std::vector<LONG>{rect.left, rect.top, rect.right, rect.bottom}), (std::vector<LONG>{12, 24, 42, 64}));
    EXPECT_EQ(MapWindowPoints(HWND_DESKTOP, page, reinterpret_cast<POINT*>(&rect), 2), (-11 & 0xFFFF) | (-22 << 16));
    EXPECT_EQ((std::vector<LONG>{rect.left, rect.top, rect.right, rect.bottom}), (std::vector<LONG>{1, 2, 31, 42}));
    char name[16];
    EXPECT_EQ(GetClassNameA(control, name, sizeof name), 6);
    EXPECT_STREQ(name, "Button");

    HWND message_only = make_window(HWND_MESSAGE);
    ASSERT_NE(message_only, nullptr);
    EXPECT_EQ(GetParent(message_only), nullptr);
    ASSERT_TRUE(PostMessageW(message_only, WM_USER + 2, 9, 0));
    pump_pending();
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_EQ(deliveries()[0].window, message_only);
    EXPECT_TRUE(DestroyWindow(message_only));
    EXPECT_TRUE(DestroyWindow(top));
}

TEST_F(MessagesTest, PostedMessagesArriveInOrderBeforeQuit) {
    HWND window = make_window();
    for (WPARAM i = 0; i < 5; i++) ASSERT_TRUE(PostMessageW(window, WM_USER, i, 0));
    PostQuitMessage(42);
    ASSERT_TRUE(PostMessageW(window, WM_USER, 5, 0));
    MSG message;
    int got = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
        got++;
    }
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 42u);
    ASSERT_EQ(got, 6) << "the quit comes once the posted messages are handled";
    for (WPARAM i = 0; i < 6; i++) EXPECT_EQ(deliveries()[i].wparam, i);
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) << "the quit was taken";
    DestroyWindow(window);
}

TEST_F(MessagesTest, SendMessageCallsTheProcedureAtOnce) {
    HWND window = make_window();
    EXPECT_EQ(SendMessageW(window, WM_USER + 1, 21, 0), 42);
    ASSERT_EQ(deliveries().size(), 1u);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
    DestroyWindow(window);
}

TEST_F(MessagesTest, PeekWithoutRemoveLeavesTheMessage) {
    HWND window = make_window();
    PostMessageW(window, WM_USER, 7, 0);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(message.wParam, 7u);
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.hwnd, window);
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

TEST_F(MessagesTest, PostFromAnotherThreadWakesGetMessage) {
    HWND window = make_window();
    std::atomic<bool> posted{false};
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread poster([&] {
        // Gives the main thread time to block in GetMessageW; it passes whichever comes first.
        WaitForSingleObject(go, INFINITE);
        Sleep(20);
        posted = PostMessageW(window, WM_USER, 99, 0) != 0;
    });
    SetEvent(go);
    MSG message;
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    poster.join();
    EXPECT_TRUE(posted);
    EXPECT_EQ(message.hwnd, window);
    EXPECT_EQ(message.wParam, 99u);
    CloseHandle(go);
    DestroyWindow(window);
}

// A thread that set an event someone waited for spins for the answer before it sleeps in
// GetMessageW: answers that come at once arrive in order, and one that comes only after the
// thread has gone to sleep still wakes it.
TEST_F(MessagesTest, TheWaitAfterAHandOverTakesTheAnswersAndStillSleeps) {
    HWND window = make_window();
    long main_thread = thread_number();
    std::atomic<long> worker_thread{0};
    HANDLE work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread worker([&] {
        worker_thread = thread_number();
        for (WPARAM round = 0; round < 2; round++) {
            WaitForSingleObject(work, INFINITE);
            if (round == 1) wait_until([&] { return blocked_in_queue_wait(main_thread); });
            for (WPARAM answer = 1; answer <= 3; answer++) PostMessageW(window, WM_USER, round * 10 + answer, 0);
        }
    });
    MSG message;
    for (WPARAM round = 0; round < 2; round++) {
        // The worker sleeps on the event, so that setting it is a hand-over.
        ASSERT_TRUE(wait_until([&] { return worker_thread != 0 && blocked_in(worker_thread) == SYS_futex; }));
        ASSERT_TRUE(SetEvent(work));
        for (WPARAM answer = 1; answer <= 3; answer++) {
            ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
            EXPECT_EQ(message.wParam, round * 10 + answer);
        }
    }
    worker.join();
    CloseHandle(work);
    DestroyWindow(window);
}

TEST_F(MessagesTest, MessagesForADestroyedWindowAreDropped) {
    HWND window = make_window();
    HWND other = make_window();
    ASSERT_TRUE(PostMessageW(window, WM_USER, 1, 0));
    ASSERT_TRUE(PostMessageW(other, WM_USER, 2, 0));
    ASSERT_TRUE(DestroyWindow(window));
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_EQ(deliveries()[0].message, WM_DESTROY);
    deliveries().clear();

    EXPECT_FALSE(PostMessageW(window, WM_USER, 3, 0));
    std::thread late([&] { EXPECT_FALSE(PostMessageW(window, WM_USER, 4, 0)); });
    late.join();
    MSG stale = {window, WM_USER, 5, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageW(&stale), 0);
    pump_pending();
    ASSERT_EQ(deliveries().size(), 1u) << "only the live window's message is delivered";
    EXPECT_EQ(deliveries()[0].window, other);

    // The handle is not given to a later window, so stale posts cannot reach it.
    HWND next = make_window();
    EXPECT_NE(next, window);
    EXPECT_FALSE(IsWindow(window));
    DestroyWindow(next);
    DestroyWindow(other);
}

TEST_F(MessagesTest, ThreadMessagesReachTheNamedThread) {
    DWORD worker_id = 0;
    std::atomic<UINT> received{0};
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        worker_id = GetCurrentThreadId();
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        SetEvent(ready);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) received = message.message;
    });
    WaitForSingleObject(ready, INFINITE);
    EXPECT_NE(worker_id, GetCurrentThreadId());
    EXPECT_TRUE(PostThreadMessageW(worker_id, WM_USER + 3, 0, 0));
    EXPECT_TRUE(PostThreadMessageW(worker_id, WM_QUIT, 0, 0));
    worker.join();
    EXPECT_EQ(received, WM_USER + 3);
    EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_USER, 0, 0)) << "no such thread";
    EXPECT_FALSE(PostThreadMessageW(worker_id, WM_USER, 0, 0)) << "the thread and its queue have ended";
    CloseHandle(ready);
}

TEST_F(MessagesTest, GetMessageRefusesAWindowFilter) {
    HWND window = make_window();
    MSG message;
    EXPECT_EQ(GetMessageW(&message, window, 0, 0), -1);
    DestroyWindow(window);
}

TEST_F(MessagesTest, ConcurrentPostersLoseNothingAndADestroyedWindowRefusesThem) {
    constexpr int THREADS = 4;
    constexpr int EACH = 2000;
    HWND window = make_window();
    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; t++)
        posters.emplace_back([&, t] {
            for (int i = 0; i < EACH; i++)
                if (!PostMessageW(window, WM_USER, static_cast<WPARAM>(t * EACH + i), 0)) refused++;
        });
    for (auto& poster : posters) poster.join();
    ASSERT_EQ(refused, 0);
    pump_pending();
    ASSERT_EQ(deliveries().size(), static_cast<size_t>(THREADS * EACH));
    // Each poster's messages keep their order.
    std::vector<WPARAM> last(THREADS, 0);
    std::vector<bool> seen(THREADS, false);
    for (const Delivery& delivery : deliveries()) {
        size_t poster = delivery.wparam / EACH;
        if (seen[poster]) {
            EXPECT_GT(delivery.wparam, last[poster]);
        }
        seen[poster] = true;
        last[poster] = delivery.wparam;
    }
    deliveries().clear();

    // Posts racing with the destruction either land before it (and are then dropped) or fail.
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        while (!stop) PostMessageW(window, WM_USER, 1, 0);
    });
    Sleep(5);
    DestroyWindow(window);
    stop = true;
    racer.join();
    pump_pending();
    for (const Delivery& delivery : deliveries()) EXPECT_EQ(delivery.message, WM_DESTROY);
}

}  // namespace
