// The live index: changes read from the disk into the overlay read exactly like a fresh index of
// the changed tree (listings, facts, searches, every sort), before and after a fold, while older
// views keep what they saw; listings and searches running while a thread changes a folder; the
// saved index read back, and refused when it does not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_set>

#include "host/index/index_file.h"
#include "host/index/index_fold.h"
#include "host/index/index_rescan.h"
#include "host/index/index_scan.h"
#include "host/index/index_update.h"
#include "host/index/result_follow.h"
#include "host/index/result_sort.h"
#include "host/index/search_run.h"
#include "tests/host/index_test_tree.h"

namespace {

// Every entry of a view, depth first in enumeration order, with its facts.
std::vector<std::string> describe(const host::IndexView& view) {
    std::vector<std::string> lines;
    std::vector<std::pair<uint32_t, std::string>> stack{{host::INDEX_NO_ENTRY, ""}};
    std::vector<uint32_t> scratch;
    while (!stack.empty()) {
        auto [folder, path] = stack.back();
        stack.pop_back();
        std::vector<uint32_t> children;
        for (uint32_t child : host::view_children(view, folder, &scratch)) children.push_back(child);
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            host::EntryRef ref = host::view_entry(view, *child);
            std::string child_path = path + "\\" + std::string(host::ref_name(view, ref));
            IndexedFd fd;
            host::ref_fill_fd(ref, &fd);
            lines.push_back(child_path + " " + std::to_string(fd.size) + " " + std::to_string(fd.date_created) + " " +
                            std::to_string(fd.date_modified) + " " + std::to_string(fd.attributes));
            if (host::ref_is_folder(ref)) stack.emplace_back(*child, child_path);
        }
    }
    return lines;
}

std::vector<std::string> paths_of(const host::IndexView& view, const std::vector<uint32_t>& entries) {
    std::vector<std::string> paths;
    for (uint32_t e : entries) {
        std::string path;
        host::view_append_path(view, e, &path);
        paths.push_back(path);
    }
    return paths;
}

struct Query {
    const char* text;
    host::SearchOptions options;
};

std::vector<Query> test_queries() {
    host::SearchOptions path, regex, whole;
    path.match_path = true;
    regex.regex = true;
    whole.whole_word = true;
    return {{"", {}}, {"txt", {}}, {"*.mp3|*.flac", {}}, {"music\\", {}}, {"sub", path},
            {"^[a-s]", regex}, {"2024", whole}, {"ça", {}}, {"!e", {}},
            {"^caf\u00e9 ", regex}};  // composed: also finds the decomposed name
}

// The paths each search finds, in each sort and direction (but by date recently changed, which a
// fresh index does not know).
std::vector<std::vector<std::string>> searches(const host::IndexView& view) {
    std::vector<std::vector<std::string>> found;
    for (const Query& query : test_queries()) {
        host::SearchRequest request;
        request.main = host::search_compile(query.text, query.options);
        std::vector<uint32_t> results;
        EXPECT_TRUE(host::search_run(view, request, {}, &results));
        for (int property : {0, 1, 2, 3, 5, 6, 8})
            for (bool ascending : {true, false}) {
                std::vector<uint32_t> sorted = results;
                EXPECT_TRUE(host::result_sort(view, property, ascending, {}, &sorted));
                found.push_back(paths_of(view, sorted));
                found.back().insert(found.back().begin(), std::string(query.text) + " " + std::to_string(property));
            }
    }
    return found;
}

void expect_same(const std::vector<std::vector<std::string>>& found, const std::vector<std::vector<std::string>>& expected) {
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], expected[i]) << expected[i][0];
}

// A fresh index of a folder, beside the current one: a generation of its own.
host::IndexView fresh_view(const std::string& folder, const std::string& name) {
    host::ScanState scan;
    std::vector<host::IndexRootFolder> roots;
    std::string error;
    EXPECT_TRUE(host::index_scan({{folder, name}}, &scan, &roots, &error)) << error;
    auto* generation = new host::IndexGeneration(host::index_snapshot_from_scan(scan, roots, true, {}));
    return {generation, 0};
}

class LiveIndex : public ::testing::Test {
protected:
    void SetUp() override {
        make_music_tree(tree_);
        ASSERT_TRUE(tree_.build("tree", "share"));
        before_ = host::index_view_acquire();
        host::overlay_writer_start(&writer_, host::index_view_copy(before_).generation);
        writer_.now = 1234567;
        changer_.writer = &writer_;
        changer_.counts = &counts_;
        root_ = host::view_base(before_).roots[0];
    }
    void TearDown() override {
        host::overlay_writer_end(&writer_);
        host::index_view_release(&before_);
    }
    fs::path at(const std::string& relative) const { return tree_.base() / "tree" / relative; }
    std::string folder() const { return at("").string(); }

    IndexTestTree tree_;
    host::IndexView before_;
    host::OverlayWriter writer_;
    host::RescanCounts counts_;
    host::IndexChanger changer_;
    host::IndexRootFolder root_;
};

TEST_F(LiveIndex, ChangesReadLikeAFreshIndexOfTheChangedTreeBeforeAndAfterAFold) {
    std::vector<std::string> original = describe(before_);
    // A folder moved and renamed, as a move note gives it: it keeps its entries.
    fs::rename(at("Music/sub"), at("Docs/sub moved"));
    ASSERT_TRUE(host::rescan_move(changer_, root_, "Music/sub", "Docs/sub moved"));
    EXPECT_FALSE(host::rescan_move(changer_, root_, "Music/sub", "Docs/elsewhere")) << "no longer there";
    tree_.file("tree/a.txt", 80);
    tree_.file("tree/Music/new file.txt", 5);
    tree_.file("tree/Music/Ça va.flac", 9);
    tree_.file("tree/Music/cafe\u0301 noir.mp3", 4);  // decomposed
    fs::rename(at("Docs/notes.md"), at("Docs/Notes.md"));
    fs::remove(at("Music/empty"));
    tree_.file("tree/New/deeper/x.mp3", 3);
    fs::remove(at("Docs/report-2024.pdf"));
    tree_.file("tree/Docs/report-2024.pdf/inside.txt", 2);  // a file became a folder
    host::rescan_path(changer_, root_, "Music/new file.txt", true);
    host::rescan_path(changer_, root_, "New/deeper/x.mp3", true);
    ASSERT_TRUE(host::rescan_subtree(changer_, root_, root_.entry, ""));
    host::overlay_publish(&writer_);

    host::ScopedView live;
    host::IndexView fresh = fresh_view(folder(), "share");
    EXPECT_FALSE(host::view_is_pure(live));
    EXPECT_EQ(describe(live), describe(fresh));
    std::vector<std::vector<std::string>> found = searches(live);
    expect_same(found, searches(fresh));
    EXPECT_NE(std::find(found.back().begin(), found.back().end(), "share\\Music\\cafe\u0301 noir.mp3"), found.back().end());
    EXPECT_EQ(host::view_lookup(live, "share\\Music\\sub\\deep song.mp3"), host::INDEX_NO_ENTRY);
    uint32_t moved = host::view_lookup(live, "share\\Docs\\sub moved\\deep song.mp3");
    ASSERT_NE(moved, host::INDEX_NO_ENTRY);
    EXPECT_LT(moved, host::view_base(live).entries.size()) << "a moved folder keeps its entries";
    EXPECT_EQ(host::ref_recent(live, host::view_entry(live, moved)), INDEXED_UNKNOWN) << "unchanged itself";
    EXPECT_EQ(host::ref_recent(live, host::view_entry(live, host::view_lookup(live, "share\\a.txt"))), 1234567u);
    EXPECT_EQ(counts_.removed, 3u);  // Music/empty, notes.md and report-2024.pdf as a file

    // The view taken before the changes still reads the tree as it was.
    EXPECT_EQ(describe(before_), original);

    host::IndexView folded{new host::IndexGeneration(host::index_fold(live, nullptr)), 0};
    EXPECT_TRUE(host::view_is_pure(folded));
    EXPECT_EQ(describe(folded), describe(fresh));
    expect_same(searches(folded), searches(fresh));
    EXPECT_EQ(host::ref_recent(folded, host::view_entry(folded, host::view_lookup(folded, "share\\a.txt"))), 1234567u);
    host::index_view_release(&folded);
    host::index_view_release(&fresh);
}

// Held lists of every search and sort, whole and cut to a few, taken from a view, then followed:
// each reads as the same search of a fresh index of the tree.
class HeldLists {
public:
    explicit HeldLists(const host::IndexView& view) {
        for (const Query& query : test_queries())
            for (int property : {0, 1, 2, 3, 5, 6, 8})
                for (bool ascending : {true, false})
                    for (uint32_t count : {0u, 3u}) {
                        auto search = std::make_shared<host::QuerySearch>();
                        search->text = query.text;
                        search->options = query.options;
                        search->sort_property = property;
                        search->sort_ascending = ascending;
                        search->max_results = count;
                        host::SharedResults results(host::query_answer(view, *search, host::query_request(*search), {}));
                        held_.push_back(host::result_follow_hold(search, results));
                    }
    }
    // Once the follower has taken the current version.
    void expect_as_fresh(const std::string& folder, const char* after) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!host::result_follow_caught_up() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(host::result_follow_caught_up()) << after;
        host::IndexView fresh = fresh_view(folder, "share");
        for (const std::shared_ptr<host::HeldList>& list : held_) {
            const host::QuerySearch& search = *host::result_follow_search(*list);
            host::SharedResults newest = host::result_follow_newest(*list);
            auto expected = host::query_answer(fresh, search, host::query_request(search), {});
            EXPECT_EQ(paths_of(newest->view, newest->entries), paths_of(fresh, expected->entries))
                << after << ": " << search.text << " by " << search.sort_property << (search.sort_ascending ? "" : " descending")
                << " count " << search.max_results;
        }
        host::index_view_release(&fresh);
    }

private:
    std::vector<std::shared_ptr<host::HeldList>> held_;
};

TEST_F(LiveIndex, HeldListsFollowChangesMovesAndFolds) {
    auto held = std::make_unique<HeldLists>(before_);
    tree_.file("tree/a.txt", 80);
    tree_.file("tree/Music/new file.txt", 5);
    tree_.file("tree/Music/cafe\u0301 noir.mp3", 4);
    fs::rename(at("Docs/notes.md"), at("Docs/Notes.md"));
    fs::remove(at("Music/empty"));
    fs::remove(at("Docs/report-2024.pdf"));
    tree_.file("tree/Docs/report-2024.pdf/inside.txt", 2);
    ASSERT_TRUE(host::rescan_subtree(changer_, root_, root_.entry, ""));
    host::overlay_publish(&writer_);
    held->expect_as_fresh(folder(), "new, renamed and removed files");

    fs::rename(at("Music/sub"), at("Docs/sub moved"));
    ASSERT_TRUE(host::rescan_move(changer_, root_, "Music/sub", "Docs/sub moved"));
    host::overlay_publish(&writer_);
    held->expect_as_fresh(folder(), "a folder moved");
    host::ScopedView moved;  // lists of it meet the fold without a folder moved since
    fs::remove(at("Docs/.hidden"));
    ASSERT_TRUE(host::rescan_subtree(changer_, root_, root_.entry, ""));
    host::overlay_publish(&writer_);

    // A fold as the updater makes one: a change made while it runs is followed in the old
    // generation, then written again to the fold's, which has another before it becomes current.
    host::ScopedView live;
    std::vector<uint32_t> renumbered;
    auto* folded = new host::IndexGeneration(host::index_fold(live, nullptr, &renumbered));
    folded->origin = std::make_unique<host::FoldOrigin>(
        host::FoldOrigin{live.get().generation->serial, live.get().version, std::move(renumbered)});
    tree_.file("tree/Docs/during the fold.txt", 6);
    fs::remove(at("a.txt"));
    ASSERT_TRUE(host::rescan_subtree(changer_, root_, root_.entry, ""));
    host::overlay_publish(&writer_);
    held->expect_as_fresh(folder(), "a change during a fold");
    folded->references.fetch_add(1);  // the writer's
    host::overlay_writer_end(&writer_);
    host::overlay_writer_start(&writer_, folded);
    host::IndexRootFolder root = host::view_base({folded, 0}).roots[0];
    ASSERT_TRUE(host::rescan_subtree(changer_, root, root.entry, ""));
    host::overlay_publish(&writer_);
    tree_.file("tree/Music/cafe.txt", 11);
    ASSERT_TRUE(host::rescan_subtree(changer_, root, root.entry, ""));
    host::overlay_publish(&writer_);
    host::index_generation_set_current(folded);
    held->expect_as_fresh(folder(), "the fold's generation");
    held.reset();
    // Lists of versions before the fold's, one set at a time (equal lists would share an outcome).
    HeldLists(before_).expect_as_fresh(folder(), "lists older than the fold");
    HeldLists(moved.get()).expect_as_fresh(folder(), "lists older than the fold, after the move");
}

TEST_F(LiveIndex, ListingsAndSearchesWhileAThreadChangesTheFolder) {
    constexpr int CHANGES = 3000;
    uint32_t docs = host::view_lookup(before_, "share\\Docs");
    std::atomic<bool> done{false};
    std::atomic<int> listings{0};
    auto lister = [&] {
        SorrelwickDb* db = host::db_add_local_ref();
        while (!done.load()) {
            ScopedBuf name;
            IndexedFd fd;
            std::vector<std::string> names;
            SorrelwickDbFind* find = host::db_find_first_file(db, "share\\Docs", name.get(), &fd);
            ASSERT_NE(find, nullptr);
            do names.push_back(name.text());
            while (host::db_find_next_file(find, name.get(), &fd));
            host::db_find_close(find);
            // Files only: one run in name order, each name once, none made up.
            EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
            EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
            for (const std::string& seen : names)
                EXPECT_TRUE(seen[0] == 'n' || seen[0] == 'r' || seen[0] == '.') << seen;
            ++listings;
        }
        host::db_release(db);
    };
    auto searcher = [&] {
        host::SearchRequest request;
        request.main = host::search_compile("n1", {});
        while (!done.load()) {
            host::ScopedView view;
            std::vector<uint32_t> results;
            host::search_run(view, request, {}, &results);
            host::result_sort(view, 1, true, {}, &results);
            for (const std::string& path : paths_of(view, results)) EXPECT_NE(path.find("n1"), std::string::npos);
        }
    };
    std::thread first(lister), second(searcher);
    std::vector<uint32_t> made(100, host::INDEX_NO_ENTRY);
    for (int i = 0; i < CHANGES; ++i) {
        uint32_t& slot = made[i % 100];
        if (slot == host::INDEX_NO_ENTRY) {
            slot = host::overlay_add(&writer_, docs, "n" + std::to_string(i % 100), {static_cast<uint64_t>(i), 1, 2, 0});
        } else {
            host::overlay_remove(&writer_, slot);
            slot = host::INDEX_NO_ENTRY;
        }
        host::overlay_publish(&writer_);
    }
    // Both readers have run against the changing index before they are told to end.
    for (int i = 0; i < 1000000 && listings.load() < 3; ++i) std::this_thread::yield();
    done = true;
    first.join();
    second.join();
    EXPECT_GE(listings.load(), 3);
}

// Folders made one in another faster than their notes are applied, as the watch reports them: one
// note per folder, each with the folders below it already on the disk. Each folder is read once,
// and the deepest entry has its whole path, deeper than any fixed bound on a path's folders.
TEST_F(LiveIndex, ANoteOfEachFolderOfANewChainReadsEachFolderOnce) {
    constexpr int FOLDERS = 300;
    std::vector<std::string> notes;
    std::string relative = "chain", index_path = "share\\chain";
    for (int i = 1; i < FOLDERS; ++i) {
        notes.push_back(relative);
        relative += "/d", index_path += "\\d";
    }
    notes.push_back(relative);
    notes.push_back(relative + "/leaf.txt");
    tree_.file("tree/" + relative + "/leaf.txt", 3);
    std::unordered_set<uint32_t> read_whole;
    changer_.read_whole = &read_whole;
    for (const std::string& note : notes) host::rescan_path(changer_, root_, note, true);
    host::overlay_publish(&writer_);
    EXPECT_EQ(counts_.examined, static_cast<size_t>(FOLDERS)) << "the entries read from the disk";
    EXPECT_EQ(counts_.added, static_cast<size_t>(FOLDERS + 1));
    host::ScopedView live;
    uint32_t leaf = host::view_lookup(live, index_path + "\\leaf.txt");
    ASSERT_NE(leaf, host::INDEX_NO_ENTRY);
    std::string folder;
    host::view_append_folder_path(live, leaf, &folder);
    EXPECT_EQ(folder, index_path);
}

// Waits up to thirty seconds for the condition (a busy machine may hold the watcher back for long).
template <typename Condition>
bool eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // leaves the cores to the updater
    }
    return true;
}

bool indexed(const std::string& path) {
    host::ScopedView view;
    return host::view_lookup(view, path) != host::INDEX_NO_ENTRY;
}

// The first fold waits on its thread until the test lets it go; later ones run at once.
std::atomic<int> g_fold_step{0};  // 0: none yet, 1: the first has begun, 2: it may go on
void hold_first_fold() {
    int none = 0;
    if (!g_fold_step.compare_exchange_strong(none, 1)) return;
    eventually([] { return g_fold_step.load() == 2; });
}

TEST(LiveUpdater, AFoldKeepsTheChangesMadeWhileItRuns) {
    IndexTestTree tree;
    make_music_tree(tree);
    std::string folder = (tree.base() / "tree").string();
    size_t generations = host::updater_generations_made();
    std::string error;
    ASSERT_TRUE(host::index_start({{folder, "share"}}, {}, "", &error)) << error;
    ASSERT_TRUE(eventually([&] { return host::updater_generations_made() > generations; })) << "the first scan";
    host::updater_set_fold_threshold(20);
    host::updater_set_fold_hook(hold_first_fold);
    for (int i = 0; i < 30; ++i) tree.file("tree/before/" + std::to_string(i), i);
    ASSERT_TRUE(eventually([] { return g_fold_step.load() == 1; })) << "a fold";
    // Made while the fold runs: replayed on the new base.
    for (int i = 0; i < 30; ++i) tree.file("tree/during/" + std::to_string(i), i);
    fs::rename(tree.base() / "tree/before/7", tree.base() / "tree/Docs/seven");
    fs::remove(tree.base() / "tree/before/8");
    fs::rename(tree.base() / "tree/Music", tree.base() / "tree/Tunes");
    EXPECT_TRUE(eventually([] { return indexed("share\\during\\29") && indexed("share\\Tunes\\sub"); }));
    g_fold_step = 2;
    EXPECT_TRUE(eventually([&] { return host::updater_generations_made() > generations + 1; })) << "the fold's base";
    EXPECT_TRUE(eventually([&] {
        host::ScopedView live;
        host::IndexView fresh = fresh_view(folder, "share");
        bool same = describe(live) == describe(fresh);
        host::index_view_release(&fresh);
        return same;
    }));
    host::updater_set_fold_hook(nullptr);
    host::updater_set_fold_threshold(0);
    host::index_shutdown();
}

// The watches of a large tree take seconds to place; a stop meanwhile ends the start there, and the
// index, still incomplete, is not saved.
std::atomic<int> g_setup_step{0};  // 0: none yet, 1: the watches are being placed

TEST(LiveUpdater, AStopWhileTheWatchesArePlacedSavesNothingAndSaysSo) {
    IndexTestTree tree;
    make_music_tree(tree);
    std::string saved = (tree.base() / "saved" / "index").string();
    SetDirectoryWatchSetupHook([] {
        int none = 0;
        if (g_setup_step.compare_exchange_strong(none, 1)) eventually([] { return host::updater_stop_requested(); });
    });
    std::string error;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(host::index_start({{(tree.base() / "tree").string(), "share"}}, {}, saved, &error)) << error;
    bool placing = eventually([] { return g_setup_step.load() == 1; });
    host::index_shutdown();
    std::string console = testing::internal::GetCapturedStderr();
    SetDirectoryWatchSetupHook(nullptr);
    EXPECT_TRUE(placing);
    EXPECT_NE(console.find("swp-host: stopped before the folders were indexed: the index was not saved\n"),
              std::string::npos) << console;
    EXPECT_EQ(console.find("watched"), std::string::npos) << console;
    EXPECT_FALSE(fs::exists(saved));
}

TEST(SavedIndex, ReadsBackWhatWasWrittenAndRefusesWhatDoesNotFit) {
    IndexTestTree tree;
    make_music_tree(tree);
    ASSERT_TRUE(tree.build("tree", "share"));
    host::ScopedView view;
    const host::IndexSnapshot& base = host::view_base(view);
    std::string path = (tree.base() / "saved" / "index").string();
    std::string error;
    ASSERT_TRUE(host::index_file_write(path, base, &error)) << error;
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    std::vector<std::string> names{"share"};
    auto read = [&](const std::vector<host::IndexRootFolder>& roots, bool sizes) {
        host::IndexSnapshot* s = host::index_file_read(path, roots, names, sizes, &error);
        bool same = s && s->names == base.names && s->folded == base.folded && s->children == base.children &&
                    s->path_rank == base.path_rank && s->extra_text == base.extra_text &&
                    s->entries.size() == base.entries.size() && s->roots[0].entry == base.roots[0].entry &&
                    std::equal(s->entries.begin(), s->entries.end(), base.entries.begin(), [](auto& a, auto& b) {
                        return std::memcmp(&a, &b, sizeof a) == 0;
                    });
        delete s;
        return same;
    };
    EXPECT_TRUE(read(base.roots, true)) << error;
    EXPECT_FALSE(read(base.roots, false));
    EXPECT_EQ(error, "it holds folder sizes");
    EXPECT_FALSE(read({{base.roots[0].folder + "/Music", base.roots[0].entry}}, true));
    EXPECT_EQ(error, "it is an index of other folders");

    std::string whole;
    {
        std::ifstream in(path, std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto rewrite = [&](const std::string& bytes) { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; };
    struct Case {
        std::string bytes;
        const char* reason;
    };
    std::string damaged = whole, other_version = whole;
    damaged[whole.size() / 2] ^= 0x20;
    other_version[8] += 1;
    const Case cases[] = {
        {whole.substr(0, whole.size() - 9), "it is truncated"},
        {damaged, "it is damaged (its checksum does not match)"},
        {other_version, "another version of swp-host wrote it"},
        {"plain text, no index", "it is no saved index"},
    };
    for (const Case& c : cases) {
        rewrite(c.bytes);
        EXPECT_FALSE(read(base.roots, true));
        EXPECT_EQ(error, c.reason);
    }
    fs::remove(path);
    EXPECT_FALSE(read(base.roots, true));
    EXPECT_EQ(error, "") << "no file is no error";
}

}  // namespace
