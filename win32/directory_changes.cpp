// ReadDirectoryChangesW over inotify, with GetOverlappedResult and CancelIoEx for its requests, and
// GetUnwatchedFoldersA.
//
// The first request on a folder handle makes the folder's watch: an inotify instance with one watch
// per folder of the subtree. A folder that is created or moved in later gets its watches when its
// event is read, before the event is reported, so that whoever reads the folder on the report
// misses nothing made in it. One thread of this layer reads every instance, turns the events into
// FILE_NOTIFY_INFORMATION records and keeps them in the watch until a request takes them.
//
// Threads meet in g_changes: every watch, its records and its request in flight are guarded by
// g_changes.lock. A request's OVERLAPPED is written under the lock, its status last (release), and
// then its event is set; GetOverlappedResult reads the status without the lock (acquire).
#include <dirent.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "win32/directory_changes.h"
#include "win32/handle_table.h"
#include "win32/kernel_objects.h"

namespace {

using Clock = std::chrono::steady_clock;

// Request states, as Windows keeps them in OVERLAPPED::Internal.
constexpr ULONG_PTR STATUS_SUCCESS = 0;
constexpr ULONG_PTR STATUS_PENDING = 0x103;
constexpr ULONG_PTR STATUS_NOTIFY_ENUM_DIR = 0x10C;
constexpr ULONG_PTR STATUS_DELETE_PENDING = 0xC0000056;
constexpr ULONG_PTR STATUS_CANCELLED = 0xC0000120;

constexpr uint32_t WATCH_EVENTS = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_EXCL_UNLINK | IN_ONLYDIR;
// How long the first half of a move waits for its second before it counts as a move out.
constexpr auto MOVE_PAIR_WAIT = std::chrono::milliseconds(10);
constexpr uint32_t NO_FOLDER = 0xFFFFFFFF;
constexpr int FOLDER_UNWATCHED = -1;
constexpr int FOLDER_FREE = -2;
constexpr size_t RECORD_HEADER = offsetof(FILE_NOTIFY_INFORMATION, FileName);
// Events read at once: a few hundred, so that records outgrow `capacity` by little.
constexpr size_t READ_CHUNK = 4096;
// Records held beyond this many times `capacity` are dropped as an overflow (names of unusual length).
constexpr size_t RECORD_HOLD_FACTOR = 8;

// One folder of a watched subtree. A folder without a watch (the system's limit was reached) is a
// leaf: nothing below it is known until it is watched.
struct WatchFolder {
    int wd = FOLDER_FREE;  // FOLDER_UNWATCHED, or FOLDER_FREE for a slot that holds no folder
    uint32_t parent = NO_FOLDER;
    uint32_t first_child = NO_FOLDER;   // subfolders, linked through next_sibling
    uint32_t next_sibling = NO_FOLDER;
    std::string name;  // empty for the watched folder itself
};

struct DirectoryWatch {
    int inotify = -1;
    int folder_fd = -1;  // the watched folder, the start of every relative path
    std::string base;    // "/proc/self/fd/N": the same folder for inotify_add_watch
    bool subtree = false;
    DWORD filter = 0;
    std::vector<WatchFolder> folders;  // [0] is the watched folder
    std::vector<uint32_t> free_folders;
    std::vector<uint32_t> by_wd;  // folder of each watch descriptor (the system numbers them from 1)
    // While the first request places the watches: raised to WATCH_SETUP_CANCELLED by CancelIoEx.
    const std::atomic<int>* setup = nullptr;
    // Records not yet taken, each DWORD-aligned. Beyond `capacity` bytes (the first request's
    // buffer) nothing more is read until a request takes them: the changes wait in the system's
    // queue, and only when that overflows are they lost.
    std::deque<std::string> records;
    size_t record_bytes = 0;
    size_t capacity = 0;
    bool paused = false;  // out of the reading thread's interest while full
    bool overflowed = false;
    bool deleted = false;
    bool limit_reached = false;  // some folder may be unwatched
    // The request in flight.
    OVERLAPPED* request = nullptr;
    char* request_buffer = nullptr;
    DWORD request_length = 0;
    // The first half of a move, until its second half or MOVE_PAIR_WAIT.
    bool move_held = false;
    uint32_t move_cookie = 0;
    int move_parent_wd = -1;
    std::string move_name;
    bool move_folder = false;
    Clock::time_point move_held_at;
};

struct ChangeService {
    std::mutex lock;
    std::condition_variable completed;  // a request completed
    int epoll = -1;
    int wake = -1;
    uint64_t next_watch = 1;
    std::unordered_map<uint64_t, DirectoryWatch*> watches;
};

// Never destroyed: the reading thread lives as long as the process.
ChangeService& g_changes = *new ChangeService;
std::atomic<void (*)()> g_setup_hook{nullptr};

// ---------------------------------------------------------------------------------------------------
// Names: UTF-8 to UTF-16, with the bytes of a name that is not UTF-8 kept as lone surrogates.

// The length of the UTF-8 sequence at text[at], with its code point; 0 when it is none.
size_t utf8_sequence(const std::string& text, size_t at, char32_t* code) {
    auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
    char32_t value = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < SMALLEST[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
    *code = value;
    return length;
}

std::u16string utf16_from(const std::string& text) {
    std::u16string out;
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        size_t length = utf8_sequence(text, at, &code);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text[at])));
            ++at;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        at += length;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------------
// The folder tree of a watch.

std::string folder_path(const DirectoryWatch& watch, uint32_t folder, char separator) {
    std::vector<const std::string*> names;
    for (uint32_t at = folder; at != 0 && at != NO_FOLDER; at = watch.folders[at].parent)
        names.push_back(&watch.folders[at].name);
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (!path.empty()) path.push_back(separator);
        path += **name;
    }
    return path;
}

std::string child_path(const DirectoryWatch& watch, uint32_t folder, const std::string& name, char separator) {
    std::string path = folder_path(watch, folder, separator);
    if (!path.empty()) path.push_back(separator);
    return path + name;
}

uint32_t folder_of_wd(const DirectoryWatch& watch, int wd) {
    return wd >= 0 && static_cast<size_t>(wd) < watch.by_wd.size() ? watch.by_wd[wd] : NO_FOLDER;
}

void wd_set(DirectoryWatch& watch, int wd, uint32_t folder) {
    if (static_cast<size_t>(wd) >= watch.by_wd.size()) watch.by_wd.resize(wd + 1, NO_FOLDER);
    watch.by_wd[wd] = folder;
}

uint32_t folder_add(DirectoryWatch& watch, uint32_t parent, const std::string& name) {
    uint32_t folder;
    if (!watch.free_folders.empty()) {
        folder = watch.free_folders.back();
        watch.free_folders.pop_back();
    } else {
        folder = static_cast<uint32_t>(watch.folders.size());
        watch.folders.emplace_back();
    }
    WatchFolder& added = watch.folders[folder];
    added = WatchFolder{};
    added.wd = FOLDER_UNWATCHED;
    added.parent = parent;
    added.name = name;
    if (parent != NO_FOLDER) {
        added.next_sibling = watch.folders[parent].first_child;
        watch.folders[parent].first_child = folder;
    }
    return folder;
}

uint32_t folder_child(const DirectoryWatch& watch, uint32_t parent, const std::string& name) {
    for (uint32_t child = watch.folders[parent].first_child; child != NO_FOLDER; child = watch.folders[child].next_sibling)
        if (watch.folders[child].name == name) return child;
    return NO_FOLDER;
}

void folder_unlink(DirectoryWatch& watch, uint32_t folder) {
    uint32_t parent = watch.folders[folder].parent;
    if (parent != NO_FOLDER) {
        uint32_t* link = &watch.folders[parent].first_child;
        while (*link != NO_FOLDER && *link != folder) link = &watch.folders[*link].next_sibling;
        if (*link == folder) *link = watch.folders[folder].next_sibling;
    }
    watch.folders[folder].parent = NO_FOLDER;
    watch.folders[folder].next_sibling = NO_FOLDER;
}

// Forgets a folder and everything below it; `unwatch` also removes their watches (a folder moved
// out still exists, and its watches would go on reporting).
void folder_drop(DirectoryWatch& watch, uint32_t folder, bool unwatch) {
    folder_unlink(watch, folder);
    std::vector<uint32_t> stack{folder};
    while (!stack.empty()) {
        uint32_t at = stack.back();
        stack.pop_back();
        WatchFolder& dropped = watch.folders[at];
        for (uint32_t child = dropped.first_child; child != NO_FOLDER; child = watch.folders[child].next_sibling)
            stack.push_back(child);
        if (dropped.wd >= 0) {
            if (folder_of_wd(watch, dropped.wd) == at) watch.by_wd[dropped.wd] = NO_FOLDER;
            if (unwatch) inotify_rm_watch(watch.inotify, dropped.wd);
        }
        dropped = WatchFolder{};
        watch.free_folders.push_back(at);
    }
}

int open_subfolder(int parent, const char* name) {
    int fd;
    do fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The subfolders of an open folder, links left out.
std::vector<std::string> subfolder_names(int fd) {
    std::vector<std::string> names;
    alignas(8) char buffer[16384];
    struct Dirent64 {
        uint64_t d_ino;
        int64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[1];
    };
    while (true) {
        long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            auto* entry = reinterpret_cast<Dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            bool is_folder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat facts;
                is_folder = fstatat(fd, name, &facts, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(facts.st_mode);
            }
            if (is_folder) names.emplace_back(name);
        }
    }
    return names;
}

// Counts a folder and the folders below it (for an unwatched folder, whose subtree is not kept).
DWORD folders_below(const DirectoryWatch& watch, const std::string& relative) {
    DWORD count = 0;
    std::vector<int> open{open_subfolder(watch.folder_fd, relative.empty() ? "." : relative.c_str())};
    while (!open.empty()) {
        int fd = open.back();
        open.pop_back();
        if (fd < 0) continue;
        ++count;
        for (const std::string& name : subfolder_names(fd)) open.push_back(open_subfolder(fd, name.c_str()));
        close(fd);
    }
    return count;
}

// Watches an open folder of the tree; false when it cannot be watched (then a leaf, or forgotten
// when it has vanished).
bool folder_watch(DirectoryWatch& watch, uint32_t folder, int fd) {
    // The descriptor's link leads to the folder itself, whatever its path.
    int wd = inotify_add_watch(watch.inotify, ("/proc/self/fd/" + std::to_string(fd)).c_str(),
                               WATCH_EVENTS & ~IN_DONT_FOLLOW);
    if (wd < 0) {
        if (errno == ENOSPC || errno == ENOMEM) watch.limit_reached = true;
        else if (folder != 0) folder_drop(watch, folder, false);
        return false;
    }
    uint32_t known = folder_of_wd(watch, wd);
    if (known != NO_FOLDER && known != folder && watch.folders[known].wd == wd) {
        // Already in the tree (seen by a walk and by an event): the first stays.
        folder_drop(watch, folder, false);
        return false;
    }
    wd_set(watch, wd, folder);
    watch.folders[folder].wd = wd;
    return true;
}

// Watches a folder of the tree and, for a subtree watch, every folder below it, depth first with
// the folders on the way open (so that each is reached from its parent alone). A folder whose path
// from the watched folder is longer than a path may be is left out with what is below it: no path
// could name what changes there, and the walk holds at most one descriptor per name of a path.
void folder_watch_subtree(DirectoryWatch& watch, uint32_t top) {
    std::string relative = folder_path(watch, top, '/');
    int top_fd = open_subfolder(watch.folder_fd, relative.empty() ? "." : relative.c_str());
    if (top_fd < 0) {
        if (top != 0) folder_drop(watch, top, false);
        return;
    }
    struct Frame {
        int fd;
        uint32_t folder;
        size_t length;  // of its path from the watched folder
        std::vector<std::string> pending;  // subfolders still to watch
    };
    std::vector<Frame> stack;
    auto enter = [&](int fd, uint32_t folder, size_t length) {
        if (!folder_watch(watch, folder, fd) || !watch.subtree) return static_cast<void>(close(fd));
        stack.push_back({fd, folder, length, subfolder_names(fd)});
    };
    enter(top_fd, top, relative.size());
    while (!stack.empty()) {
        if (auto hook = watch.setup ? g_setup_hook.load() : nullptr) hook();
        if (watch.setup && watch.setup->load(std::memory_order_relaxed) == WATCH_SETUP_CANCELLED) {
            for (const Frame& open : stack) close(open.fd);
            return;
        }
        Frame& frame = stack.back();
        if (frame.pending.empty()) {
            close(frame.fd);
            stack.pop_back();
            continue;
        }
        std::string name = std::move(frame.pending.back());
        frame.pending.pop_back();
        size_t length = frame.length + (frame.length != 0) + name.size();
        if (length >= PATH_MAX || folder_child(watch, frame.folder, name) != NO_FOLDER) continue;
        uint32_t child = folder_add(watch, frame.folder, name);
        int fd = open_subfolder(frame.fd, name.c_str());
        if (fd < 0) {
            folder_drop(watch, child, false);
            continue;
        }
        enter(fd, child, length);
    }
}

// ---------------------------------------------------------------------------------------------------
// Records and requests. Called with g_changes.lock held.

void records_drop(DirectoryWatch& watch) {
    watch.records.clear();
    watch.record_bytes = 0;
}

void record_add(DirectoryWatch& watch, DWORD action, const std::string& path) {
    if (watch.overflowed) return;  // everything is read again anyway
    std::u16string name = utf16_from(path);
    DWORD name_bytes = static_cast<DWORD>(name.size() * sizeof(char16_t));
    std::string record((RECORD_HEADER + name_bytes + 3) & ~size_t{3}, '\0');
    FILE_NOTIFY_INFORMATION header = {0, action, name_bytes, {0}};
    std::memcpy(record.data(), &header, RECORD_HEADER);
    std::memcpy(record.data() + RECORD_HEADER, name.data(), name_bytes);
    // A file written in many pieces is reported once while nobody takes the records.
    if (action == FILE_ACTION_MODIFIED && !watch.records.empty() && watch.records.back() == record) return;
    if (watch.record_bytes + record.size() > watch.capacity * RECORD_HOLD_FACTOR) {
        watch.overflowed = true;
        return records_drop(watch);
    }
    watch.record_bytes += record.size();
    watch.records.push_back(std::move(record));
}

bool filter_reports(const DirectoryWatch& watch, DWORD action, bool folder) {
    if (action == FILE_ACTION_MODIFIED)
        return watch.filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                               FILE_NOTIFY_CHANGE_CREATION);
    return watch.filter & (folder ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME);
}

void report(DirectoryWatch& watch, DWORD action, uint32_t folder, const std::string& name, bool is_folder) {
    if (filter_reports(watch, action, is_folder)) record_add(watch, action, child_path(watch, folder, name, '\\'));
}

void request_complete(DirectoryWatch& watch, ULONG_PTR status, DWORD bytes) {
    OVERLAPPED* overlapped = watch.request;
    watch.request = nullptr;
    HANDLE event = overlapped->hEvent;  // read first: once the status is out, the caller may free it
    overlapped->InternalHigh = bytes;
    std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(status, std::memory_order_release);
    if (event) SetEvent(event);
    g_changes.completed.notify_all();
}

// Completes the request in flight with as many whole records as its buffer holds.
void request_try_complete(DirectoryWatch& watch) {
    if (!watch.request) return;
    if (watch.deleted) return request_complete(watch, STATUS_DELETE_PENDING, 0);
    if (!watch.overflowed && !watch.records.empty() && watch.records.front().size() > watch.request_length) {
        watch.overflowed = true;  // a buffer too small for any record: Windows reports an overflow too
        records_drop(watch);
    }
    if (watch.overflowed) {
        watch.overflowed = false;
        return request_complete(watch, STATUS_NOTIFY_ENUM_DIR, 0);
    }
    if (watch.records.empty()) return;
    DWORD bytes = 0, previous = 0;
    while (!watch.records.empty() && bytes + watch.records.front().size() <= watch.request_length) {
        const std::string& record = watch.records.front();
        if (bytes != 0) {
            DWORD offset = bytes - previous;
            std::memcpy(watch.request_buffer + previous, &offset, sizeof offset);
        }
        std::memcpy(watch.request_buffer + bytes, record.data(), record.size());
        previous = bytes;
        bytes += static_cast<DWORD>(record.size());
        watch.record_bytes -= record.size();
        watch.records.pop_front();
    }
    request_complete(watch, STATUS_SUCCESS, bytes);
}

bool watch_full(const DirectoryWatch& watch) { return !watch.request && watch.record_bytes >= watch.capacity; }

// Takes the watch in or out of the reading thread's interest.
void watch_interest(DirectoryWatch& watch, uint64_t id, bool reading) {
    if (watch.paused == !reading) return;
    epoll_event interest = {};
    interest.events = reading ? static_cast<uint32_t>(EPOLLIN) : 0u;
    interest.data.u64 = id;
    epoll_ctl(g_changes.epoll, EPOLL_CTL_MOD, watch.inotify, &interest);
    watch.paused = !reading;
}

// ---------------------------------------------------------------------------------------------------
// Events.

// A move whose second half did not come: the entry left the watched tree.
void move_flush(DirectoryWatch& watch) {
    if (!watch.move_held) return;
    watch.move_held = false;
    uint32_t parent = folder_of_wd(watch, watch.move_parent_wd);
    if (parent == NO_FOLDER) return;
    report(watch, FILE_ACTION_REMOVED, parent, watch.move_name, watch.move_folder);
    if (!watch.move_folder) return;
    uint32_t moved = folder_child(watch, parent, watch.move_name);
    if (moved != NO_FOLDER) folder_drop(watch, moved, true);
}

void folder_created(DirectoryWatch& watch, uint32_t parent, const std::string& name) {
    if (!watch.subtree || folder_child(watch, parent, name) != NO_FOLDER) return;
    folder_watch_subtree(watch, folder_add(watch, parent, name));
}

// The folder tree follows a folder moved inside the watched tree.
void move_folder(DirectoryWatch& watch, uint32_t old_parent, uint32_t new_parent, const std::string& name) {
    std::string path = watch.base + "/" + child_path(watch, new_parent, name, '/');
    // Asking for the folder's watch again names the one it has, whatever its path was.
    int wd = inotify_add_watch(watch.inotify, path.c_str(), WATCH_EVENTS);
    uint32_t known = folder_of_wd(watch, wd);
    uint32_t moved = known != NO_FOLDER               ? known
                     : old_parent != NO_FOLDER ? folder_child(watch, old_parent, watch.move_name)
                                               : NO_FOLDER;
    if (moved == NO_FOLDER || moved == 0) {
        if (wd >= 0 && known == NO_FOLDER) inotify_rm_watch(watch.inotify, wd);
        return folder_created(watch, new_parent, name);
    }
    folder_unlink(watch, moved);
    watch.folders[moved].parent = new_parent;
    watch.folders[moved].name = name;
    watch.folders[moved].next_sibling = watch.folders[new_parent].first_child;
    watch.folders[new_parent].first_child = moved;
    // A folder the limit had left unwatched may have a watch now: it and its subtree get theirs.
    if (wd >= 0 && watch.folders[moved].wd == FOLDER_UNWATCHED) folder_watch_subtree(watch, moved);
}

void watch_resync(DirectoryWatch& watch);

void event_translate(DirectoryWatch& watch, const inotify_event& event, const std::string& name) {
    if (event.mask & IN_Q_OVERFLOW) {
        watch.overflowed = true;
        records_drop(watch);
        return watch_resync(watch);
    }
    uint32_t folder = folder_of_wd(watch, event.wd);
    if (folder == NO_FOLDER) return;
    if (event.mask & (IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF)) {
        if (folder == 0) watch.deleted = true;
        else if (event.mask & IN_IGNORED) folder_drop(watch, folder, false);
        return;
    }
    if (name.empty()) return;  // the folder's own change: its parent reports it
    bool is_folder = event.mask & IN_ISDIR;
    bool second_half = (event.mask & IN_MOVED_TO) && watch.move_held && event.cookie == watch.move_cookie;
    if (!second_half) move_flush(watch);
    if (event.mask & IN_MOVED_FROM) {
        watch.move_held = true;
        watch.move_cookie = event.cookie;
        watch.move_parent_wd = event.wd;
        watch.move_name = name;
        watch.move_folder = is_folder;
        watch.move_held_at = Clock::now();
        return;
    }
    if (second_half) {
        watch.move_held = false;
        uint32_t from = folder_of_wd(watch, watch.move_parent_wd);
        if (from != NO_FOLDER) report(watch, FILE_ACTION_RENAMED_OLD_NAME, from, watch.move_name, is_folder);
        if (is_folder && watch.subtree) move_folder(watch, from, folder, name);
        report(watch, from != NO_FOLDER ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED, folder, name, is_folder);
        return;
    }
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
        if (is_folder) folder_created(watch, folder, name);
        return report(watch, FILE_ACTION_ADDED, folder, name, is_folder);
    }
    if (event.mask & IN_DELETE) {
        // A watched folder is forgotten on its own IN_IGNORED; an unwatched one only here.
        uint32_t child = is_folder ? folder_child(watch, folder, name) : NO_FOLDER;
        if (child != NO_FOLDER && watch.folders[child].wd == FOLDER_UNWATCHED) folder_drop(watch, child, false);
        return report(watch, FILE_ACTION_REMOVED, folder, name, is_folder);
    }
    if (event.mask & (IN_MODIFY | IN_ATTRIB)) report(watch, FILE_ACTION_MODIFIED, folder, name, is_folder);
}

// After lost events the tree is made again from the disk; watches of folders no longer in it go.
void watch_resync(DirectoryWatch& watch) {
    watch.move_held = false;
    std::vector<int> old_wds;
    for (size_t wd = 0; wd < watch.by_wd.size(); ++wd)
        if (watch.by_wd[wd] != NO_FOLDER) old_wds.push_back(static_cast<int>(wd));
    int root_wd = watch.folders[0].wd;
    watch.folders.resize(1);
    watch.folders[0].first_child = NO_FOLDER;
    watch.free_folders.clear();
    watch.by_wd.clear();
    folder_watch_subtree(watch, 0);
    for (int wd : old_wds)
        if (wd != root_wd && folder_of_wd(watch, wd) == NO_FOLDER) inotify_rm_watch(watch.inotify, wd);
}

void watch_read_events(DirectoryWatch& watch, uint64_t id) {
    alignas(inotify_event) char buffer[READ_CHUNK];
    while (true) {
        if (watch_full(watch)) return watch_interest(watch, id, false);
        ssize_t got = read(watch.inotify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(got);) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            // The name follows the header, padded with zero bytes.
            const char* text = buffer + at + sizeof event;
            std::string name(text, strnlen(text, event.len));
            event_translate(watch, event, name);
            at += sizeof event + event.len;
        }
        request_try_complete(watch);
    }
    request_try_complete(watch);
}

// The earliest time a held move must be flushed, for the reading thread's wait.
int wait_milliseconds() {
    int wait = -1;
    for (const auto& [id, watch] : g_changes.watches) {
        if (!watch->move_held) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(watch->move_held_at + MOVE_PAIR_WAIT -
                                                                          Clock::now());
        int milliseconds = static_cast<int>(std::max<int64_t>(1, left.count() + 1));
        wait = wait < 0 ? milliseconds : std::min(wait, milliseconds);
    }
    return wait;
}

void changes_thread() {
    epoll_event ready[16];
    int wait = -1;
    while (true) {
        int count = epoll_wait(g_changes.epoll, ready, 16, wait);
        if (count < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> guard(g_changes.lock);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.u64 == 0) {
                uint64_t ignored;
                ssize_t drained = read(g_changes.wake, &ignored, sizeof ignored);
                (void)drained;
                continue;
            }
            auto found = g_changes.watches.find(ready[i].data.u64);
            if (found != g_changes.watches.end()) watch_read_events(*found->second, found->first);
        }
        for (const auto& [id, watch] : g_changes.watches)
            if (watch->move_held && Clock::now() - watch->move_held_at >= MOVE_PAIR_WAIT) {
                move_flush(*watch);
                request_try_complete(*watch);
            }
        wait = wait_milliseconds();
    }
}

// Called with g_changes.lock held.
bool changes_start() {
    if (g_changes.epoll >= 0) return true;
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event interest = {};
    interest.events = EPOLLIN;
    interest.data.u64 = 0;
    if (epoll < 0 || wake < 0 || epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &interest) != 0) {
        if (epoll >= 0) close(epoll);
        if (wake >= 0) close(wake);
        return false;
    }
    g_changes.epoll = epoll;
    g_changes.wake = wake;
    std::thread(changes_thread).detach();
    return true;
}

void watch_free(DirectoryWatch* watch) {
    if (watch->inotify >= 0) close(watch->inotify);
    if (watch->folder_fd >= 0) close(watch->folder_fd);
    delete watch;
}

// Makes the watch of an open folder: every folder of its subtree is watched before this returns,
// unless `setup` is cancelled meanwhile (then null with ERROR_OPERATION_ABORTED).
DirectoryWatch* watch_create(int fd, bool subtree, DWORD filter, DWORD capacity, const std::atomic<int>* setup) {
    auto* watch = new DirectoryWatch;
    watch->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch->folder_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (watch->inotify < 0 || watch->folder_fd < 0) {
        DWORD error = win32_error_from_errno(errno);
        watch_free(watch);
        SetLastError(error);
        return nullptr;
    }
    watch->base = "/proc/self/fd/" + std::to_string(watch->folder_fd);
    watch->subtree = subtree;
    watch->filter = filter;
    watch->capacity = capacity;
    folder_add(*watch, NO_FOLDER, "");
    watch->setup = setup;
    folder_watch_subtree(*watch, 0);
    watch->setup = nullptr;
    if (setup->load() == WATCH_SETUP_CANCELLED) {
        watch_free(watch);
        SetLastError(ERROR_OPERATION_ABORTED);
        return nullptr;
    }
    if (watch->folders[0].wd < 0) {
        DWORD error = errno == ENOSPC ? ERROR_NOT_ENOUGH_MEMORY : win32_error_from_errno(errno);
        watch_free(watch);
        SetLastError(error);
        return nullptr;
    }
    return watch;
}

// The watch of a folder handle, made by its first request. 0 on failure, with the error set.
uint64_t watch_of(const KernelObjectRef& file, bool subtree, DWORD filter, DWORD capacity) {
    std::lock_guard<std::mutex> object_guard(file->lock);
    if (file->watch != 0) return file->watch;
    struct stat facts;
    if (fstat(file->fd, &facts) != 0 || !S_ISDIR(facts.st_mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    file->watch_setup.store(WATCH_SETUP_RUNNING);
    DirectoryWatch* watch = watch_create(file->fd, subtree, filter, capacity, &file->watch_setup);
    file->watch_setup.store(WATCH_SETUP_NONE);
    if (!watch) return 0;
    std::lock_guard<std::mutex> guard(g_changes.lock);
    epoll_event interest = {};
    interest.events = EPOLLIN;
    interest.data.u64 = g_changes.next_watch;
    if (!changes_start() || epoll_ctl(g_changes.epoll, EPOLL_CTL_ADD, watch->inotify, &interest) != 0) {
        watch_free(watch);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    file->watch = g_changes.next_watch++;
    g_changes.watches[file->watch] = watch;
    return file->watch;
}

uint64_t watch_of_handle(HANDLE handle) {
    KernelObjectRef file = kernel_handle_get(handle, KernelObjectKind::FILE);
    if (!file) return 0;
    std::lock_guard<std::mutex> guard(file->lock);
    return file->watch;
}

ULONG_PTR overlapped_status(OVERLAPPED* overlapped) {
    return std::atomic_ref<ULONG_PTR>(overlapped->Internal).load(std::memory_order_acquire);
}

}  // namespace

void directory_watch_end(uint64_t id) {
    DirectoryWatch* watch = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_changes.lock);
        auto found = g_changes.watches.find(id);
        if (found == g_changes.watches.end()) return;
        watch = found->second;
        g_changes.watches.erase(found);
        if (watch->request) request_complete(*watch, STATUS_CANCELLED, 0);
        epoll_ctl(g_changes.epoll, EPOLL_CTL_DEL, watch->inotify, nullptr);
    }
    watch_free(watch);
}

BOOL ReadDirectoryChangesW(HANDLE directory, void* buffer, DWORD length, BOOL watch_subtree, DWORD notify_filter,
                           DWORD* bytes_returned, OVERLAPPED* overlapped, void* completion_routine) {
    if (!buffer || length < sizeof(FILE_NOTIFY_INFORMATION) || notify_filter == 0 || completion_routine ||
        reinterpret_cast<uintptr_t>(buffer) % alignof(DWORD) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    KernelObjectRef file = kernel_handle_get(directory, KernelObjectKind::FILE);
    if (!file) return FALSE;
    uint64_t id = watch_of(file, watch_subtree != FALSE, notify_filter, length);
    if (id == 0) return FALSE;
    OVERLAPPED own = {};
    OVERLAPPED* request = overlapped ? overlapped : &own;
    {
        std::lock_guard<std::mutex> guard(g_changes.lock);
        DirectoryWatch* watch = g_changes.watches.at(id);
        if (watch->request) {
            SetLastError(ERROR_INVALID_PARAMETER);  // one request at a time here
            return FALSE;
        }
        if (watch->deleted) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        watch->filter = notify_filter;
        watch->request = request;
        watch->request_buffer = static_cast<char*>(buffer);
        watch->request_length = length;
        request->InternalHigh = 0;
        std::atomic_ref<ULONG_PTR>(request->Internal).store(STATUS_PENDING, std::memory_order_relaxed);
        if (request->hEvent) ResetEvent(request->hEvent);
        request_try_complete(*watch);
        if (!watch_full(*watch)) watch_interest(*watch, id, true);
    }
    if (overlapped) return TRUE;
    DWORD bytes = 0;
    BOOL done = GetOverlappedResult(directory, request, &bytes, TRUE);
    if (bytes_returned) *bytes_returned = bytes;
    return done;
}

BOOL GetOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD* bytes_transferred, BOOL wait) {
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (overlapped_status(overlapped) == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::unique_lock<std::mutex> guard(g_changes.lock);
        g_changes.completed.wait(guard, [&] { return overlapped_status(overlapped) != STATUS_PENDING; });
    }
    ULONG_PTR status = overlapped_status(overlapped);
    if (bytes_transferred) *bytes_transferred = static_cast<DWORD>(overlapped->InternalHigh);
    switch (status) {
        case STATUS_SUCCESS: return TRUE;
        case STATUS_NOTIFY_ENUM_DIR: SetLastError(ERROR_NOTIFY_ENUM_DIR); return TRUE;
        case STATUS_CANCELLED: SetLastError(ERROR_OPERATION_ABORTED); return FALSE;
        default: SetLastError(ERROR_ACCESS_DENIED); return FALSE;
    }
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
    // A first request still placing its watches is the handle's only request: it ends as cancelled.
    KernelObjectRef object = kernel_handle_get(file, KernelObjectKind::FILE);
    int running = WATCH_SETUP_RUNNING;
    if (object && object->watch_setup.compare_exchange_strong(running, WATCH_SETUP_CANCELLED)) return TRUE;
    uint64_t id = watch_of_handle(file);
    if (id != 0) {
        std::lock_guard<std::mutex> guard(g_changes.lock);
        auto found = g_changes.watches.find(id);
        DirectoryWatch* watch = found == g_changes.watches.end() ? nullptr : found->second;
        if (watch && watch->request && (!overlapped || overlapped == watch->request)) {
            request_complete(*watch, STATUS_CANCELLED, 0);
            return TRUE;
        }
    }
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

void SetDirectoryWatchSetupHook(void (*hook)()) { g_setup_hook = hook; }

DWORD GetUnwatchedFoldersA(HANDLE directory, char* paths, DWORD size, DWORD* unwatched_folders) {
    if (unwatched_folders) *unwatched_folders = 0;
    uint64_t id = watch_of_handle(directory);
    std::lock_guard<std::mutex> guard(g_changes.lock);
    auto found = g_changes.watches.find(id);
    if (found == g_changes.watches.end()) return 0;
    DirectoryWatch& watch = *found->second;
    if (!watch.limit_reached) return 0;
    std::vector<uint32_t> unwatched;
    for (uint32_t folder = 0; folder < watch.folders.size(); ++folder)
        if (watch.folders[folder].wd == FOLDER_UNWATCHED) unwatched.push_back(folder);
    watch.limit_reached = !unwatched.empty();
    DWORD written = 0;
    for (uint32_t folder : unwatched) {
        std::string path = folder_path(watch, folder, '\\');
        if (paths && written + path.size() + 1 <= size) {
            std::memcpy(paths + written, path.c_str(), path.size() + 1);
            written += static_cast<DWORD>(path.size() + 1);
        }
        if (unwatched_folders) *unwatched_folders += folders_below(watch, folder_path(watch, folder, '/'));
    }
    for (uint32_t folder : unwatched) folder_watch_subtree(watch, folder);
    return static_cast<DWORD>(unwatched.size());
}
