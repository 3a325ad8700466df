// Building the index: a breadth-first scan of the root folders through FindFirstFileA (which never
// follows symbolic links), then the snapshot's name order, child lists, folder sizes and folds.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <string>
#include <system_error>
#include <thread>

#include "host/index/index.h"
#include "host/index/index_store.h"
#include "host/index/text_fold.h"
#include "win32/find_files.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// An entry as the scan finds it; the scan appends a folder's children one after the other, so
// they are contiguous and come after their folder.
struct ScanNode {
    uint64_t size;
    uint64_t date_created;
    uint64_t date_modified;
    uint32_t name_offset;
    uint32_t parent;
    uint32_t first_child;
    uint32_t child_count;
    uint8_t name_length;
    uint8_t flags;
};

struct ScanState {
    std::vector<ScanNode> nodes;
    std::string names;
    size_t skipped = 0;
    bool show_progress = false;
    Clock::time_point started;
    Clock::time_point last_progress;
};

uint64_t filetime_value(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string_view node_name(const ScanState& scan, const ScanNode& node) {
    return {scan.names.data() + node.name_offset, node.name_length};
}

// Names that an index path cannot carry (a backslash separates path names) or that would break
// the line-based protocols that show them (CR, LF).
bool name_is_indexable(const char* name, size_t length) {
    if (length == 0 || length > 255) return false;
    return std::memchr(name, '\\', length) == nullptr && std::memchr(name, '\n', length) == nullptr &&
           std::memchr(name, '\r', length) == nullptr;
}

// The facts of one entry as FindFirstFileA reports them.
ScanNode node_from(const WIN32_FIND_DATAA& data, uint32_t parent) {
    ScanNode node = {};
    node.parent = parent;
    DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) node.flags |= ENTRY_FOLDER;
    if (attributes & FILE_ATTRIBUTE_READONLY) node.flags |= ENTRY_READ_ONLY;
    if (attributes & FILE_ATTRIBUTE_HIDDEN) node.flags |= ENTRY_HIDDEN;
    if (!(node.flags & ENTRY_FOLDER)) node.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    node.date_created = filetime_value(data.ftCreationTime);
    node.date_modified = filetime_value(data.ftLastWriteTime);
    return node;
}

void add_node(ScanState& scan, std::string_view name, uint32_t parent, const WIN32_FIND_DATAA& data) {
    ScanNode node = node_from(data, parent);
    node.name_offset = static_cast<uint32_t>(scan.names.size());
    node.name_length = static_cast<uint8_t>(name.size());
    scan.names.append(name);
    scan.nodes.push_back(node);
}

void show_progress(ScanState& scan, bool force) {
    Clock::time_point now = Clock::now();
    if (!force && now - scan.last_progress < std::chrono::milliseconds(100)) return;
    scan.last_progress = now;
    double seconds = std::chrono::duration<double>(now - scan.started).count();
    double rate = seconds > 0 ? static_cast<double>(scan.nodes.size()) / seconds : 0;
    std::fprintf(stderr, "\rswp-host: indexing... %zu entries (%.0f/s)\x1b[K", scan.nodes.size(), rate);
    std::fflush(stderr);
}

// The folder of this machine that a scanned folder stands for.
std::string node_folder(const ScanState& scan, const std::vector<IndexRootFolder>& roots, uint32_t index) {
    uint32_t chain[256];
    int depth = 0;
    uint32_t at = index;
    while (scan.nodes[at].parent != INDEX_NO_ENTRY && depth < 256) {
        chain[depth++] = at;
        at = scan.nodes[at].parent;
    }
    std::string path = roots[at].folder;
    for (int i = depth - 1; i >= 0; --i) {
        if (path.empty() || path.back() != '/') path.push_back('/');
        path.append(node_name(scan, scan.nodes[chain[i]]));
    }
    return path;
}

// The children of one folder, read without holding the scan's lock.
struct FolderRead {
    std::vector<ScanNode> nodes;  // name_offset into names
    std::string names;
    size_t skipped = 0;
};

void read_folder(const std::string& folder, FolderRead* read) {
    read->nodes.clear();
    read->names.clear();
    read->skipped = 0;
    std::string pattern = folder;
    if (pattern.empty() || pattern.back() != '/') pattern.push_back('/');
    pattern.push_back('*');
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ++read->skipped;
        return;
    }
    do {
        // Links are neither indexed nor followed; devices, pipes and sockets are not files to serve.
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) continue;
        size_t length = std::strlen(data.cFileName);
        if (!name_is_indexable(data.cFileName, length)) {
            ++read->skipped;
            continue;
        }
        ScanNode node = node_from(data, 0);
        node.name_offset = static_cast<uint32_t>(read->names.size());
        node.name_length = static_cast<uint8_t>(length);
        read->names.append(data.cFileName, length);
        read->nodes.push_back(node);
    } while (FindNextFileA(find, &data));
    read->skipped += FindSkippedCount(find);
    FindClose(find);
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
        if (overflow_) *error = "too many entries to index";
        return !overflow_;
    }

private:
    void work() {
        FolderRead read;
        std::unique_lock<std::mutex> guard(lock_);
        while (true) {
            while (next_ < scan_.nodes.size() && !(scan_.nodes[next_].flags & ENTRY_FOLDER)) ++next_;
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
            read_folder(path, &read);
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
        if (scan_.show_progress) show_progress(scan_, false);
    }

    ScanState& scan_;
    const std::vector<IndexRootFolder>& roots_;
    std::mutex lock_;
    std::condition_variable changed_;
    uint32_t next_ = 0;
    int busy_ = 0;
    bool overflow_ = false;
};

uint64_t filetime_from_file_time(std::filesystem::file_time_type time) {
    auto system = std::chrono::file_clock::to_sys(time);
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(system.time_since_epoch()).count() / 100;
    return static_cast<uint64_t>(ticks + 116444736000000000LL);
}

// The root folder's own facts (it is given by the user, so a link to it is followed).
bool add_root(ScanState& scan, const IndexRoot& root, std::vector<IndexRootFolder>* folders, std::string* error) {
    std::error_code failure;
    // Resolved once here, so that the folder's own path holds no link when files are opened below it.
    std::filesystem::path folder = std::filesystem::canonical(root.folder, failure);
    if (failure || !std::filesystem::is_directory(folder, failure)) {
        *error = "cannot index \"" + root.folder + "\": not a folder";
        return false;
    }
    std::filesystem::path given = std::filesystem::absolute(root.folder, failure).lexically_normal();
    std::string name = root.name.empty() ? given.filename().string() : root.name;
    if (name.empty()) name = given.parent_path().filename().string();
    if (!name_is_indexable(name.data(), name.size()) || name.find('/') != std::string::npos || name == "." ||
        name == "..") {
        *error = "cannot index \"" + root.folder + "\" as \"" + name + "\": not a usable name (give one with DIR=NAME)";
        return false;
    }
    for (const IndexRootFolder& other : *folders)
        if (node_name(scan, scan.nodes[other.entry]) == name) {
            *error = "two indexed folders have the name \"" + name + "\" (give one another name with DIR=NAME)";
            return false;
        }
    WIN32_FIND_DATAA data = {};
    data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    auto modified = std::filesystem::last_write_time(folder, failure);
    uint64_t time = failure ? INDEXED_UNKNOWN : filetime_from_file_time(modified);
    data.ftCreationTime = data.ftLastWriteTime = {static_cast<DWORD>(time & 0xFFFFFFFF), static_cast<DWORD>(time >> 32)};
    auto permissions = std::filesystem::status(folder, failure).permissions();
    using std::filesystem::perms;
    if ((permissions & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none)
        data.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (name[0] == '.') data.dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
    folders->push_back({folder.lexically_normal().string(), static_cast<uint32_t>(scan.nodes.size())});
    add_node(scan, name, INDEX_NO_ENTRY, data);
    return true;
}

// ---------------------------------------------------------------------------------------------------
// From the scan's nodes to the snapshot.

// Folded names of the scan's nodes, made by two threads over halves of the nodes. The two
// further forms of non-ASCII names go to `extra` (see ExtraFold).
struct FoldedNames {
    std::vector<uint32_t> offset;  // into text[part of the node]
    std::vector<uint16_t> length;
    std::vector<uint32_t> extra;   // into extra_text, or INDEX_NO_ENTRY for an ASCII name
    std::string text[2];
    std::string extra_text[2];
    uint32_t split = 0;            // nodes below it are in part 0
    std::string_view of(uint32_t node) const {
        return {text[node >= split].data() + offset[node], length[node]};
    }
};

void append_length_and_form(std::string_view name, unsigned folds, std::string* out) {
    size_t at = out->size();
    out->append(sizeof(uint16_t), '\0');
    text_fold_append(name, folds, out);
    auto length = static_cast<uint16_t>(std::min<size_t>(out->size() - at - sizeof(uint16_t), 0xFFFF));
    std::memcpy(out->data() + at, &length, sizeof length);
}

void fold_part(const ScanState& scan, FoldedNames& folded, int part, uint32_t from, uint32_t to) {
    std::string& text = folded.text[part];
    std::string& extra = folded.extra_text[part];
    text.reserve((scan.names.size() / 2) + (scan.names.size() / 16));
    for (uint32_t i = from; i < to; ++i) {
        std::string_view name = node_name(scan, scan.nodes[i]);
        size_t before = text.size();
        text_fold_append(name, FOLD_CASE | FOLD_MARKS, &text);
        folded.offset[i] = static_cast<uint32_t>(before);
        folded.length[i] = static_cast<uint16_t>(std::min<size_t>(text.size() - before, 0xFFFF));
        folded.extra[i] = INDEX_NO_ENTRY;
        if (text_is_ascii(name)) continue;
        folded.extra[i] = static_cast<uint32_t>(extra.size());
        append_length_and_form(name, FOLD_CASE, &extra);
        append_length_and_form(name, FOLD_MARKS, &extra);
    }
}

FoldedNames fold_names(const ScanState& scan) {
    FoldedNames folded;
    auto count = static_cast<uint32_t>(scan.nodes.size());
    folded.offset.resize(count);
    folded.length.resize(count);
    folded.extra.resize(count);
    folded.split = count / 2;
    std::thread helper([&] { fold_part(scan, folded, 1, folded.split, count); });
    fold_part(scan, folded, 0, 0, folded.split);
    helper.join();
    return folded;
}

// Name order between two nodes, without the path: folded name, then name bytes.
int compare_names(const ScanState& scan, const FoldedNames& folded, uint32_t a, uint32_t b) {
    int order = folded.of(a).compare(folded.of(b));
    if (order != 0) return order;
    return node_name(scan, scan.nodes[a]).compare(node_name(scan, scan.nodes[b]));
}

// The rank of each folder in path order (depth first, siblings in name order); 0 is the root.
std::vector<uint32_t> rank_folders(const ScanState& scan, const FoldedNames& folded) {
    const auto& nodes = scan.nodes;
    std::vector<uint32_t> rank(nodes.size(), 0);
    auto name_greater = [&](uint32_t a, uint32_t b) { return compare_names(scan, folded, a, b) > 0; };
    // The stack holds siblings in reverse name order, so that the smallest is taken first.
    std::vector<uint32_t> stack;
    for (uint32_t i = 0; i < nodes.size() && nodes[i].parent == INDEX_NO_ENTRY; ++i) stack.push_back(i);
    std::sort(stack.begin(), stack.end(), name_greater);
    uint32_t next = 1;
    std::vector<uint32_t> folders;
    while (!stack.empty()) {
        uint32_t folder = stack.back();
        stack.pop_back();
        rank[folder] = next++;
        folders.clear();
        const ScanNode& node = nodes[folder];
        for (uint32_t c = node.first_child; c < node.first_child + node.child_count; ++c)
            if (nodes[c].flags & ENTRY_FOLDER) folders.push_back(c);
        std::sort(folders.begin(), folders.end(), name_greater);
        stack.insert(stack.end(), folders.begin(), folders.end());
    }
    return rank;
}

// The first 24 bytes of a folded name, so that most comparisons of the name sort stay in the key.
struct NameKey {
    uint64_t prefix[3];
    uint32_t node;
};

NameKey name_key(std::string_view text, uint32_t node) {
    NameKey key = {{0, 0, 0}, node};
    for (size_t word = 0; word < 3; ++word)
        for (size_t i = 0; i < 8; ++i) {
            size_t at = word * 8 + i;
            key.prefix[word] = (key.prefix[word] << 8) | (at < text.size() ? static_cast<unsigned char>(text[at]) : 0);
        }
    return key;
}

// Node numbers in name order: folded name, name bytes, then the path order of the parent.
// Two threads sort one half each; the halves are then merged.
std::vector<uint32_t> order_by_name(const ScanState& scan, const FoldedNames& folded,
                                    const std::vector<uint32_t>& folder_rank) {
    std::vector<NameKey> keys(scan.nodes.size());
    for (uint32_t i = 0; i < keys.size(); ++i) keys[i] = name_key(folded.of(i), i);
    auto parent_rank = [&](uint32_t node) {
        uint32_t parent = scan.nodes[node].parent;
        return parent == INDEX_NO_ENTRY ? 0u : folder_rank[parent];
    };
    auto less = [&](const NameKey& a, const NameKey& b) {
        for (int word = 0; word < 3; ++word)
            if (a.prefix[word] != b.prefix[word]) return a.prefix[word] < b.prefix[word];
        int order = compare_names(scan, folded, a.node, b.node);
        if (order != 0) return order < 0;
        return parent_rank(a.node) < parent_rank(b.node);
    };
    auto middle = keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2);
    std::thread helper([&] { std::sort(middle, keys.end(), less); });
    std::sort(keys.begin(), middle, less);
    helper.join();
    std::vector<NameKey> merged(keys.size());
    std::merge(keys.begin(), middle, middle, keys.end(), merged.begin(), less);
    std::vector<uint32_t> order(merged.size());
    for (size_t i = 0; i < merged.size(); ++i) order[i] = merged[i].node;
    return order;
}

// One part of the entries with its own arenas; the parts are joined afterwards.
struct EntryPart {
    std::string names, folded;
    std::vector<ExtraFold> extra_folds;
};

void fill_entry_range(IndexSnapshot& s, const ScanState& scan, const FoldedNames& folded,
                      const std::vector<uint32_t>& order, const std::vector<uint32_t>& entry_of, uint32_t from,
                      uint32_t to, EntryPart* part) {
    auto second_extra = static_cast<uint32_t>(folded.extra_text[0].size());
    for (uint32_t e = from; e < to; ++e) {
        uint32_t node_number = order[e];
        const ScanNode& node = scan.nodes[node_number];
        IndexEntry& entry = s.entries[e];
        entry.size = node.size;
        entry.date_created = node.date_created;
        entry.date_modified = node.date_modified;
        entry.parent = node.parent == INDEX_NO_ENTRY ? INDEX_NO_ENTRY : entry_of[node.parent];
        entry.first_child = entry.child_count = 0;
        entry.name_length = node.name_length;
        entry.flags = node.flags;
        entry.name_offset = static_cast<uint32_t>(part->names.size());
        part->names.append(node_name(scan, node));
        part->names.push_back('\n');
        entry.folded_offset = static_cast<uint32_t>(part->folded.size());
        entry.folded_length = folded.length[node_number];
        part->folded.append(folded.of(node_number));
        part->folded.push_back('\n');
        if (folded.extra[node_number] != INDEX_NO_ENTRY) {
            entry.flags |= ENTRY_NON_ASCII;
            uint32_t offset = folded.extra[node_number] + (node_number >= folded.split ? second_extra : 0);
            part->extra_folds.push_back({e, offset});
        }
    }
}

// Records, arenas and folds of the snapshot in name order, filled by two threads.
void fill_entries(IndexSnapshot& s, const ScanState& scan, FoldedNames& folded, const std::vector<uint32_t>& order,
                  const std::vector<uint32_t>& entry_of) {
    auto count = static_cast<uint32_t>(order.size());
    uint32_t half = count / 2;
    s.entries.resize(count);
    EntryPart first, second;
    first.names.reserve(scan.names.size() / 2 + count);
    first.folded.reserve(first.names.capacity());
    std::thread helper([&] { fill_entry_range(s, scan, folded, order, entry_of, half, count, &second); });
    fill_entry_range(s, scan, folded, order, entry_of, 0, half, &first);
    helper.join();
    auto names_base = static_cast<uint32_t>(first.names.size());
    auto folded_base = static_cast<uint32_t>(first.folded.size());
    for (uint32_t e = half; e < count; ++e) {
        s.entries[e].name_offset += names_base;
        s.entries[e].folded_offset += folded_base;
    }
    s.names = std::move(first.names);
    s.names += second.names;
    s.names.shrink_to_fit();
    s.folded = std::move(first.folded);
    s.folded += second.folded;
    s.folded.shrink_to_fit();
    s.extra_folds = std::move(first.extra_folds);
    s.extra_folds.insert(s.extra_folds.end(), second.extra_folds.begin(), second.extra_folds.end());
    s.extra_folds.shrink_to_fit();
    s.extra_text = std::move(folded.extra_text[0]);
    s.extra_text += folded.extra_text[1];
    s.extra_text.shrink_to_fit();
}

// Each folder's children in enumeration order (folders first, then by name bytes), sorted at the
// scan's positions, where a folder's children and their names lie side by side.
std::vector<uint32_t> sort_children(const ScanState& scan) {
    std::vector<uint32_t> children(scan.nodes.size());
    std::iota(children.begin(), children.end(), 0u);
    auto enumeration_less = [&](uint32_t a, uint32_t b) {
        bool folder_a = scan.nodes[a].flags & ENTRY_FOLDER, folder_b = scan.nodes[b].flags & ENTRY_FOLDER;
        if (folder_a != folder_b) return folder_a;
        return node_name(scan, scan.nodes[a]) < node_name(scan, scan.nodes[b]);
    };
    auto place = [&](uint32_t first, uint32_t count) {
        std::sort(children.begin() + first, children.begin() + first + count, enumeration_less);
    };
    uint32_t top = 0;
    while (top < scan.nodes.size() && scan.nodes[top].parent == INDEX_NO_ENTRY) ++top;
    place(0, top);
    for (const ScanNode& node : scan.nodes)
        if (node.flags & ENTRY_FOLDER) place(node.first_child, node.child_count);
    return children;
}

void fill_children(IndexSnapshot& s, const ScanState& scan, const std::vector<uint32_t>& sorted,
                   const std::vector<uint32_t>& entry_of) {
    s.children.resize(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) s.children[i] = entry_of[sorted[i]];
    s.top_first = 0;
    s.top_count = 0;
    while (s.top_count < scan.nodes.size() && scan.nodes[s.top_count].parent == INDEX_NO_ENTRY) ++s.top_count;
    for (uint32_t i = 0; i < scan.nodes.size(); ++i) {
        const ScanNode& node = scan.nodes[i];
        if (!(node.flags & ENTRY_FOLDER)) continue;
        IndexEntry& entry = s.entries[entry_of[i]];
        entry.first_child = node.first_child;
        entry.child_count = node.child_count;
    }
}

// path_rank: a counting sort of the entries (already in name order) by their folder's rank.
void fill_path_rank(IndexSnapshot& s, const ScanState& scan, const std::vector<uint32_t>& order,
                    const std::vector<uint32_t>& folder_rank) {
    uint32_t folders = 1;
    for (uint32_t rank : folder_rank) folders = std::max(folders, rank + 1);
    std::vector<uint32_t> start(folders + 1, 0);
    std::vector<uint32_t> key(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) {
        uint32_t parent = scan.nodes[order[e]].parent;
        key[e] = parent == INDEX_NO_ENTRY ? 0 : folder_rank[parent];
        ++start[key[e] + 1];
    }
    std::partial_sum(start.begin(), start.end(), start.begin());
    s.path_rank.resize(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) s.path_rank[e] = start[key[e]]++;
}

void sum_folder_sizes(ScanState& scan, bool folder_sizes) {
    for (size_t i = scan.nodes.size(); i-- > 0;) {
        ScanNode& node = scan.nodes[i];
        if (folder_sizes && node.parent != INDEX_NO_ENTRY) scan.nodes[node.parent].size += node.size;
    }
    if (folder_sizes) return;
    for (ScanNode& node : scan.nodes)
        if (node.flags & ENTRY_FOLDER) node.size = INDEXED_UNKNOWN;
}

IndexSnapshot* snapshot_from_scan(ScanState& scan, std::vector<IndexRootFolder> roots, bool folder_sizes) {
    sum_folder_sizes(scan, folder_sizes);
    FoldedNames folded = fold_names(scan);
    std::vector<uint32_t> folder_rank = rank_folders(scan, folded);
    std::vector<uint32_t> sorted_children;
    std::thread helper([&] { sorted_children = sort_children(scan); });
    std::vector<uint32_t> order = order_by_name(scan, folded, folder_rank);
    std::vector<uint32_t> entry_of(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) entry_of[order[e]] = e;

    auto* s = new IndexSnapshot();
    fill_entries(*s, scan, folded, order, entry_of);
    helper.join();
    fill_children(*s, scan, sorted_children, entry_of);
    fill_path_rank(*s, scan, order, folder_rank);
    for (IndexRootFolder& root : roots) root.entry = entry_of[root.entry];
    s->roots = std::move(roots);
    s->folder_sizes = folder_sizes;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    s->scan_time = filetime_value(now);
    return s;
}

}  // namespace

bool index_build(const std::vector<IndexRoot>& roots, const IndexOptions& options, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    ScanState scan;
    scan.started = scan.last_progress = Clock::now();
    scan.show_progress = IsStderrTerminal() != FALSE;
    std::vector<IndexRootFolder> folders;
    for (const IndexRoot& root : roots)
        if (!add_root(scan, root, &folders, error)) return false;
    if (!ParallelScan(scan, folders).run(error)) return false;
    if (scan.show_progress) {
        show_progress(scan, true);
        std::fputs("\r\x1b[K", stderr);
    }
    size_t count = scan.nodes.size();
    size_t skipped = scan.skipped;
    IndexSnapshot* snapshot = snapshot_from_scan(scan, std::move(folders), options.folder_sizes);
    double seconds = std::chrono::duration<double>(Clock::now() - scan.started).count();
    std::fprintf(stderr, "swp-host: indexed %zu entries in %.2f s (%zu skipped)\n", count, seconds, skipped);
    index_snapshot_set_current(snapshot);
    return true;
}

}  // namespace host
