#include "host/index/index_scan.h"

#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/debug.h"
#include "host/error_words.h"
#include "host/index/folder_read.h"
#include "host/utf8_path.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool scan_name_is_indexable(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    return name.find_first_of("\\\r\n") == std::string_view::npos;
}

ScanNode scan_node_from(DWORD attributes, uint64_t size, const FILETIME& created, const FILETIME& modified) {
    ScanNode node = {};
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) node.flags |= ENTRY_FOLDER;
    if (attributes & FILE_ATTRIBUTE_READONLY) node.flags |= ENTRY_READ_ONLY;
    if (attributes & FILE_ATTRIBUTE_HIDDEN) node.flags |= ENTRY_HIDDEN;
    if (!(node.flags & ENTRY_FOLDER)) node.size = size;
    node.date_created = filetime_value(created);
    node.date_modified = filetime_value(modified);
    return node;
}

ScanNode index_node_from(const WIN32_FIND_DATAA& data, uint32_t parent) {
    uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    ScanNode node = scan_node_from(data.dwFileAttributes, size, data.ftCreationTime, data.ftLastWriteTime);
    node.parent = parent;
    return node;
}

namespace {

void add_node(ScanState& scan, std::string_view name, uint32_t parent, const WIN32_FIND_DATAA& data) {
    ScanNode node = index_node_from(data, parent);
    node.name_offset = static_cast<uint32_t>(scan.names.size());
    node.name_length = static_cast<uint8_t>(name.size());
    scan.names.append(name);
    scan.nodes.push_back(node);
}

// The folder of this machine that a scanned folder stands for, at any depth: the names from the
// folder up to its root's, then in order after the root's folder (a root's node number is its index
// in `roots`).
std::string node_folder(const ScanState& scan, const std::vector<IndexRootFolder>& roots, uint32_t index) {
    std::vector<uint32_t> chain;
    uint32_t at = index;
    for (; scan.nodes[at].parent != INDEX_NO_ENTRY; at = scan.nodes[at].parent) chain.push_back(at);
    assert(at < roots.size() && roots[at].entry == at);
    std::string path = roots[at].folder;
    for (auto node = chain.rbegin(); node != chain.rend(); ++node) {
        if (path.empty() || path.back() != '/') path.push_back('/');
        path.append(node_name(scan, scan.nodes[*node]));
    }
    return path;
}

// Two threads take folders in node order and append their children at the end, under one lock,
// so that every folder's children stay contiguous and come after it.
class ParallelScan {
public:
    ParallelScan(ScanState& scan, const std::vector<IndexRootFolder>& roots) : scan_(scan), roots_(roots) {}

    bool run(std::string* error) {
        std::thread helper([this] { work(); });
        work();
        helper.join();
        if (overflow_) *error = stopped() ? "stopped" : "too many entries to index";
        return !overflow_;
    }

private:
    void work() {
        FolderRead read;
        std::unique_lock<std::mutex> guard(lock_);
        while (true) {
            while (next_ < scan_.nodes.size() && !(scan_.nodes[next_].flags & ENTRY_FOLDER)) ++next_;
            if (stopped()) overflow_ = true;
            if (next_ == scan_.nodes.size() || overflow_) {
                if (busy_ == 0 || overflow_) {
                    changed_.notify_all();
                    return;
                }
                changed_.wait(guard);
                continue;
            }
            uint32_t folder = next_++;
            std::string path = node_folder(scan_, roots_, folder);
            ++busy_;
            guard.unlock();
            folder_read(path, &read);
            guard.lock();
            --busy_;
            append(folder, read);
            changed_.notify_all();
        }
    }

    void append(uint32_t folder, const FolderRead& read) {
        if (scan_.nodes.size() + read.nodes.size() >= 0xFFFFFFF0u || scan_.names.size() + read.names.size() >= 0xF0000000u) {
            overflow_ = true;
            return;
        }
        auto first = static_cast<uint32_t>(scan_.nodes.size());
        auto names_base = static_cast<uint32_t>(scan_.names.size());
        scan_.names.append(read.names);
        for (ScanNode node : read.nodes) {
            node.name_offset += names_base;
            node.parent = folder;
            scan_.nodes.push_back(node);
        }
        scan_.nodes[folder].first_child = first;
        scan_.nodes[folder].child_count = static_cast<uint32_t>(read.nodes.size());
        scan_.skipped += read.skipped;
        for (const ScanSkip& skip : read.named_skips)
            if (scan_.named_skips.size() < SCAN_NAMED_SKIPS) scan_.named_skips.push_back(skip);
        progress_show(&scan_.progress, scan_.nodes.size());
    }

    ScanState& scan_;
    const std::vector<IndexRootFolder>& roots_;
    std::mutex lock_;
    std::condition_variable changed_;
    uint32_t next_ = 0;
    int busy_ = 0;
    bool overflow_ = false;  // or stopped

    bool stopped() const { return scan_.stop && scan_.stop->load(std::memory_order_relaxed); }
};

// The root folder's own facts (it is given by the user, so a link to it is followed).
bool add_root(ScanState& scan, const IndexRoot& root, std::vector<IndexRootFolder>* folders, std::string* error) {
    std::error_code failure;
    // Resolved once here, so that the folder's own path holds no link when files are opened below it.
    std::filesystem::path folder = std::filesystem::canonical(utf8_path(root.folder), failure);
    if (failure || !std::filesystem::is_directory(folder, failure)) {
        bool exists = std::filesystem::exists(std::filesystem::symlink_status(utf8_path(root.folder), failure));
        *error = "cannot index \"" + root.folder + "\": " + (exists ? "not a folder" : "it does not exist");
        return false;
    }
    // A root that cannot be read would be served as an empty folder, hiding the mistake.
    std::string unreadable;
    if (!folder_readable(utf8_path_text(folder), &unreadable)) {
        *error = "cannot index \"" + root.folder + "\": " + unreadable;
        return false;
    }
    std::filesystem::path given = std::filesystem::absolute(utf8_path(root.folder), failure).lexically_normal();
    std::string name = root.name.empty() ? utf8_path_text(given.filename()) : root.name;
    if (name.empty()) name = utf8_path_text(given.parent_path().filename());
    if (!scan_name_is_indexable(name) || name.find('/') != std::string::npos || name == "." ||
        name == "..") {
        *error = "cannot index \"" + root.folder + "\" as \"" + name + "\": not a usable name (give one with DIR=NAME)";
        return false;
    }
    for (const IndexRootFolder& other : *folders)
        if (node_name(scan, scan.nodes[other.entry]) == name) {
            *error = "two indexed folders have the name \"" + name + "\" (give one another name with DIR=NAME)";
            return false;
        }
    folders->push_back({utf8_path_text(folder.lexically_normal()), static_cast<uint32_t>(scan.nodes.size())});
    add_node(scan, name, INDEX_NO_ENTRY, index_root_data(folders->back().folder, name));
    return true;
}

}  // namespace

WIN32_FIND_DATAA index_root_data(const std::string& folder, std::string_view name) {
    std::error_code failure;
    WIN32_FIND_DATAA data = {};
    data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    // The folder's times come as its entries' do (its birth time, where the system records one).
    if (!folder_times(folder, &data.ftCreationTime, &data.ftLastWriteTime)) {
        constexpr FILETIME UNKNOWN = {static_cast<DWORD>(INDEXED_UNKNOWN), static_cast<DWORD>(INDEXED_UNKNOWN >> 32)};
        data.ftCreationTime = data.ftLastWriteTime = UNKNOWN;
    }
    auto permissions = std::filesystem::status(utf8_path(folder), failure).permissions();
    using std::filesystem::perms;
    if ((permissions & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none)
        data.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.') data.dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
    return data;
}

void index_scan_report(const ScanState& scan, size_t entries, double seconds) {
    console_printf("swp-host: indexed %zu entries in %.2f s (%zu skipped)\n", entries, seconds,
                   scan.skipped);
    size_t named = 0;
    for (const ScanSkip& skip : scan.named_skips) {
        // A name may hold a line feed: it is shown escaped so that it stays on its line.
        std::string path;
        for (char byte : skip.path) {
            if (byte == '\n') path += "\\n";
            else if (byte == '\r') path += "\\r";
            else path += byte;
        }
        if (skip.entries == 0)
            console_printf("swp-host: skipped %s: %s\n", path.c_str(), skip.reason.c_str());
        else
            console_printf("swp-host: skipped %zu %s in %s: %s\n", skip.entries,
                           skip.entries == 1 ? "entry" : "entries", path.c_str(), skip.reason.c_str());
        named += std::max<size_t>(skip.entries, 1);
    }
    if (scan.skipped > named) console_printf("swp-host: and %zu more skipped\n", scan.skipped - named);
}

void folder_read_skip(FolderRead* read, const std::string& path, std::string reason) {
    ++read->skipped;
    if (read->named_skips.size() < SCAN_NAMED_SKIPS) read->named_skips.push_back({path, std::move(reason)});
}

void folder_read_skip_in(FolderRead* read, const std::string& folder, size_t entries, std::string reason) {
    read->skipped += entries;
    if (read->named_skips.size() < SCAN_NAMED_SKIPS) read->named_skips.push_back({folder, std::move(reason), entries});
}

uint64_t filetime_value(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool index_scan_roots(const std::vector<IndexRoot>& roots, ScanState* scan, std::vector<IndexRootFolder>* folders,
                      std::string* error) {
    for (const IndexRoot& root : roots)
        if (!add_root(*scan, root, folders, error)) return false;
    return true;
}

bool index_scan_below(ScanState* scan, const std::vector<IndexRootFolder>& folders, std::string* error) {
    progress_start(&scan->progress, "indexing");
    bool scanned = ParallelScan(*scan, folders).run(error);
    progress_end(&scan->progress);
    return scanned;
}

bool index_scan(const std::vector<IndexRoot>& roots, ScanState* scan, std::vector<IndexRootFolder>* folders,
                std::string* error) {
    return index_scan_roots(roots, scan, folders, error) && index_scan_below(scan, *folders, error);
}

}  // namespace host
