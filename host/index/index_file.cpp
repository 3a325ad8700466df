#include "host/index/index_file.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "host/error_words.h"
#include "host/private_file.h"
#include "host/utf8_path.h"
#include "sdk/platform_api.h"

namespace host {
namespace {

constexpr char FILE_MAGIC[8] = {'S', 'W', 'P', 'I', 'N', 'D', 'E', 'X'};
constexpr uint32_t FILE_FORMAT = 2;  // 2: decomposed names carry their composed form
constexpr uint32_t FLAG_FOLDER_SIZES = 0x1;
constexpr DWORD IO_PIECE = 1u << 30;  // bytes per ReadFile or WriteFile call

struct FileHeader {
    char magic[8];
    uint32_t format;
    uint32_t entry_size;  // sizeof(IndexEntry): a build with another layout cannot read the file
    uint64_t checksum;    // of the section sizes and every section
    uint32_t flags;
    uint32_t top_first;
    uint32_t top_count;
    uint32_t root_count;
};
static_assert(sizeof(FileHeader) == 40);

// The sections, in file order; each is padded to 8 bytes.
enum Section { ROOTS, ENTRIES, CHILDREN, PATH_RANK, NAMES, FOLDED, EXTRA_FOLDS, EXTRA_TEXT, RECENT_ENTRIES,
               RECENT_TIMES, SECTION_COUNT };

struct SectionData {
    void* data;
    uint64_t bytes;
};

uint64_t padded(uint64_t bytes) { return (bytes + 7) & ~uint64_t{7}; }

// A 64-bit checksum over four interleaved lanes of 8-byte words: several gigabytes a second.
uint64_t checksum_of(const void* data, uint64_t bytes, uint64_t seed) {
    constexpr uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ull;
    auto mix = [](uint64_t lane, uint64_t word) {
        lane ^= word * 0xBF58476D1CE4E5B9ull;
        return ((lane << 29) | (lane >> 35)) * MULTIPLIER;
    };
    const auto* at = static_cast<const unsigned char*>(data);
    uint64_t lanes[4] = {seed, seed ^ 1, seed ^ 2, seed ^ 3};
    uint64_t left = bytes;
    for (; left >= 32; left -= 32, at += 32)
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, at + 8 * lane, 8);
            lanes[lane] = mix(lanes[lane], word);
        }
    uint64_t tail[4] = {0, 0, 0, 0};
    if (left != 0) std::memcpy(tail, at, left);  // an empty section may have no bytes at all
    for (int lane = 0; lane < 4; ++lane) lanes[lane] = mix(lanes[lane], tail[lane]);
    uint64_t sum = bytes;
    for (uint64_t lane : lanes) sum = mix(sum, lane);
    return sum;
}

template <typename T>
SectionData section_of(const std::vector<T>& items) {
    return {const_cast<T*>(items.data()), items.size() * sizeof(T)};
}
SectionData section_of(const std::string& text) { return {const_cast<char*>(text.data()), text.size()}; }

// The roots as bytes: per root its entry, its folder's length and its folder.
std::string roots_text(const std::vector<IndexRootFolder>& roots) {
    std::string text;
    for (const IndexRootFolder& root : roots) {
        auto length = static_cast<uint32_t>(root.folder.size());
        text.append(reinterpret_cast<const char*>(&root.entry), sizeof root.entry);
        text.append(reinterpret_cast<const char*>(&length), sizeof length);
        text += root.folder;
    }
    return text;
}

bool write_all(HANDLE file, const void* data, uint64_t bytes) {
    const auto* at = static_cast<const char*>(data);
    for (uint64_t left = bytes; left > 0;) {
        DWORD piece = static_cast<DWORD>(std::min<uint64_t>(left, IO_PIECE)), written = 0;
        if (!WriteFile(file, at, piece, &written, nullptr) || written != piece) return false;
        at += piece;
        left -= piece;
    }
    return true;
}

bool read_all(HANDLE file, void* data, uint64_t bytes) {
    auto* at = static_cast<char*>(data);
    for (uint64_t left = bytes; left > 0;) {
        DWORD piece = static_cast<DWORD>(std::min<uint64_t>(left, IO_PIECE)), got = 0;
        if (!ReadFile(file, at, piece, &got, nullptr) || got != piece) return false;
        at += piece;
        left -= piece;
    }
    return true;
}

// Closes a file handle at the end of a block.
struct FileCloser {
    HANDLE file;
    ~FileCloser() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

template <typename T>
bool size_section(std::vector<T>* items, uint64_t bytes) {
    if (bytes % sizeof(T) != 0) return false;
    items->resize(bytes / sizeof(T));
    return true;
}

// Whether the arrays hold together: every offset inside its arena, and the children ranges a tree
// that reaches every entry once from the top level, so that no walk of it can go astray.
bool structure_holds(const IndexSnapshot& s) {
    auto count = static_cast<uint32_t>(s.entries.size());
    if (s.path_rank.size() != count || s.children.size() != count) return false;
    if (s.top_first > s.children.size() || s.top_count > s.children.size() - s.top_first) return false;
    for (const IndexEntry& entry : s.entries) {
        if (uint64_t{entry.name_offset} + entry.name_length >= s.names.size() ||
            s.names[entry.name_offset + entry.name_length] != '\n')
            return false;
        if (uint64_t{entry.folded_offset} + entry.folded_length >= s.folded.size()) return false;
        if (entry.parent != INDEX_NO_ENTRY && entry.parent >= count) return false;
        if (uint64_t{entry.first_child} + entry.child_count > s.children.size()) return false;
        if (!(entry.flags & ENTRY_FOLDER) && entry.child_count != 0) return false;
    }
    for (uint32_t rank : s.path_rank)
        if (rank >= count) return false;
    std::vector<uint8_t> seen(count, 0);
    std::vector<uint32_t> queue;
    for (uint32_t i = 0; i < s.top_count; ++i) {
        uint32_t top = s.children[s.top_first + i];
        if (top >= count || seen[top] || s.entries[top].parent != INDEX_NO_ENTRY) return false;
        seen[top] = 1;
        queue.push_back(top);
    }
    for (size_t at = 0; at < queue.size(); ++at) {
        const IndexEntry& folder = s.entries[queue[at]];
        for (uint32_t i = folder.first_child; i < folder.first_child + folder.child_count; ++i) {
            uint32_t child = s.children[i];
            if (child >= count || seen[child] || s.entries[child].parent != queue[at]) return false;
            seen[child] = 1;
            queue.push_back(child);
        }
    }
    if (queue.size() != count) return false;
    uint32_t previous = 0;
    for (const ExtraFold& fold : s.extra_folds) {
        if (fold.entry >= count || (fold.entry < previous) || fold.offset > s.extra_text.size()) return false;
        previous = fold.entry;
        uint64_t at = fold.offset;
        int forms = (s.entries[fold.entry].flags & ENTRY_DECOMPOSED) ? 3 : 2;
        for (int form = 0; form < forms; ++form) {
            uint16_t length;
            if (at + sizeof length > s.extra_text.size()) return false;
            std::memcpy(&length, s.extra_text.data() + at, sizeof length);
            at += sizeof length + length;
            if (at > s.extra_text.size()) return false;
        }
    }
    if (s.recent_entries.size() != s.recent_times.size()) return false;
    for (size_t i = 0; i < s.recent_entries.size(); ++i)
        if (s.recent_entries[i] >= count || (i > 0 && s.recent_entries[i] <= s.recent_entries[i - 1])) return false;
    return true;
}

// The roots section read back, checked against the roots of this run.
bool roots_match(const std::string& text, const IndexSnapshot& s, const std::vector<IndexRootFolder>& roots,
                 const std::vector<std::string>& names, std::vector<IndexRootFolder>* saved) {
    size_t at = 0;
    for (size_t i = 0; i < roots.size(); ++i) {
        IndexRootFolder root;
        uint32_t length;
        if (at + 8 > text.size()) return false;
        std::memcpy(&root.entry, text.data() + at, 4);
        std::memcpy(&length, text.data() + at + 4, 4);
        at += 8;
        if (length > text.size() - at || root.entry >= s.entries.size()) return false;
        root.folder.assign(text, at, length);
        at += length;
        if (root.folder != roots[i].folder || entry_name(s, root.entry) != names[i] ||
            s.entries[root.entry].parent != INDEX_NO_ENTRY)
            return false;
        saved->push_back(std::move(root));
    }
    return at == text.size();
}

}  // namespace

bool index_file_write(const std::string& path, const IndexSnapshot& base, std::string* error) {
    error->clear();
    std::string roots = roots_text(base.roots);
    SectionData sections[SECTION_COUNT] = {
        section_of(roots), section_of(base.entries), section_of(base.children), section_of(base.path_rank),
        section_of(base.names), section_of(base.folded), section_of(base.extra_folds), section_of(base.extra_text),
        section_of(base.recent_entries), section_of(base.recent_times),
    };
    uint64_t sizes[SECTION_COUNT];
    for (int i = 0; i < SECTION_COUNT; ++i) sizes[i] = sections[i].bytes;
    FileHeader header = {};
    std::memcpy(header.magic, FILE_MAGIC, sizeof header.magic);
    header.format = FILE_FORMAT;
    header.entry_size = sizeof(IndexEntry);
    header.flags = base.folder_sizes ? FLAG_FOLDER_SIZES : 0;
    header.top_first = base.top_first;
    header.top_count = base.top_count;
    header.root_count = static_cast<uint32_t>(base.roots.size());
    header.checksum = checksum_of(sizes, sizeof sizes, FILE_FORMAT);
    for (const SectionData& section : sections)
        header.checksum = checksum_of(section.data, section.bytes, header.checksum);

    std::error_code failure;
    std::filesystem::create_directories(utf8_path(path).parent_path(), failure);
    std::string temporary = path + ".new";
    FileCloser out{CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr)};
    if (out.file == INVALID_HANDLE_VALUE) {
        *error = error_words(GetLastError());
        return false;
    }
    // Before any byte is written: it lists the served folders.
    file_make_private(temporary);
    const uint64_t zeros = 0;
    bool written = write_all(out.file, &header, sizeof header) && write_all(out.file, sizes, sizeof sizes);
    for (const SectionData& section : sections)
        written = written && write_all(out.file, section.data, section.bytes) &&
                  write_all(out.file, &zeros, padded(section.bytes) - section.bytes);
    if (!written) *error = error_words(GetLastError());
    CloseHandle(out.file);
    out.file = INVALID_HANDLE_VALUE;
    if (written) {
        std::filesystem::rename(utf8_path(temporary), utf8_path(path), failure);
        if (failure) *error = failure.message();
    }
    if (!written || failure) std::filesystem::remove(utf8_path(temporary), failure);
    return written && error->empty();
}

IndexSnapshot* index_file_read(const std::string& path, const std::vector<IndexRootFolder>& roots,
                               const std::vector<std::string>& root_names, bool folder_sizes, std::string* error) {
    error->clear();
    FileCloser in{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (in.file == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
            *error = "it cannot be read: " + error_words(GetLastError());
        return nullptr;
    }
    LARGE_INTEGER file_size = {};
    GetFileSizeEx(in.file, &file_size);
    FileHeader header;
    uint64_t sizes[SECTION_COUNT];
    if (!read_all(in.file, &header, sizeof header) || std::memcmp(header.magic, FILE_MAGIC, sizeof header.magic) != 0) {
        *error = "it is no saved index";
        return nullptr;
    }
    if (header.format != FILE_FORMAT || header.entry_size != sizeof(IndexEntry)) {
        *error = "another version of swp-host wrote it";
        return nullptr;
    }
    auto bytes = static_cast<uint64_t>(file_size.QuadPart);
    uint64_t expected = sizeof header + sizeof sizes;
    bool whole = read_all(in.file, sizes, sizeof sizes);
    for (uint64_t size : sizes) {
        whole = whole && size <= bytes;  // so that the sum cannot wrap, nor a section outgrow the file
        expected += whole ? padded(size) : 0;
    }
    if (!whole || expected != bytes) {
        *error = "it is truncated";
        return nullptr;
    }
    if (((header.flags & FLAG_FOLDER_SIZES) != 0) != folder_sizes) {
        *error = folder_sizes ? "it holds no folder sizes" : "it holds folder sizes";
        return nullptr;
    }
    auto* s = new IndexSnapshot();
    std::string roots_section;
    SectionData sections[SECTION_COUNT];
    bool sized = size_section(&s->entries, sizes[ENTRIES]) &&
                 size_section(&s->children, sizes[CHILDREN]) && size_section(&s->path_rank, sizes[PATH_RANK]) &&
                 size_section(&s->extra_folds, sizes[EXTRA_FOLDS]) &&
                 size_section(&s->recent_entries, sizes[RECENT_ENTRIES]) &&
                 size_section(&s->recent_times, sizes[RECENT_TIMES]);
    roots_section.resize(sizes[ROOTS]);
    s->names.resize(sizes[NAMES]);
    s->folded.resize(sizes[FOLDED]);
    s->extra_text.resize(sizes[EXTRA_TEXT]);
    sections[ROOTS] = section_of(roots_section);
    sections[ENTRIES] = section_of(s->entries);
    sections[CHILDREN] = section_of(s->children);
    sections[PATH_RANK] = section_of(s->path_rank);
    sections[NAMES] = section_of(s->names);
    sections[FOLDED] = section_of(s->folded);
    sections[EXTRA_FOLDS] = section_of(s->extra_folds);
    sections[EXTRA_TEXT] = section_of(s->extra_text);
    sections[RECENT_ENTRIES] = section_of(s->recent_entries);
    sections[RECENT_TIMES] = section_of(s->recent_times);
    uint64_t checksum = checksum_of(sizes, sizeof sizes, FILE_FORMAT);
    char padding[8];
    for (int i = 0; sized && i < SECTION_COUNT; ++i) {
        sized = read_all(in.file, sections[i].data, sections[i].bytes) &&
                read_all(in.file, padding, padded(sections[i].bytes) - sections[i].bytes);
        checksum = checksum_of(sections[i].data, sections[i].bytes, checksum);
    }
    s->top_first = header.top_first;
    s->top_count = header.top_count;
    s->folder_sizes = folder_sizes;
    if (!sized || checksum != header.checksum) {
        *error = "it is damaged (its checksum does not match)";
    } else if (!structure_holds(*s)) {
        *error = "it is damaged (its entries do not hold together)";
    } else if (header.root_count != roots.size() || !roots_match(roots_section, *s, roots, root_names, &s->roots)) {
        *error = "it is an index of other folders";
    }
    if (error->empty()) return s;
    delete s;
    return nullptr;
}

}  // namespace host
