// A small folder tree on disk for the index tests, removed again at the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/index/index.h"
#include "host/index/index_store.h"
#include "host/services.h"

namespace fs = std::filesystem;

class IndexTestTree {
public:
    IndexTestTree() {
        std::random_device seed;
        base_ = fs::temp_directory_path() / ("swp-index-test-" + std::to_string(seed()) + std::to_string(seed()));
        fs::create_directories(base_);
    }
    ~IndexTestTree() {
        host::index_shutdown();
        std::error_code ignored;
        fs::permissions(base_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(base_, ignored);
    }
    const fs::path& base() const { return base_; }

    void folder(const std::string& relative) { fs::create_directories(base_ / relative); }
    void file(const std::string& relative, size_t size, const std::string& fill = "x") {
        fs::create_directories((base_ / relative).parent_path());
        std::ofstream out(base_ / relative, std::ios::binary);
        std::string content;
        while (content.size() < size) content += fill;
        content.resize(size);
        out << content;
    }
    void link(const std::string& relative, const std::string& target) {
        fs::create_symlink(target, base_ / relative);
    }

    // Builds the index of one folder below base() under the given name.
    bool build(const std::string& folder, const std::string& name, bool folder_sizes = true,
               std::string* error = nullptr) {
        host::IndexOptions options;
        options.folder_sizes = folder_sizes;
        return host::index_build({{(base_ / folder).string(), name}}, options, error);
    }

private:
    fs::path base_;
};

// utf8 text buffer on the stack, killed at the end of the scope.
struct ScopedBuf {
    Utf8Buf buffer;
    ScopedBuf() { host::utf8_buf_init(&buffer); }
    ~ScopedBuf() { host::utf8_buf_kill(&buffer); }
    Utf8Buf* get() { return &buffer; }
    std::string text() const { return std::string(buffer.text, buffer.length); }
};

// The tree most tests use: names with marks, capitals, a sharp s, punctuation and blanks.
inline void make_music_tree(IndexTestTree& tree) {
    tree.file("tree/Music/Café del Mar.mp3", 100);
    tree.file("tree/Music/cafe.txt", 10);
    tree.file("tree/Music/ÉCOLE.doc", 20);
    tree.file("tree/Music/Straße.flac", 30);
    tree.file("tree/Music/sub/deep song.mp3", 5);
    tree.folder("tree/Music/empty");
    tree.file("tree/Docs/report-2024.pdf", 1000);
    tree.file("tree/Docs/report 2024 final.txt", 7);
    tree.file("tree/Docs/notes.md", 3);
    tree.file("tree/Docs/.hidden", 1);
    tree.file("tree/a.txt", 42, "abcdefghij");
    tree.file("secret.txt", 6, "secret");
}
