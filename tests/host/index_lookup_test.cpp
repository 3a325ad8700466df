// Lookups by index path, enumeration order, file facts and folder sizes; trees of any depth.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/index/index_view.h"
#include "tests/host/index_test_tree.h"

namespace {

struct Listing {
    std::string name;
    IndexedFd fd;
};

std::vector<Listing> list_folder(SorrelwickDb* db, const char* path) {
    std::vector<Listing> entries;
    ScopedBuf name;
    IndexedFd fd;
    SorrelwickDbFind* find = host::db_find_first_file(db, path, name.get(), &fd);
    if (!find) return entries;
    do entries.push_back({name.text(), fd});
    while (host::db_find_next_file(find, name.get(), &fd));
    host::db_find_close(find);
    return entries;
}

std::vector<std::string> names_of(const std::vector<Listing>& entries) {
    std::vector<std::string> names;
    for (const Listing& entry : entries) names.push_back(entry.name);
    return names;
}

class IndexLookup : public ::testing::Test {
protected:
    void SetUp() override {
        make_music_tree(tree_);
        fs::permissions(tree_.base() / "tree/Docs/notes.md", fs::perms::owner_read | fs::perms::group_read);
        tree_.link("tree/link_to_docs", "Docs");
        tree_.link("tree/link_to_file", "a.txt");
        tree_.link("tree/escape", "../secret.txt");
        std::string error;
        ASSERT_TRUE(tree_.build("tree", "share", true, &error)) << error;
        db_ = host::db_add_local_ref();
    }
    void TearDown() override { host::db_release(db_); }

    IndexTestTree tree_;
    SorrelwickDb* db_ = nullptr;
};

TEST_F(IndexLookup, FoldersAndFilesAreFoundByExactPath) {
    struct Case {
        const char* path;
        int folder;
        int file;
    };
    const Case cases[] = {
        {"", 1, 0},
        {"share", 1, 0},
        {"share\\Music", 1, 0},
        {"share\\Music\\sub", 1, 0},
        {"share\\Music\\Café del Mar.mp3", 0, 1},
        {"share\\Music\\ÉCOLE.doc", 0, 1},
        {"share\\a.txt", 0, 1},
        {"share\\music", 0, 0},           // names are compared byte for byte
        {"share\\Music\\", 0, 0},         // no empty segment
        {"share\\\\Music", 0, 0},
        {"\\share", 0, 0},
        {"share/Music", 0, 0},            // only backslashes separate
        {"share\\a.txt\\x", 0, 0},        // below a file
        {"share\\link_to_docs", 0, 0},    // links are not indexed
        {"share\\link_to_file", 0, 0},
        {"share\\escape", 0, 0},
        {"share\\link_to_docs\\notes.md", 0, 0},
        {"nosuch", 0, 0},
        {"share\\Music\\..", 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host::db_folder_exists(db_, c.path), c.folder) << c.path;
        EXPECT_EQ(host::db_file_exists(db_, c.path), c.file) << c.path;
    }
}

TEST_F(IndexLookup, EnumerationListsFoldersFirstThenNamesBytewise) {
    EXPECT_EQ(names_of(list_folder(db_, "")), std::vector<std::string>{"share"});
    EXPECT_EQ(names_of(list_folder(db_, "share")), (std::vector<std::string>{"Docs", "Music", "a.txt"}));
    EXPECT_EQ(names_of(list_folder(db_, "share\\Music")),
              (std::vector<std::string>{"empty", "sub", "Café del Mar.mp3", "Straße.flac", "cafe.txt", "ÉCOLE.doc"}));
    EXPECT_EQ(names_of(list_folder(db_, "share\\Docs")),
              (std::vector<std::string>{".hidden", "notes.md", "report 2024 final.txt", "report-2024.pdf"}));
}

TEST_F(IndexLookup, NothingToListGivesNoHandle) {
    ScopedBuf name;
    IndexedFd fd;
    EXPECT_EQ(host::db_find_first_file(db_, "share\\Music\\empty", name.get(), &fd), nullptr);
    EXPECT_EQ(host::db_find_first_file(db_, "share\\a.txt", name.get(), &fd), nullptr);
    EXPECT_EQ(host::db_find_first_file(db_, "share\\nosuch", name.get(), &fd), nullptr);
    EXPECT_EQ(host::db_find_next_file(nullptr, name.get(), &fd), 0);
    host::db_find_close(nullptr);
}

TEST_F(IndexLookup, FileFactsComeFromTheScan) {
    IndexedFd fd;
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\a.txt", &fd), 1);
    EXPECT_EQ(fd.size, 42u);
    EXPECT_EQ(fd.attributes, 0u);
    auto written = fs::last_write_time(tree_.base() / "tree/a.txt");
    auto since_epoch = std::chrono::file_clock::to_sys(written).time_since_epoch();
    uint64_t expected = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100 +
                        116444736000000000ull;
    EXPECT_EQ(fd.date_modified, expected);
    EXPECT_NE(fd.date_created, INDEXED_UNKNOWN);

    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\Docs\\notes.md", &fd), 1);
    EXPECT_EQ(fd.attributes, FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\Docs\\.hidden", &fd), 1);
    EXPECT_EQ(fd.attributes, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\Music", &fd), 1);
    EXPECT_EQ(fd.attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(host::db_get_indexed_fd(db_, "", &fd), 0);
    EXPECT_EQ(host::db_get_indexed_fd(db_, "share\\nosuch", &fd), 0);
}

TEST_F(IndexLookup, FolderSizesAreTheSumBelow) {
    EXPECT_EQ(host::db_is_index_folder_size(db_), 1);
    IndexedFd fd;
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\Music", &fd), 1);
    EXPECT_EQ(fd.size, 165u);
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share\\Music\\empty", &fd), 1);
    EXPECT_EQ(fd.size, 0u);
    ASSERT_EQ(host::db_get_indexed_fd(db_, "share", &fd), 1);
    EXPECT_EQ(fd.size, 165u + 1011u + 42u);  // links add nothing
    std::vector<Listing> top = list_folder(db_, "share");
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].fd.size, 1011u);
    EXPECT_EQ(top[0].fd.attributes, FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(IndexLookup, AnEnumerationOutlivesANewIndexThatTheReferenceFollows) {
    ScopedBuf name;
    IndexedFd fd;
    SorrelwickDbFind* find = host::db_find_first_file(db_, "share", name.get(), &fd);
    ASSERT_NE(find, nullptr);
    ASSERT_TRUE(tree_.build("tree/Music", "music"));
    // The reference reads the index current at each call; the enumeration the one it began in.
    EXPECT_EQ(host::db_file_exists(db_, "share\\a.txt"), 0);
    EXPECT_EQ(host::db_folder_exists(db_, "music\\sub"), 1);
    std::vector<std::string> names{name.text()};
    while (host::db_find_next_file(find, name.get(), &fd)) names.push_back(name.text());
    host::db_find_close(find);
    EXPECT_EQ(names, (std::vector<std::string>{"Docs", "Music", "a.txt"}));
}

TEST(IndexBuild, WithoutFolderSizesFoldersHaveNoSize) {
    IndexTestTree tree;
    make_music_tree(tree);
    ASSERT_TRUE(tree.build("tree", "share", false));
    SorrelwickDb* db = host::db_add_local_ref();
    EXPECT_EQ(host::db_is_index_folder_size(db), 0);
    IndexedFd fd;
    ASSERT_EQ(host::db_get_indexed_fd(db, "share\\Music", &fd), 1);
    EXPECT_EQ(fd.size, INDEXED_UNKNOWN);
    ASSERT_EQ(host::db_get_indexed_fd(db, "share\\Music\\cafe.txt", &fd), 1);
    EXPECT_EQ(fd.size, 10u);
    host::db_release(db);
}

TEST(IndexBuild, AnIndexedFolderReportsItsTimesAsItsEntriesDo) {
    IndexTestTree tree;
    tree.file("tree/a.txt", 1);
    fs::last_write_time(tree.base() / "tree", fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    ASSERT_TRUE(tree.build("tree", "share"));
    WIN32_FIND_DATAA listed;  // the folder as its parent folder lists it
    HANDLE find = FindFirstFileA((tree.base().string() + "/*").c_str(), &listed);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    while (std::string_view(listed.cFileName) != "tree") ASSERT_TRUE(FindNextFileA(find, &listed));
    FindClose(find);
    auto value = [](const FILETIME& time) { return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; };
    SorrelwickDb* db = host::db_add_local_ref();
    IndexedFd fd;
    ASSERT_EQ(host::db_get_indexed_fd(db, "share", &fd), 1);
    EXPECT_EQ(fd.date_created, value(listed.ftCreationTime));
    EXPECT_EQ(fd.date_modified, value(listed.ftLastWriteTime));
    EXPECT_NE(fd.date_created, fd.date_modified);
    host::db_release(db);
}

TEST(IndexBuild, RootsNeedDistinctNamesAndFolders) {
    IndexTestTree tree;
    make_music_tree(tree);
    std::string error;
    host::IndexOptions options;
    std::string music = (tree.base() / "tree/Music").string(), docs = (tree.base() / "tree/Docs").string();
    EXPECT_FALSE(host::index_build({{music, "x"}, {docs, "x"}}, options, &error));
    EXPECT_NE(error.find("\"x\""), std::string::npos) << error;
    EXPECT_FALSE(host::index_build({{(tree.base() / "tree/a.txt").string(), "a"}}, options, &error));
    EXPECT_FALSE(host::index_build({{(tree.base() / "nosuch").string(), "a"}}, options, &error));
    EXPECT_FALSE(host::index_build({{music, "a\\b"}}, options, &error));
    EXPECT_FALSE(host::index_build({{music, ".."}}, options, &error));

    ASSERT_TRUE(host::index_build({{music, ""}, {docs, "documents"}}, options, &error)) << error;
    SorrelwickDb* db = host::db_add_local_ref();
    EXPECT_EQ(host::db_file_exists(db, "Music\\cafe.txt"), 1);  // the base name by default
    EXPECT_EQ(host::db_file_exists(db, "documents\\notes.md"), 1);
    host::db_release(db);
}

TEST(IndexBuild, UnreadableFoldersAndUnusableNamesAreSkipped) {
    IndexTestTree tree;
    tree.file("tree/ok/file.txt", 1);
    tree.file("tree/back\\slash.txt", 1);
    tree.file("tree/line\nfeed.txt", 1);
    tree.file("tree/closed/inside.txt", 1);
    fs::permissions(tree.base() / "tree/closed", fs::perms::none);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(tree.build("tree", "t"));
    std::string summary = testing::internal::GetCapturedStderr();
    SorrelwickDb* db = host::db_add_local_ref();
    ScopedBuf name;
    IndexedFd fd;
    SorrelwickDbFind* inside = host::db_find_first_file(db, "t\\closed", name.get(), &fd);
    bool closed_was_read = inside != nullptr;  // a superuser reads it all the same
    host::db_find_close(inside);
    EXPECT_NE(summary.find(closed_was_read ? "swp-host: indexed 5 entries in " : "swp-host: indexed 4 entries in "),
              std::string::npos) << summary;
    EXPECT_NE(summary.find(closed_was_read ? " s (2 skipped)\n" : " s (3 skipped)\n"), std::string::npos) << summary;
    EXPECT_EQ(host::db_file_exists(db, "t\\ok\\file.txt"), 1);
    EXPECT_EQ(host::db_folder_exists(db, "t\\closed"), 1);
    std::vector<Listing> top = list_folder(db, "t");
    EXPECT_EQ(names_of(top), (std::vector<std::string>{"closed", "ok"}));
    host::db_release(db);
    fs::permissions(tree.base() / "tree/closed", fs::perms::owner_all);
}

// A folder that no path can name, made and removed through its parent's descriptor.
class FolderBeyondPaths {
public:
    FolderBeyondPaths(const fs::path& parent, std::string name)
        : parent_(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), name_(std::move(name)) {
        made_ = parent_ >= 0 && mkdirat(parent_, name_.c_str(), 0755) == 0;
    }
    ~FolderBeyondPaths() {
        if (made_) unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
        if (parent_ >= 0) close(parent_);
    }
    bool made() const { return made_; }

private:
    int parent_;
    std::string name_;
    bool made_ = false;
};

// Deeper than any fixed bound on a path's folders (300 named "d"), then folders of 200-byte names
// down to the system's limit of 4,096 bytes for a path, a file at the bottom and a folder beyond it.
TEST(IndexBuild, EveryEntryThatAPathCanNameIsIndexedWithItsWholePath) {
    IndexTestTree tree;
    const std::string long_name(200, 'n');
    std::string relative = "tree", index_path = "t";
    for (int i = 0; i < 300; ++i) relative += "/d", index_path += "\\d";
    size_t length = fs::canonical(tree.base()).string().size() + relative.size() + 1;
    size_t folders = 300;
    for (; length + 1 + long_name.size() + 2 < 4096; length += 1 + long_name.size(), ++folders)
        relative += "/" + long_name, index_path += "\\" + long_name;
    tree.file(relative + "/f", 1);
    FolderBeyondPaths beyond(fs::canonical(tree.base() / relative), std::string(255, 'x'));
    ASSERT_TRUE(beyond.made());

    testing::internal::CaptureStderr();
    ASSERT_TRUE(tree.build("tree", "t"));
    std::string summary = testing::internal::GetCapturedStderr();
    EXPECT_NE(summary.find("swp-host: indexed " + std::to_string(folders + 2) + " entries in "), std::string::npos)
        << summary;
    std::string named = " s (1 skipped)\nswp-host: skipped 1 entry in " +
                        fs::canonical(tree.base() / relative).string() +
                        ": beyond the system's limit of 4,096 bytes for a path\n";
    EXPECT_NE(summary.find(named), std::string::npos) << summary.substr(0, 300);
    host::ScopedView view;
    uint32_t file = host::view_lookup(view, index_path + "\\f");
    ASSERT_NE(file, host::INDEX_NO_ENTRY);
    std::string path;
    host::view_append_path(view, file, &path);
    EXPECT_EQ(path, index_path + "\\f");
}

}  // namespace
