// Threads meet in g_watcher: the watching thread alone issues and reads the requests; `lock`
// guards each root's folder handle, which watch_unwatched() uses from the updater's thread and
// watch_stop() closes, and `starting`, which watch_start_cancel() reads from the host's thread to
// cancel the first requests; `stopping` and the shared event end the thread.
#include "host/index/index_watch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/debug.h"
#include "host/error_words.h"
#include "host/index/disk_beneath.h"

namespace host {
namespace {

constexpr DWORD WATCH_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                               FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                               FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;
constexpr size_t WATCH_BUFFER_WORDS = 16384;  // 64 KiB of records per request
constexpr DWORD UNWATCHED_LIST_BYTES = 1 << 20;

struct WatchedRoot {
    std::string folder;
    HANDLE handle = INVALID_HANDLE_VALUE;  // guarded by Watcher::lock
    OVERLAPPED overlapped = {};
    std::vector<DWORD> buffer = std::vector<DWORD>(WATCH_BUFFER_WORDS);
    bool pending = false;
    bool opening = false;  // its first request is being made; guarded by Watcher::lock
};

struct Watcher {
    std::mutex lock;
    std::condition_variable started_changed;
    bool started = false;
    bool starting = false;  // watch_start() waits for the first requests
    const std::atomic<bool>* cancel = nullptr;  // raised: no more first requests are issued
    std::vector<WatchedRoot> roots;
    HANDLE event = nullptr;  // set by every request's completion, and to stop
    std::atomic<bool> stopping{false};
    WatchSink sink = nullptr;
    std::thread thread;
};

// Never destroyed: a thread of a process that ends without stopping it may still use it.
Watcher& g_watcher = *new Watcher;

void append_utf8(std::string* out, char32_t code) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// A record's name as the disk's bytes: UTF-8, with a lone surrogate U+DC80..U+DCFF standing for
// one byte of a name that is not UTF-8, and "/" between folder names.
std::string path_from(const WCHAR* text, size_t units) {
    std::string path;
    for (size_t i = 0; i < units; ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            path.push_back(static_cast<char>(code - 0xDC00));
            continue;
        }
        append_utf8(&path, code == '\\' ? U'/' : code);
    }
    return path;
}

WatchAction action_from(DWORD action) {
    switch (action) {
        case FILE_ACTION_ADDED: return WatchAction::ADDED;
        case FILE_ACTION_REMOVED: return WatchAction::REMOVED;
        case FILE_ACTION_RENAMED_OLD_NAME: return WatchAction::RENAMED_OLD;
        case FILE_ACTION_RENAMED_NEW_NAME: return WatchAction::RENAMED_NEW;
        default: return WatchAction::MODIFIED;
    }
}

void records_read(uint32_t root, const char* records, DWORD bytes, std::vector<WatchNote>* notes) {
    if (bytes == 0) {
        notes->push_back({root, WatchAction::OVERFLOW, {}});
        return;
    }
    constexpr size_t HEADER = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    for (DWORD at = 0; at + HEADER <= bytes;) {
        FILE_NOTIFY_INFORMATION record;
        std::memcpy(&record, records + at, HEADER);
        if (at + HEADER + record.FileNameLength > bytes) break;
        std::vector<WCHAR> name(record.FileNameLength / sizeof(WCHAR));
        std::memcpy(name.data(), records + at + HEADER, name.size() * sizeof(WCHAR));
        notes->push_back({root, action_from(record.Action), path_from(name.data(), name.size())});
        if (record.NextEntryOffset == 0) break;
        at += record.NextEntryOffset;
    }
}

bool request_issue(WatchedRoot& root) {
    root.overlapped = {};
    root.overlapped.hEvent = g_watcher.event;
    root.pending = ReadDirectoryChangesW(root.handle, root.buffer.data(), static_cast<DWORD>(root.buffer.size() * sizeof(DWORD)),
                                         TRUE, WATCH_FILTER, nullptr, &root.overlapped, nullptr) != FALSE;
    return root.pending;
}

void root_close(WatchedRoot& root) {
    std::lock_guard<std::mutex> guard(g_watcher.lock);
    if (root.handle != INVALID_HANDLE_VALUE) CloseHandle(root.handle);
    root.handle = INVALID_HANDLE_VALUE;
}

bool start_cancelled() { return g_watcher.cancel && g_watcher.cancel->load(); }

void root_open(WatchedRoot& root) {
    if (start_cancelled()) return;
    HANDLE handle = CreateFileA(root.folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    {
        std::lock_guard<std::mutex> guard(g_watcher.lock);
        root.handle = handle;
        root.opening = true;
    }
    // The first request makes the watch: changes from its return on are reported.
    bool issued = handle != INVALID_HANDLE_VALUE && request_issue(root);
    {
        std::lock_guard<std::mutex> guard(g_watcher.lock);
        root.opening = false;
    }
    if (issued) return;
    if (start_cancelled()) return root_close(root);
    console_printf("swp-host: cannot watch %s for changes (%s): it is read again only on request (SIGHUP)\n",
                   root.folder.c_str(), error_words(GetLastError()).c_str());
    root_close(root);
}

// Takes each completed request's records and asks again at once.
void requests_collect(std::vector<WatchNote>* notes) {
    for (uint32_t index = 0; index < g_watcher.roots.size(); ++index) {
        WatchedRoot& root = g_watcher.roots[index];
        if (!root.pending) continue;
        DWORD bytes = 0;
        bool completed = GetOverlappedResult(root.handle, &root.overlapped, &bytes, FALSE) != FALSE;
        DWORD error = completed ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_INCOMPLETE) continue;
        root.pending = false;
        // Records that overflowed the buffer are dropped and the request ends with zero bytes, as a
        // success or (as Windows may report it) a failure with ERROR_NOTIFY_ENUM_DIR. Either way the
        // watch goes on, and zero bytes are read as an overflow.
        if (!completed && error != ERROR_NOTIFY_ENUM_DIR) {
            // A request the stop cancelled while the watches were placed says nothing.
            if (!start_cancelled())
                console_printf("swp-host: %s is no longer watched for changes (%s)\n", root.folder.c_str(),
                               error_words(error).c_str());
            notes->push_back({index, WatchAction::LOST, {}});
            root_close(root);
            continue;
        }
        if (!completed) bytes = 0;
        records_read(index, reinterpret_cast<const char*>(root.buffer.data()), bytes, notes);
        if (!request_issue(root)) {
            notes->push_back({index, WatchAction::LOST, {}});
            root_close(root);
        }
    }
}

void watcher_main() {
    for (WatchedRoot& root : g_watcher.roots) root_open(root);
    {
        std::lock_guard<std::mutex> guard(g_watcher.lock);
        g_watcher.started = true;
        g_watcher.starting = false;
    }
    g_watcher.started_changed.notify_all();
    std::vector<WatchNote> notes;
    while (true) {
        WaitForSingleObject(g_watcher.event, INFINITE);
        if (g_watcher.stopping.load()) break;
        // Reset before collecting: a completion after this point sets the event again.
        ResetEvent(g_watcher.event);
        requests_collect(&notes);
        if (!notes.empty()) g_watcher.sink(&notes);
        notes.clear();
    }
    for (WatchedRoot& root : g_watcher.roots) {
        if (root.pending && CancelIoEx(root.handle, &root.overlapped)) {
            DWORD bytes;
            GetOverlappedResult(root.handle, &root.overlapped, &bytes, TRUE);
        }
        root.pending = false;
        root_close(root);
    }
}

}  // namespace

void watch_start(const std::vector<std::string>& folders, WatchSink sink, const std::atomic<bool>* cancel) {
    {
        std::lock_guard<std::mutex> guard(g_watcher.lock);
        g_watcher.roots.clear();
        for (const std::string& folder : folders) g_watcher.roots.push_back({folder});
        g_watcher.started = false;
        g_watcher.starting = true;
        g_watcher.cancel = cancel;
    }
    g_watcher.sink = sink;
    g_watcher.stopping = false;
    g_watcher.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_watcher.thread = std::thread(watcher_main);
    std::unique_lock<std::mutex> guard(g_watcher.lock);
    g_watcher.started_changed.wait(guard, [] { return g_watcher.started; });
}

void watch_start_cancel() {
    // A cancel can reach the watching thread before its request has begun and find none: it is
    // repeated until the thread has passed every first request.
    constexpr auto RETRY = std::chrono::milliseconds(10);
    std::unique_lock<std::mutex> guard(g_watcher.lock);
    while (g_watcher.starting) {
        for (WatchedRoot& root : g_watcher.roots)
            if (root.opening && root.handle != INVALID_HANDLE_VALUE) CancelIoEx(root.handle, nullptr);
        g_watcher.started_changed.wait_for(guard, RETRY, [] { return !g_watcher.starting; });
    }
}

void watch_stop() {
    if (!g_watcher.thread.joinable()) return;
    g_watcher.stopping = true;
    SetEvent(g_watcher.event);
    g_watcher.thread.join();
    CloseHandle(g_watcher.event);
    g_watcher.event = nullptr;
}

bool watch_unwatched(uint32_t root, std::vector<std::string>* paths, uint32_t* folders) {
    paths->clear();
    *folders = 0;
    std::string list(UNWATCHED_LIST_BYTES, '\0');
    DWORD topmost = 0, below = 0;
    {
        std::lock_guard<std::mutex> guard(g_watcher.lock);
        if (root >= g_watcher.roots.size() || g_watcher.roots[root].handle == INVALID_HANDLE_VALUE) return true;
        topmost = disk_unwatched_folders(g_watcher.roots[root].handle, list.data(), UNWATCHED_LIST_BYTES, &below);
    }
    *folders = below;
    for (size_t at = 0; at < list.size() && list[at] != '\0' && paths->size() < topmost;) {
        size_t end = list.find('\0', at);
        std::string path = list.substr(at, end - at);
        for (char& c : path)
            if (c == '\\') c = '/';
        paths->push_back(std::move(path));
        at = end + 1;
    }
    return paths->size() == topmost;
}

}  // namespace host
