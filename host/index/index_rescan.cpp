#include "host/index/index_rescan.h"

#include <algorithm>

#include "host/index/disk_beneath.h"
#include "host/index/folder_read.h"
#include "host/index/index_scan.h"

namespace host {
namespace {

struct DiskEntry {
    std::string name;
    EntryFacts facts;
};

EntryFacts facts_from(const WIN32_FIND_DATAA& data) {
    ScanNode node = index_node_from(data, INDEX_NO_ENTRY);
    return {node.size, node.date_created, node.date_modified, node.flags};
}

// Links are neither indexed nor followed; devices, pipes and sockets are not files to serve.
bool data_is_indexable(const WIN32_FIND_DATAA& data) {
    return !(data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) &&
           scan_name_is_indexable(data.cFileName);
}

std::string join(const std::string& folder, std::string_view name) {
    return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

std::string parent_of(const std::string& relative) {
    size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string_view name_of(const std::string& relative) {
    size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string_view(relative) : std::string_view(relative).substr(slash + 1);
}

// A folder below a root as a folder of this machine.
std::string machine_folder(const IndexRootFolder& root, const std::string& relative) {
    return relative.empty() ? root.folder : root.folder + "/" + relative;
}

// Whether the system can name the entry at a path below a root, as the scan asks (the root always).
bool disk_path_fits(const IndexRootFolder& root, const std::string& relative) {
    if (relative.empty()) return true;
    return path_fits_below(path_measure(machine_folder(root, parent_of(relative))), name_of(relative));
}

// The disk's facts of the entry at a path below a root; false when it is not there or is nothing
// the index holds.
bool disk_entry(const IndexRootFolder& root, const std::string& relative, EntryFacts* facts) {
    if (!disk_path_fits(root, relative)) return false;
    WIN32_FIND_DATAA data;
    HANDLE find = disk_find_first_beneath(root.folder, relative, &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    if (!data_is_indexable(data)) return false;
    *facts = facts_from(data);
    return true;
}

// The indexable entries of a folder below a root, by name. False when the folder is not there;
// a folder that cannot be read counts as empty and skipped.
bool disk_folder(const IndexRootFolder& root, const std::string& relative, std::vector<DiskEntry>* entries,
                 size_t* skipped) {
    entries->clear();
    WIN32_FIND_DATAA data;
    std::string pattern = join(relative, "*");
    HANDLE find = disk_find_first_beneath(root.folder, pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;  // empty
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_CANT_RESOLVE_FILENAME) return false;
        ++*skipped;
        return true;
    }
    size_t measure = path_measure(machine_folder(root, relative));
    do {
        std::string_view name = data.cFileName;
        if (name == "." || name == "..") continue;  // reported as Windows does
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) continue;
        if (!scan_name_is_indexable(data.cFileName) || !path_fits_below(measure, name)) {
            ++*skipped;
            continue;
        }
        entries->push_back({data.cFileName, facts_from(data)});
    } while (FindNextFileA(find, &data));
    *skipped += disk_find_skipped(find);
    FindClose(find);
    std::sort(entries->begin(), entries->end(), [](const DiskEntry& a, const DiskEntry& b) { return a.name < b.name; });
    return true;
}

bool folder_facts(const EntryFacts& facts) { return (facts.flags & ENTRY_FOLDER) != 0; }

void note_read_whole(IndexChanger& changer, uint32_t folder) {
    if (changer.read_whole) changer.read_whole->insert(folder);
}

bool was_read_whole(const IndexChanger& changer, uint32_t folder) {
    return changer.read_whole && changer.read_whole->count(folder) != 0;
}

// Adds an entry found on the disk under an indexed folder, with everything below it.
bool add_tree(IndexChanger& changer, const IndexRootFolder& root, uint32_t parent, const std::string& parent_relative,
              const DiskEntry& entry) {
    uint32_t id = changer.add(parent, entry.name, entry.facts);
    if (!folder_facts(entry.facts)) return true;
    note_read_whole(changer, id);
    std::vector<std::pair<uint32_t, std::string>> folders{{id, join(parent_relative, entry.name)}};
    std::vector<DiskEntry> children;
    while (!folders.empty()) {
        auto [folder, relative] = std::move(folders.back());
        folders.pop_back();
        if (changer.between_folders && !changer.between_folders()) return false;
        if (!view_entry(overlay_view(*changer.writer), folder)) continue;  // removed meanwhile
        disk_folder(root, relative, &children, &changer.counts->skipped);
        changer.counts->examined += children.size();
        for (const DiskEntry& child : children) {
            uint32_t added = changer.add(folder, child.name, child.facts);
            if (folder_facts(child.facts)) folders.emplace_back(added, join(relative, child.name));
        }
    }
    return true;
}

// The index's children of a folder at the version being made, by name.
std::vector<std::pair<std::string_view, uint32_t>> index_children(const IndexView& view, uint32_t folder) {
    std::vector<uint32_t> scratch;
    std::vector<std::pair<std::string_view, uint32_t>> children;
    for (uint32_t child : view_children(view, folder, &scratch)) {
        EntryRef ref = view_entry(view, child);
        if (ref) children.emplace_back(ref_name(view, ref), child);
    }
    std::sort(children.begin(), children.end());
    return children;
}

std::string index_path(const IndexView& view, uint32_t id) {
    std::string path;
    view_append_path(view, id, &path);
    return path;
}

// The disk's facts for an indexed folder's own entry, when it is there.
void folder_refresh(IndexChanger& changer, const IndexRootFolder& root, const std::string& relative) {
    IndexView view = overlay_view(*changer.writer);
    uint32_t folder = rescan_find(view, root, relative);
    EntryFacts facts;
    if (folder == INDEX_NO_ENTRY) return;
    if (relative.empty()) {
        // The root's own entry, whose name is the index's and not the folder's.
        facts = facts_from(index_root_data(root.folder, ref_name(view, view_entry(view, folder))));
        changer.update(folder, facts);
    } else if (disk_entry(root, relative, &facts)) {
        changer.update(folder, facts);
    }
}

}  // namespace

uint32_t IndexChanger::add(uint32_t parent, std::string_view name, const EntryFacts& facts) {
    if (replay) {
        std::string path = index_path(overlay_view(*writer), parent) + "\\" + std::string(name);
        replay->push_back({ReplayOp::ADD, std::move(path), {}, facts, writer->now});
    }
    ++counts->added;
    return overlay_add(writer, parent, name, facts);
}

bool IndexChanger::update(uint32_t id, const EntryFacts& facts) {
    std::string path = replay ? index_path(overlay_view(*writer), id) : std::string();
    if (!overlay_update(writer, id, facts)) return false;
    if (replay) replay->push_back({ReplayOp::UPDATE, std::move(path), {}, facts, writer->now});
    ++counts->changed;
    return true;
}

void IndexChanger::move(uint32_t id, uint32_t parent, std::string_view name) {
    if (replay) {
        IndexView view = overlay_view(*writer);
        std::string to = index_path(view, parent) + "\\" + std::string(name);
        replay->push_back({ReplayOp::MOVE, index_path(view, id), std::move(to), {}, writer->now});
    }
    ++counts->changed;
    overlay_move(writer, id, parent, name);
}

void IndexChanger::remove(uint32_t id) {
    if (replay) replay->push_back({ReplayOp::REMOVE, index_path(overlay_view(*writer), id), {}, {}, writer->now});
    ++counts->removed;
    overlay_remove(writer, id);
}

uint32_t rescan_find(const IndexView& view, const IndexRootFolder& root, const std::string& relative) {
    uint32_t found = root.entry;
    for (size_t at = 0; at < relative.size() && found != INDEX_NO_ENTRY;) {
        size_t end = std::min(relative.find('/', at), relative.size());
        if (!ref_is_folder(view_entry(view, found))) return INDEX_NO_ENTRY;
        found = view_child(view, found, std::string_view(relative).substr(at, end - at));
        at = end + 1;
    }
    return found;
}

bool rescan_subtree(IndexChanger& changer, const IndexRootFolder& root, uint32_t folder, const std::string& relative) {
    note_read_whole(changer, folder);
    folder_refresh(changer, root, relative);
    std::vector<std::pair<uint32_t, std::string>> folders{{folder, relative}};
    std::vector<DiskEntry> disk;
    while (!folders.empty()) {
        auto [at, at_relative] = std::move(folders.back());
        folders.pop_back();
        if (changer.between_folders && !changer.between_folders()) return false;
        IndexView view = overlay_view(*changer.writer);
        EntryRef ref = view_entry(view, at);
        if (!ref || !ref_is_folder(ref)) continue;  // changed meanwhile: its own change reads it
        if (!disk_folder(root, at_relative, &disk, &changer.counts->skipped)) {
            // Gone: its folder's rescan removes it, but a root stays, empty.
            if (at == root.entry)
                for (const auto& [name, child] : index_children(view, at)) changer.remove(child);
            continue;
        }
        changer.counts->examined += disk.size();
        auto indexed = index_children(view, at);
        // Both lists are in name order: walked side by side.
        size_t i = 0, d = 0;
        while (i < indexed.size() || d < disk.size()) {
            int order = i == indexed.size() ? 1 : d == disk.size() ? -1 : indexed[i].first.compare(disk[d].name);
            if (order < 0) {
                changer.remove(indexed[i++].second);
                continue;
            }
            if (order > 0) {
                if (!add_tree(changer, root, at, at_relative, disk[d++])) return false;
                continue;
            }
            uint32_t child = indexed[i++].second;
            const DiskEntry& entry = disk[d++];
            bool was_folder = ref_is_folder(view_entry(view, child));
            if (was_folder != folder_facts(entry.facts)) {
                changer.remove(child);
                if (!add_tree(changer, root, at, at_relative, entry)) return false;
                continue;
            }
            changer.update(child, entry.facts);
            if (was_folder) folders.emplace_back(child, join(at_relative, entry.name));
        }
    }
    return true;
}

void rescan_path(IndexChanger& changer, const IndexRootFolder& root, const std::string& relative, bool appeared) {
    IndexView view = overlay_view(*changer.writer);
    // The deepest entry of the path that the index holds; what is missing below it is added whole.
    // Below a folder read whole since the note was made, the index has what the note tells already.
    uint32_t at = root.entry;
    size_t consumed = 0;
    while (consumed < relative.size()) {
        if (was_read_whole(changer, at)) return;
        size_t end = std::min(relative.find('/', consumed), relative.size());
        if (!ref_is_folder(view_entry(view, at))) break;
        uint32_t child = view_child(view, at, std::string_view(relative).substr(consumed, end - consumed));
        if (child == INDEX_NO_ENTRY) break;
        at = child;
        consumed = end + 1;
    }
    if (was_read_whole(changer, at)) return;
    bool whole = consumed >= relative.size();
    std::string found_relative = whole ? relative : relative.substr(0, consumed == 0 ? 0 : consumed - 1);
    EntryFacts facts;
    if (!whole && ref_is_folder(view_entry(view, at))) {
        // `at` is a folder without the next name: that name, when the disk has it, is new.
        size_t end = std::min(relative.find('/', consumed), relative.size());
        std::string missing = relative.substr(0, end);
        if (disk_entry(root, missing, &facts)) add_tree(changer, root, at, found_relative, {std::string(name_of(missing)), facts});
        folder_refresh(changer, root, found_relative);
        return;
    }
    // The index holds the entry (or, for a path below a file, the file): it is what the disk says.
    if (at != root.entry) {
        bool present = disk_entry(root, found_relative, &facts);
        EntryRef ref = view_entry(view, at);
        uint32_t parent = ref_parent(ref);
        if (!present || ref_is_folder(ref) != folder_facts(facts)) {
            changer.remove(at);
            if (present) add_tree(changer, root, parent, parent_of(found_relative), {std::string(name_of(found_relative)), facts});
        } else if (appeared && whole && folder_facts(facts)) {
            // Read before its watch was in place: what was made in it meanwhile went unreported.
            rescan_subtree(changer, root, at, found_relative);
        } else {
            changer.update(at, facts);
        }
    }
    folder_refresh(changer, root, at == root.entry ? std::string() : parent_of(found_relative));
}

bool rescan_move(IndexChanger& changer, const IndexRootFolder& root, const std::string& from, const std::string& to) {
    IndexView view = overlay_view(*changer.writer);
    uint32_t moved = rescan_find(view, root, from);
    uint32_t parent = rescan_find(view, root, parent_of(to));
    EntryFacts old_facts, facts;
    if (moved == INDEX_NO_ENTRY || moved == root.entry || parent == INDEX_NO_ENTRY ||
        !ref_is_folder(view_entry(view, parent)) || disk_entry(root, from, &old_facts) || !disk_entry(root, to, &facts))
        return false;
    if (ref_is_folder(view_entry(view, moved)) != folder_facts(facts)) return false;
    // A folder cannot move below itself; a stale index could say so.
    for (uint32_t up = parent; up != INDEX_NO_ENTRY; up = ref_parent(view_entry(view, up)))
        if (up == moved) return false;
    uint32_t replaced = view_child(view, parent, name_of(to));
    if (replaced != INDEX_NO_ENTRY && replaced != moved) changer.remove(replaced);
    changer.move(moved, parent, name_of(to));
    changer.update(moved, facts);
    folder_refresh(changer, root, parent_of(from));
    folder_refresh(changer, root, parent_of(to));
    return true;
}

void replay_apply(OverlayWriter* writer, const ReplayOp& op) {
    writer->now = op.recent;
    IndexView view = overlay_view(*writer);
    uint32_t id = view_lookup(view, op.path);
    size_t separator = op.kind == ReplayOp::MOVE ? op.to.rfind('\\') : op.path.rfind('\\');
    switch (op.kind) {
        case ReplayOp::ADD: {
            if (id != INDEX_NO_ENTRY) {
                overlay_update(writer, id, op.facts);
                return;
            }
            uint32_t parent = view_lookup(view, op.path.substr(0, separator));
            if (parent != INDEX_NO_ENTRY) overlay_add(writer, parent, op.path.substr(separator + 1), op.facts);
            return;
        }
        case ReplayOp::UPDATE:
            if (id != INDEX_NO_ENTRY) overlay_update(writer, id, op.facts);
            return;
        case ReplayOp::MOVE: {
            uint32_t parent = view_lookup(view, op.to.substr(0, separator));
            if (id == INDEX_NO_ENTRY || parent == INDEX_NO_ENTRY) return;
            uint32_t replaced = view_lookup(view, op.to);
            if (replaced != INDEX_NO_ENTRY && replaced != id) overlay_remove(writer, replaced);
            overlay_move(writer, id, parent, op.to.substr(separator + 1));
            return;
        }
        case ReplayOp::REMOVE:
            if (id != INDEX_NO_ENTRY) overlay_remove(writer, id);
            return;
    }
}

}  // namespace host
