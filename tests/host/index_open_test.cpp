// os_open_file: only files that the index holds, never through a symbolic link, never outside.
#include <gtest/gtest.h>

#include "tests/host/index_test_tree.h"

namespace {

std::string read_all(HANDLE file) {
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    return content;
}

class IndexOpen : public ::testing::Test {
protected:
    void SetUp() override {
        make_music_tree(tree_);
        tree_.link("tree/escape", "../secret.txt");
        tree_.link("tree/Docs/inside_link", "notes.md");
        std::string error;
        ASSERT_TRUE(tree_.build("tree", "share", true, &error)) << error;
    }
    IndexTestTree tree_;
};

TEST_F(IndexOpen, OpensIndexedFilesForReadingAndSeeking) {
    HANDLE file = host::os_open_file("share\\a.txt");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read_all(file), "abcdefghijabcdefghijabcdefghijabcdefghijab");
    LARGE_INTEGER offset;
    offset.QuadPart = 40;
    ASSERT_TRUE(SetFilePointerEx(file, offset, nullptr, FILE_BEGIN));
    EXPECT_EQ(read_all(file), "ab");
    EXPECT_TRUE(CloseHandle(file));

    file = host::os_open_file("share\\Music\\Café del Mar.mp3");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read_all(file).size(), 100u);
    CloseHandle(file);
}

TEST_F(IndexOpen, RefusesWhatTheIndexDoesNotHoldAsAFile) {
    for (const char* path : {"", "share", "share\\Music", "share\\escape", "share\\Docs\\inside_link",
                             "share\\..\\secret.txt", "share\\nosuch.txt", "secret.txt", "share/a.txt",
                             "share\\Music\\..\\a.txt"})
        EXPECT_EQ(host::os_open_file(path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(host::os_open_file(nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(IndexOpen, ALinkPutInPlaceAfterTheScanIsNotFollowed) {
    // The index still holds both as files; on disk each became a link leading outside.
    fs::remove(tree_.base() / "tree/Docs/notes.md");
    fs::create_symlink("../../secret.txt", tree_.base() / "tree/Docs/notes.md");
    EXPECT_EQ(host::os_open_file("share\\Docs\\notes.md"), INVALID_HANDLE_VALUE);

    fs::rename(tree_.base() / "tree/Music", tree_.base() / "tree/Music.old");
    fs::create_directories(tree_.base() / "outside");
    std::ofstream(tree_.base() / "outside/cafe.txt") << "outside";
    fs::create_symlink("../outside", tree_.base() / "tree/Music");
    EXPECT_EQ(host::os_open_file("share\\Music\\cafe.txt"), INVALID_HANDLE_VALUE);
}

TEST_F(IndexOpen, TheIndexedFolderReplacedByALinkIsNotFollowed) {
    fs::rename(tree_.base() / "tree", tree_.base() / "tree.old");
    fs::create_directories(tree_.base() / "outside");
    std::ofstream(tree_.base() / "outside/a.txt") << "outside";
    fs::create_symlink("outside", tree_.base() / "tree");
    EXPECT_EQ(host::os_open_file("share\\a.txt"), INVALID_HANDLE_VALUE);
}

TEST_F(IndexOpen, RefusesAFileThatIsNoLongerRegular) {
    fs::remove(tree_.base() / "tree/a.txt");
    fs::create_directories(tree_.base() / "tree/a.txt");
    EXPECT_EQ(host::os_open_file("share\\a.txt"), INVALID_HANDLE_VALUE);
}

}  // namespace
