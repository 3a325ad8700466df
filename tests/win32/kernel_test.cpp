// Kernel objects (events, threads, files), critical sections, console control and time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/win32/thread_state.h"
#include "win32/handle_table.h"
#include "win32/spin_wait.h"
#include "win32/win32.h"

namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    uint64_t start = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64() - start, 49u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0) << "a manual-reset event stays set";
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(CloseHandle(event));
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread setter([&] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

TEST(EventTest, AClosedHandleStaysInvalidWhenItsSlotIsReused) {
    HANDLE first = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(first));
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    CloseHandle(second);
}

// A thread that has just posted to another thread's queue spins in its next wait before it
// sleeps. The wait keeps its rules: a timeout still lasts its time, an auto-reset event lets one
// waiter through per signal, and a waiter that has gone to sleep after its spin is still woken.
TEST(EventTest, WaitsAfterAHandOverKeepTheirRules) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes this thread's queue
    DWORD main_id = GetCurrentThreadId();
    auto hand_over = [main_id] { EXPECT_TRUE(PostThreadMessageW(main_id, WM_USER, 0, 0)); };

    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread timed([&] {
        uint64_t start = GetTickCount64();
        hand_over();
        EXPECT_EQ(WaitForSingleObject(never, 30), WAIT_TIMEOUT);
        EXPECT_GE(GetTickCount64() - start, 29u);
    });
    timed.join();
    CloseHandle(never);

    HANDLE gate = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> through{0};
    std::atomic<int> waiting{0};
    std::atomic<long> numbers[2] = {{0}, {0}};
    auto waiter = [&](int index) {
        numbers[index] = win32_test::thread_number();
        hand_over();
        waiting++;
        if (WaitForSingleObject(gate, INFINITE) == WAIT_OBJECT_0) through++;
    };
    std::thread first(waiter, 0), second(waiter, 1);
    // Signalled as soon as both are about to wait, so that it mostly finds them spinning.
    while (waiting != 2) std::this_thread::yield();
    ASSERT_TRUE(SetEvent(gate));
    ASSERT_TRUE(win32_test::wait_until([&] { return through != 0; }));
    EXPECT_EQ(WaitForSingleObject(gate, 0), WAIT_TIMEOUT) << "the signal was taken";
    auto one_sleeps = [&] {
        return win32_test::blocked_in(numbers[0]) == SYS_futex || win32_test::blocked_in(numbers[1]) == SYS_futex;
    };
    ASSERT_TRUE(win32_test::wait_until(one_sleeps));
    EXPECT_EQ(through, 1) << "one signal lets one waiter through";
    ASSERT_TRUE(SetEvent(gate));
    ASSERT_TRUE(win32_test::wait_until([&] { return through == 2; })) << "the sleeper was woken";
    first.join();
    second.join();
    CloseHandle(gate);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// Each transfer makes new events and threads, whose histories know nothing yet: after a run of
// spins that caught nothing, anywhere in the process, only an occasional wait spins, until one
// catches again.
TEST(SpinWaitTest, SpinsPauseAfterMissesInARowUntilOneCatches) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor: no wait spins";
    SpinHistory history;
    auto spins = [&] {
        spin_note_handover();
        return spin_budget(history, UINT64_MAX) != 0;
    };
    spin_learn(history, 0, true);
    ASSERT_TRUE(spins());
    for (int miss = 0; miss < 8; miss++) spin_learn(history, 0, false);
    int spun = 0;
    for (int wait = 0; wait < 64; wait++) spun += spins() ? 1 : 0;
    EXPECT_GE(spun, 1) << "a probe now and then";
    EXPECT_LE(spun, 2);
    spin_learn(history, 0, true);
    EXPECT_TRUE(spins());
    EXPECT_TRUE(spins());
}

TEST(ThreadTest, WaitEndsWithTheThreadAndGivesItsExitCode) {
    struct Shared {
        HANDLE release;
        DWORD seen_id;
    } shared = {CreateEventW(nullptr, TRUE, FALSE, nullptr), 0};
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* state = static_cast<Shared*>(parameter);
            state->seen_id = GetCurrentThreadId();
            WaitForSingleObject(state->release, INFINITE);
            return 17;
        },
        &shared, 0, &id);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 259u) << "still active";
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    SetEvent(shared.release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 17u);
    EXPECT_EQ(shared.seen_id, id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_FALSE(ResetEvent(thread)) << "a thread is no event";
    CloseHandle(thread);
    CloseHandle(shared.release);
}

TEST(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    auto other_enters = [&] {
        bool entered = false;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&section);
            if (entered) LeaveCriticalSection(&section);
        });
        other.join();
        return entered;
    };
    EXPECT_FALSE(other_enters());
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_FALSE(other_enters()) << "still held once";
    LeaveCriticalSection(&section);
    EXPECT_TRUE(other_enters());
    DeleteCriticalSection(&section);
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/win32_file_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        path_ = folder_ + "/data.bin";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove(folder_.c_str());
    }
    std::string folder_;
    std::string path_;
};

TEST_F(FileTest, WriteReadSeekAndSize) {
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &count, nullptr));
    EXPECT_EQ(count, 11u);
    CloseHandle(file);

    file = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 11);
    LARGE_INTEGER distance = {};
    distance.QuadPart = 6;
    LARGE_INTEGER position = {};
    ASSERT_TRUE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
    EXPECT_EQ(position.QuadPart, 6);
    char buffer[32] = {};
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "world");
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u) << "end of file is success with no bytes";
    distance.QuadPart = -3;
    ASSERT_TRUE(SetFilePointerEx(file, distance, &position, FILE_END));
    EXPECT_EQ(position.QuadPart, 8);
    distance.QuadPart = -100;
    EXPECT_FALSE(SetFilePointerEx(file, distance, &position, FILE_CURRENT));
    EXPECT_FALSE(WriteFile(file, "x", 1, &count, nullptr)) << "opened for reading only";
    CloseHandle(file);
    EXPECT_FALSE(ReadFile(file, buffer, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FileTest, OpenFailuresSetWindowsErrors) {
    std::string missing = folder_ + "/missing";
    EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::string missing_folder = folder_ + "/no/file";
    EXPECT_EQ(CreateFileA(missing_folder.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA(folder_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "a folder is not opened as a file";

    // OPEN_ALWAYS creates a missing file and keeps an existing one's bytes.
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD count;
    WriteFile(file, "abc", 3, &count, nullptr);
    CloseHandle(file);
    file = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    EXPECT_EQ(size.QuadPart, 3);
    CloseHandle(file);
}

// A FIFO opened to read does not wait for a writer (Windows never waits in CreateFile), and each
// kind of file says what it is.
TEST_F(FileTest, AFifoOpensAtOnceAndEachKindOfFileNamesItsType) {
    std::string fifo = folder_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HANDLE pipe = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::remove(fifo.c_str());
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(pipe), FILE_TYPE_PIPE);
    char buffer[8];
    DWORD count = 1;
    EXPECT_TRUE(ReadFile(pipe, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 0u) << "no writer: the end of the data";
    CloseHandle(pipe);
    HANDLE device = CreateFileA("/dev/null", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(GetFileType(device), FILE_TYPE_CHAR);
    CloseHandle(device);
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(GetFileType(file), FILE_TYPE_DISK);
    CloseHandle(file);
    EXPECT_EQ(GetFileType(file), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// As on Windows, one folder at a time: an existing name and a missing parent are told apart.
TEST_F(FileTest, CreateDirectoryMakesOneFolder) {
    std::string made = folder_ + "/made";
    EXPECT_TRUE(CreateDirectoryA(made.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(made.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA((folder_ + "/no/made").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    WIN32_FILE_ATTRIBUTE_DATA facts;
    ASSERT_TRUE(GetFileAttributesExA(made.c_str(), GetFileExInfoStandard, &facts));
    EXPECT_NE(facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(rmdir(made.c_str()), 0);
}

// As on Windows, a folder's enumeration holds "." and ".." beside its entries.
TEST_F(FileTest, FolderEnumerationReportsTheDotEntries) {
    std::FILE* stream = std::fopen(path_.c_str(), "w");
    std::fputs("12345", stream);
    std::fclose(stream);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder_ + "/*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do {
        names.push_back(data.cFileName);
        if (names.back() == "data.bin") {
            EXPECT_EQ(data.nFileSizeLow, 5u);
        }
        if (names.back() == ".") {
            EXPECT_EQ(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN), FILE_ATTRIBUTE_DIRECTORY);
        }
    } while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "data.bin"}));
}

TEST_F(FileTest, ADescriptorBecomesAFileHandle) {
    std::FILE* stream = std::fopen(path_.c_str(), "w");
    std::fputs("12345", stream);
    std::fclose(stream);
    stream = std::fopen(path_.c_str(), "r");
    HANDLE file = win32_file_handle_from_fd(dup(fileno(stream)));
    std::fclose(stream);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED) << "a file is not waitable";
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(win32_file_handle_from_fd(-1), INVALID_HANDLE_VALUE);
}

TEST(ConsoleControlTest, SignalsRunTheHandlerOnItsOwnThread) {
    static std::atomic<int> calls{0};
    static std::atomic<DWORD> last_type{99};
    static std::atomic<DWORD> handler_thread{0};
    static HANDLE called = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    PHANDLER_ROUTINE handler = [](DWORD type) -> BOOL {
        last_type = type;
        handler_thread = GetCurrentThreadId();
        calls++;
        SetEvent(called);
        return TRUE;
    };
    calls = 0;
    ASSERT_TRUE(SetConsoleCtrlHandler(handler, TRUE));
    std::raise(SIGINT);
    ASSERT_EQ(WaitForSingleObject(called, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(last_type, CTRL_C_EVENT);
    EXPECT_NE(handler_thread, GetCurrentThreadId());
    std::raise(SIGHUP);
    ASSERT_EQ(WaitForSingleObject(called, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(last_type, CTRL_BREAK_EVENT);
    std::raise(SIGTERM);
    ASSERT_EQ(WaitForSingleObject(called, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(last_type, CTRL_CLOSE_EVENT);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(SetConsoleCtrlHandler(handler, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(handler, FALSE)) << "no longer installed";
}

SYSTEMTIME calendar(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = ms;
    return time;
}

uint64_t ticks_of(const FILETIME& time) { return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

TEST(TimeTest, KnownFileTimesAndCalendarDates) {
    struct Row {
        uint64_t ticks;
        SYSTEMTIME date;
        WORD day_of_week;
    };
    const Row rows[] = {
        {0, calendar(1601, 1, 1, 0, 0, 0, 0), 1},
        {116444736000000000ull, calendar(1970, 1, 1, 0, 0, 0, 0), 4},
        {133536836967890000ull, calendar(2024, 2, 29, 12, 34, 56, 789), 4},
        {125912447999990000ull, calendar(2000, 1, 1, 23, 59, 59, 999), 6},
        {2650467743999990000ull, calendar(9999, 12, 31, 23, 59, 59, 999), 5},
    };
    for (const Row& row : rows) {
        FILETIME time = {static_cast<DWORD>(row.ticks), static_cast<DWORD>(row.ticks >> 32)};
        SYSTEMTIME date = {};
        ASSERT_TRUE(FileTimeToSystemTime(&time, &date));
        EXPECT_EQ(date.wYear, row.date.wYear);
        EXPECT_EQ(date.wMonth, row.date.wMonth);
        EXPECT_EQ(date.wDay, row.date.wDay);
        EXPECT_EQ(date.wHour, row.date.wHour);
        EXPECT_EQ(date.wMinute, row.date.wMinute);
        EXPECT_EQ(date.wSecond, row.date.wSecond);
        EXPECT_EQ(date.wMilliseconds, row.date.wMilliseconds);
        EXPECT_EQ(date.wDayOfWeek, row.day_of_week) << row.date.wYear;
        FILETIME back = {};
        ASSERT_TRUE(SystemTimeToFileTime(&row.date, &back));
        EXPECT_EQ(ticks_of(back), row.ticks);
    }
}

TEST(TimeTest, InvalidDatesAreRefused) {
    FILETIME out;
    for (SYSTEMTIME bad : {calendar(2023, 2, 29, 0, 0, 0, 0), calendar(2024, 13, 1, 0, 0, 0, 0),
                           calendar(1600, 12, 31, 0, 0, 0, 0), calendar(2024, 1, 1, 24, 0, 0, 0),
                           calendar(2024, 1, 0, 0, 0, 0, 0), calendar(2024, 1, 1, 0, 0, 0, 1000)})
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &out)) << bad.wYear << "-" << bad.wMonth << "-" << bad.wDay;
    SYSTEMTIME leap = calendar(2000, 2, 29, 0, 0, 0, 0);
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &out));
    FILETIME too_large = {0, 0x80000000u};
    SYSTEMTIME date;
    EXPECT_FALSE(FileTimeToSystemTime(&too_large, &date));
}

TEST(TimeTest, LocalTimeFollowsTheZoneRulesAtThatDate) {
    const char* saved = std::getenv("TZ");
    std::string saved_zone = saved ? saved : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    SYSTEMTIME summer = calendar(2024, 7, 1, 22, 30, 0, 250), winter = calendar(2024, 12, 31, 23, 0, 0, 0);
    SYSTEMTIME local = {};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &summer, &local));
    EXPECT_EQ(local.wDay, 2);
    EXPECT_EQ(local.wHour, 0) << "two hours ahead in summer";
    EXPECT_EQ(local.wMilliseconds, 250);
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &winter, &local));
    EXPECT_EQ(local.wYear, 2025);
    EXPECT_EQ(local.wMonth, 1);
    EXPECT_EQ(local.wHour, 0) << "one hour ahead in winter";
    EXPECT_EQ(local.wDayOfWeek, 3);
    if (saved)
        setenv("TZ", saved_zone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(TimeTest, ClocksAgree) {
    FILETIME now_ticks;
    GetSystemTimeAsFileTime(&now_ticks);
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    SYSTEMTIME converted = {};
    FileTimeToSystemTime(&now_ticks, &converted);
    EXPECT_EQ(now.wYear, converted.wYear);
    uint64_t unix_seconds = ticks_of(now_ticks) / 10000000 - 11644473600ull;
    EXPECT_LE(static_cast<int64_t>(unix_seconds) - static_cast<int64_t>(std::time(nullptr)), 1);
    EXPECT_GE(static_cast<int64_t>(unix_seconds) - static_cast<int64_t>(std::time(nullptr)), -1);
    SYSTEMTIME local = {};
    GetLocalTime(&local);
    EXPECT_GE(local.wYear, 2024);
    uint64_t before = GetTickCount64();
    Sleep(20);
    EXPECT_GE(GetTickCount64() - before, 19u);
}

}  // namespace
