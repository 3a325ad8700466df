// ReadDirectoryChangesW over a folder's subtree: the records of each kind of change, a buffer too
// small for them, cancellation, and the folder tree following folders created and moved.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "win32/win32.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Change {
    DWORD action;
    std::string name;
    bool operator==(const Change&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Change& change) {
    return out << "{" << change.action << ", " << change.name << "}";
}

// UTF-16 back to the bytes of the name, lone surrogates U+DC80..U+DCFF standing for single bytes.
std::string name_from(const WCHAR* text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units) code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (code >= 0xDC80 && code <= 0xDCFF) {
            out.push_back(static_cast<char>(code - 0xDC00));
            continue;
        }
        if (code < 0x80) out.push_back(static_cast<char>(code));
        else if (code < 0x800) out += {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
        else if (code < 0x10000)
            out += {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (code & 0x3F))};
        else
            out += {static_cast<char>(0xF0 | (code >> 18)), static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((code >> 6) & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    }
    return out;
}

constexpr DWORD EVERY_CHANGE = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                               FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

class WatchedFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        base_ = fs::temp_directory_path() / ("swp-changes-test-" + std::to_string(seed()));
        fs::create_directories(base_ / "root");
        fs::create_directories(base_ / "outside");
        folder_ = CreateFileA(root().c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(folder_, INVALID_HANDLE_VALUE);
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(issue(sizeof buffer_));
    }
    void TearDown() override {
        if (pending_ && CancelIoEx(folder_, &overlapped_)) {
            DWORD bytes;
            GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE);
        }
        CloseHandle(folder_);
        CloseHandle(overlapped_.hEvent);
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    std::string root() const { return (base_ / "root").string(); }
    void write(const std::string& relative, const std::string& text) {
        std::ofstream(base_ / relative, std::ios::binary | std::ios::app) << text;
    }

    bool issue(DWORD length) {
        pending_ = ReadDirectoryChangesW(folder_, buffer_, length, TRUE, EVERY_CHANGE, nullptr, &overlapped_, nullptr);
        return pending_;
    }

    // Waits up to ten seconds for the request in flight; its records, then the next request.
    bool take(std::vector<Change>* changes, DWORD* bytes, DWORD next_length = sizeof(DWORD[2048])) {
        if (WaitForSingleObject(overlapped_.hEvent, 10000) != WAIT_OBJECT_0) return false;
        if (!GetOverlappedResult(folder_, &overlapped_, bytes, FALSE)) return false;
        pending_ = false;
        for (DWORD at = 0; *bytes != 0;) {
            FILE_NOTIFY_INFORMATION record;
            std::memcpy(&record, reinterpret_cast<char*>(buffer_) + at, sizeof record);
            const auto* name = reinterpret_cast<const WCHAR*>(reinterpret_cast<char*>(buffer_) + at +
                                                              offsetof(FILE_NOTIFY_INFORMATION, FileName));
            changes->push_back({record.Action, name_from(name, record.FileNameLength / sizeof(WCHAR))});
            if (record.NextEntryOffset == 0) break;
            EXPECT_EQ(record.NextEntryOffset % sizeof(DWORD), 0u);
            at += record.NextEntryOffset;
        }
        return issue(next_length);
    }

    // Takes records until `expected` has been seen in order (other records may come between, as a
    // file written after its creation is also reported modified).
    std::vector<Change> expect_in_order(const std::vector<Change>& expected) {
        std::vector<Change> seen;
        size_t matched = 0;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (matched < expected.size() && Clock::now() < deadline) {
            DWORD bytes = 0;
            std::vector<Change> changes;
            EXPECT_TRUE(take(&changes, &bytes)) << "no records; waiting for " << expected[matched];
            if (changes.empty()) break;
            for (const Change& change : changes) {
                seen.push_back(change);
                if (matched < expected.size() && change == expected[matched]) ++matched;
            }
        }
        EXPECT_EQ(matched, expected.size()) << "seen " << ::testing::PrintToString(seen);
        return seen;
    }

    fs::path base_;
    HANDLE folder_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_ = {};
    bool pending_ = false;
    DWORD buffer_[2048];
};

TEST_F(WatchedFolder, EachKindOfChangeIsReportedWithItsPathBelowTheFolder) {
    write("root/a.txt", "x");
    expect_in_order({{FILE_ACTION_ADDED, "a.txt"}});
    write("root/a.txt", "more");
    expect_in_order({{FILE_ACTION_MODIFIED, "a.txt"}});
    fs::create_directory(base_ / "root/sub");
    expect_in_order({{FILE_ACTION_ADDED, "sub"}});
    // Watched before it was reported: what is made in it from now on is reported.
    write("root/sub/inner.txt", "");
    expect_in_order({{FILE_ACTION_ADDED, "sub\\inner.txt"}});
    fs::rename(base_ / "root/a.txt", base_ / "root/b.txt");
    expect_in_order({{FILE_ACTION_RENAMED_OLD_NAME, "a.txt"}, {FILE_ACTION_RENAMED_NEW_NAME, "b.txt"}});
    fs::rename(base_ / "root/sub", base_ / "root/moved");
    expect_in_order({{FILE_ACTION_RENAMED_OLD_NAME, "sub"}, {FILE_ACTION_RENAMED_NEW_NAME, "moved"}});
    write("root/moved/late.txt", "");
    expect_in_order({{FILE_ACTION_ADDED, "moved\\late.txt"}});
    fs::rename(base_ / "root/b.txt", base_ / "outside/b.txt");
    expect_in_order({{FILE_ACTION_REMOVED, "b.txt"}});
    fs::rename(base_ / "outside/b.txt", base_ / "root/in.txt");
    expect_in_order({{FILE_ACTION_ADDED, "in.txt"}});
    fs::remove(base_ / "root/in.txt");
    expect_in_order({{FILE_ACTION_REMOVED, "in.txt"}});
    // A folder moved out is no longer watched; one moved in is, with its subtree.
    fs::rename(base_ / "root/moved", base_ / "outside/moved");
    expect_in_order({{FILE_ACTION_REMOVED, "moved"}});
    fs::create_directories(base_ / "outside/deep/er");
    fs::rename(base_ / "outside/deep", base_ / "root/deep");
    write("outside/moved/unseen.txt", "");
    expect_in_order({{FILE_ACTION_ADDED, "deep"}});
    write("root/deep/er/seen.txt", "");
    std::string latin1 = "caf\xe9";  // not UTF-8: carried byte for byte
    write("root/" + latin1, "");
    for (const Change& change : expect_in_order({{FILE_ACTION_ADDED, "deep\\er\\seen.txt"}, {FILE_ACTION_ADDED, latin1}}))
        EXPECT_EQ(change.name.find("unseen"), std::string::npos) << change;
    fs::remove_all(base_ / "root/deep");
    expect_in_order({{FILE_ACTION_REMOVED, "deep\\er\\seen.txt"}, {FILE_ACTION_REMOVED, "deep"}});
}

TEST_F(WatchedFolder, RecordsThatDoNotFitCompleteWithZeroBytesAndTheWatchGoesOn) {
    // The next request's buffer is smaller than any record for these names.
    write("root/first.txt", "");
    std::vector<Change> changes;
    DWORD bytes = 0;
    ASSERT_TRUE(take(&changes, &bytes, 16));
    write("root/second.txt", "");
    changes.clear();
    ASSERT_TRUE(take(&changes, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(GetLastError(), ERROR_NOTIFY_ENUM_DIR);
    write("root/third.txt", "");
    expect_in_order({{FILE_ACTION_ADDED, "third.txt"}});
}

TEST_F(WatchedFolder, CancelEndsARequestAndAWaitOnAnotherThread) {
    ASSERT_TRUE(CancelIoEx(folder_, &overlapped_));
    DWORD bytes = 1;
    EXPECT_FALSE(GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(bytes, 0u);
    pending_ = false;
    EXPECT_FALSE(CancelIoEx(folder_, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    // A request without an OVERLAPPED waits on its thread until cancelled from this one.
    std::atomic<bool> ended{false};
    DWORD error = 0;
    std::thread waiter([&] {
        DWORD got = 0;
        DWORD buffer[64];
        BOOL done = ReadDirectoryChangesW(folder_, buffer, sizeof buffer, TRUE, EVERY_CHANGE, &got, nullptr, nullptr);
        error = done ? 0 : GetLastError();
        ended = true;
    });
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!CancelIoEx(folder_, nullptr) && Clock::now() < deadline) std::this_thread::yield();
    waiter.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadDirectoryChangesW(INVALID_HANDLE_VALUE, buffer_, sizeof buffer_, TRUE, EVERY_CHANGE, nullptr,
                                       &overlapped_, nullptr));
}

// The first request on a large tree spends a while placing its watches: a cancel meanwhile ends it
// there, and a later request places them anew.
HANDLE g_setup_folder = INVALID_HANDLE_VALUE;
int g_setup_steps = 0;
BOOL g_setup_cancelled = FALSE;

TEST_F(WatchedFolder, CancelEndsAFirstRequestWhileItPlacesItsWatches) {
    for (int i = 0; i < 20; ++i) fs::create_directories(base_ / "outside" / ("d" + std::to_string(i)) / "e");
    g_setup_folder = CreateFileA((base_ / "outside").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(g_setup_folder, INVALID_HANDLE_VALUE);
    g_setup_steps = 0;
    SetDirectoryWatchSetupHook([] {
        if (++g_setup_steps == 3) g_setup_cancelled = CancelIoEx(g_setup_folder, nullptr);
    });
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD buffer[64];
    BOOL issued = ReadDirectoryChangesW(g_setup_folder, buffer, sizeof buffer, TRUE, EVERY_CHANGE, nullptr,
                                        &overlapped, nullptr);
    DWORD error = GetLastError();
    SetDirectoryWatchSetupHook(nullptr);
    EXPECT_TRUE(g_setup_cancelled);
    EXPECT_FALSE(issued);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(g_setup_steps, 3) << "the placing stops at the cancel";

    ASSERT_TRUE(ReadDirectoryChangesW(g_setup_folder, buffer, sizeof buffer, TRUE, EVERY_CHANGE, nullptr,
                                      &overlapped, nullptr));
    write("outside/d7/e/new.txt", "x");
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), WAIT_OBJECT_0) << "the folders below are watched";
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(g_setup_folder, &overlapped, &bytes, FALSE));
    EXPECT_GT(bytes, 0u);
    CloseHandle(g_setup_folder);
    CloseHandle(overlapped.hEvent);
}

}  // namespace
