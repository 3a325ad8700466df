// Building the index: a breadth-first scan of the root folders through FindFirstFileA (which never
// follows symbolic links), then the snapshot's name order, child lists, folder sizes and folds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <system_error>

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

void add_node(ScanState& scan, std::string_view name, uint32_t parent, const WIN32_FIND_DATAA* data) {
    ScanNode node = {};
    node.name_offset = static_cast<uint32_t>(scan.names.size());
    node.name_length = static_cast<uint8_t>(name.size());
    node.parent = parent;
    scan.names.append(name);
    if (data) {
        DWORD attributes = data->dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) node.flags |= ENTRY_FOLDER;
        if (attributes & FILE_ATTRIBUTE_READONLY) node.flags |= ENTRY_READ_ONLY;
        if (attributes & FILE_ATTRIBUTE_HIDDEN) node.flags |= ENTRY_HIDDEN;
        node.size = (node.flags & ENTRY_FOLDER)
                        ? 0
                        : (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
        node.date_created = filetime_value(data->ftCreationTime);
        node.date_modified = filetime_value(data->ftLastWriteTime);
    }
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

// Appends the children of one folder. A folder that cannot be read counts as skipped.
void scan_folder(ScanState& scan, const std::vector<IndexRootFolder>& roots, uint32_t index) {
    std::string pattern = node_folder(scan, roots, index);
    if (pattern.empty() || pattern.back() != '/') pattern.push_back('/');
    pattern.push_back('*');
    uint32_t first = static_cast<uint32_t>(scan.nodes.size());
    scan.nodes[index].first_child = first;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ++scan.skipped;
        return;
    }
    do {
        // Links are neither indexed nor followed; devices, pipes and sockets are not files to serve.
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) continue;
        size_t length = std::strlen(data.cFileName);
        if (!name_is_indexable(data.cFileName, length)) {
            ++scan.skipped;
            continue;
        }
        add_node(scan, {data.cFileName, length}, index, &data);
    } while (FindNextFileA(find, &data));
    scan.skipped += FindSkippedCount(find);
    FindClose(find);
    scan.nodes[index].child_count = static_cast<uint32_t>(scan.nodes.size()) - first;
    if (scan.show_progress && (scan.nodes.size() & 0xFFF) < scan.nodes[index].child_count + 1)
        show_progress(scan, false);
}

uint64_t filetime_from_file_time(std::filesystem::file_time_type time) {
    auto system = std::chrono::file_clock::to_sys(time);
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(system.time_since_epoch()).count() / 100;
    return static_cast<uint64_t>(ticks + 116444736000000000LL);
}

// The root folder's own facts (it is given by the user, so a link to it is followed).
bool add_root(ScanState& scan, const IndexRoot& root, std::vector<IndexRootFolder>* folders, std::string* error) {
    std::error_code failure;
    std::filesystem::path folder = std::filesystem::absolute(root.folder, failure);
    if (failure || !std::filesystem::is_directory(folder, failure)) {
        *error = "cannot index \"" + root.folder + "\": not a folder";
        return false;
    }
    std::string name = root.name.empty() ? folder.lexically_normal().filename().string() : root.name;
    if (name.empty()) name = folder.lexically_normal().parent_path().filename().string();
    if (!name_is_indexable(name.data(), name.size()) || name.find('/') != std::string::npos) {
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
    add_node(scan, name, INDEX_NO_ENTRY, &data);
    return true;
}

// ---------------------------------------------------------------------------------------------------
// From the scan's nodes to the snapshot.

struct FoldedNames {
    std::vector<uint32_t> offset;
    std::vector<uint16_t> length;
    std::string text;
    std::string_view of(uint32_t node) const { return {text.data() + offset[node], length[node]}; }
};

FoldedNames fold_names(const ScanState& scan) {
    FoldedNames folded;
    folded.offset.resize(scan.nodes.size());
    folded.length.resize(scan.nodes.size());
    folded.text.reserve(scan.names.size() + scan.names.size() / 8);
    for (size_t i = 0; i < scan.nodes.size(); ++i) {
        size_t before = folded.text.size();
        text_fold_append(node_name(scan, scan.nodes[i]), FOLD_CASE | FOLD_MARKS, &folded.text);
        folded.offset[i] = static_cast<uint32_t>(before);
        folded.length[i] = static_cast<uint16_t>(std::min<size_t>(folded.text.size() - before, 0xFFFF));
    }
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
    auto name_less = [&](uint32_t a, uint32_t b) { return compare_names(scan, folded, a, b) < 0; };
    std::vector<uint32_t> top;
    for (uint32_t i = 0; i < nodes.size() && nodes[i].parent == INDEX_NO_ENTRY; ++i) top.push_back(i);
    std::vector<uint32_t> stack(top.rbegin(), top.rend());
    std::sort(stack.begin(), stack.end(), [&](uint32_t a, uint32_t b) { return name_less(b, a); });
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
        std::sort(folders.begin(), folders.end(), [&](uint32_t a, uint32_t b) { return name_less(b, a); });
        stack.insert(stack.end(), folders.begin(), folders.end());
    }
    return rank;
}

uint64_t name_prefix_key(std::string_view text) {
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i)
        key = (key << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
    return key;
}

// Node numbers in name order: folded name, name bytes, then the path order of the parent.
std::vector<uint32_t> order_by_name(const ScanState& scan, const FoldedNames& folded,
                                    const std::vector<uint32_t>& folder_rank) {
    struct Key {
        uint64_t prefix;
        uint32_t node;
    };
    std::vector<Key> keys(scan.nodes.size());
    for (uint32_t i = 0; i < keys.size(); ++i) keys[i] = {name_prefix_key(folded.of(i)), i};
    auto parent_rank = [&](uint32_t node) {
        uint32_t parent = scan.nodes[node].parent;
        return parent == INDEX_NO_ENTRY ? 0u : folder_rank[parent];
    };
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        int order = compare_names(scan, folded, a.node, b.node);
        if (order != 0) return order < 0;
        return parent_rank(a.node) < parent_rank(b.node);
    });
    std::vector<uint32_t> order(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].node;
    return order;
}

void add_extra_folds(IndexSnapshot& s, uint32_t entry, std::string_view name) {
    ExtraFold fold = {};
    fold.entry = entry;
    size_t before = s.extra_text.size();
    text_fold_append(name, FOLD_CASE, &s.extra_text);
    fold.case_offset = static_cast<uint32_t>(before);
    fold.case_length = static_cast<uint16_t>(s.extra_text.size() - before);
    before = s.extra_text.size();
    text_fold_append(name, FOLD_MARKS, &s.extra_text);
    fold.marks_offset = static_cast<uint32_t>(before);
    fold.marks_length = static_cast<uint16_t>(s.extra_text.size() - before);
    s.extra_folds.push_back(fold);
}

// Records, arenas and folds of the snapshot in name order.
void fill_entries(IndexSnapshot& s, const ScanState& scan, const FoldedNames& folded,
                  const std::vector<uint32_t>& order, const std::vector<uint32_t>& entry_of) {
    s.entries.resize(order.size());
    s.names.reserve(scan.names.size() + order.size());
    s.folded.reserve(folded.text.size() + order.size());
    for (uint32_t e = 0; e < order.size(); ++e) {
        const ScanNode& node = scan.nodes[order[e]];
        IndexEntry& entry = s.entries[e];
        entry.size = node.size;
        entry.date_created = node.date_created;
        entry.date_modified = node.date_modified;
        entry.parent = node.parent == INDEX_NO_ENTRY ? INDEX_NO_ENTRY : entry_of[node.parent];
        entry.name_length = node.name_length;
        entry.flags = node.flags;
        entry.name_offset = static_cast<uint32_t>(s.names.size());
        std::string_view name = node_name(scan, node);
        s.names.append(name);
        s.names.push_back('\n');
        entry.folded_offset = static_cast<uint32_t>(s.folded.size());
        entry.folded_length = folded.length[order[e]];
        s.folded.append(folded.of(order[e]));
        s.folded.push_back('\n');
        if (!text_is_ascii(name)) {
            entry.flags |= ENTRY_NON_ASCII;
            add_extra_folds(s, e, name);
        }
    }
}

// Each folder's children in enumeration order: folders first, then by name bytes.
void fill_children(IndexSnapshot& s, const ScanState& scan, const std::vector<uint32_t>& entry_of) {
    s.children.resize(scan.nodes.size());
    auto enumeration_less = [&](uint32_t a, uint32_t b) {
        bool folder_a = s.entries[a].flags & ENTRY_FOLDER, folder_b = s.entries[b].flags & ENTRY_FOLDER;
        if (folder_a != folder_b) return folder_a;
        return entry_name(s, a) < entry_name(s, b);
    };
    // Children are stored at the scan's positions: the scan kept each folder's children together.
    for (uint32_t i = 0; i < scan.nodes.size(); ++i) s.children[i] = entry_of[i];
    auto place = [&](uint32_t first, uint32_t count) {
        std::sort(s.children.begin() + first, s.children.begin() + first + count, enumeration_less);
    };
    s.top_first = 0;
    while (s.top_count < scan.nodes.size() && scan.nodes[s.top_count].parent == INDEX_NO_ENTRY) ++s.top_count;
    place(s.top_first, s.top_count);
    for (uint32_t i = 0; i < scan.nodes.size(); ++i) {
        const ScanNode& node = scan.nodes[i];
        if (!(node.flags & ENTRY_FOLDER)) continue;
        IndexEntry& entry = s.entries[entry_of[i]];
        entry.first_child = node.first_child;
        entry.child_count = node.child_count;
        place(node.first_child, node.child_count);
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
    std::vector<uint32_t> order = order_by_name(scan, folded, folder_rank);
    std::vector<uint32_t> entry_of(order.size());
    for (uint32_t e = 0; e < order.size(); ++e) entry_of[order[e]] = e;

    auto* s = new IndexSnapshot();
    fill_entries(*s, scan, folded, order, entry_of);
    fill_children(*s, scan, entry_of);
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
    // Breadth first: every folder found is scanned once its turn comes, so the nodes grow at the end.
    for (uint32_t i = 0; i < scan.nodes.size(); ++i) {
        if (!(scan.nodes[i].flags & ENTRY_FOLDER)) continue;
        if (scan.nodes.size() >= 0xFFFFFFF0u || scan.names.size() >= 0xF0000000u) {
            *error = "too many entries to index";
            return false;
        }
        scan_folder(scan, folders, i);
    }
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
