// Search semantics on a small tree with non-ASCII names: each option alone and combined,
// wildcards, OR, NOT, quotes, regular expressions, the filter, and every sort.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/index/result_sort.h"
#include "host/index/search_run.h"
#include "tests/host/index_test_tree.h"

namespace {

using host::SearchOptions;

class IndexSearch : public ::testing::Test {
protected:
    void SetUp() override {
        make_music_tree(tree_);
        ASSERT_TRUE(tree_.build("tree", "share"));
        view_ = host::index_view_acquire();
        snapshot_ = &host::view_base(view_);
    }
    void TearDown() override { host::index_view_release(&view_); }

    std::vector<uint32_t> run(const std::string& text, const SearchOptions& options, const std::string& filter = "",
                              uint32_t filter_flags = 0) {
        host::SearchRequest request;
        request.main = host::search_compile(text, options);
        request.filter = host::search_compile(filter, host::search_options_from_filter_flags(filter_flags));
        std::vector<uint32_t> results;
        EXPECT_TRUE(host::search_run(view_, request, {}, &results));
        return results;
    }

    std::vector<std::string> names(const std::vector<uint32_t>& results) {
        std::vector<std::string> out;
        for (uint32_t e : results) out.emplace_back(host::entry_name(*snapshot_, e));
        return out;
    }

    // Names found, sorted for comparison (the order is tested separately).
    std::vector<std::string> found(const std::string& text, const SearchOptions& options = {},
                                   const std::string& filter = "", uint32_t filter_flags = 0) {
        std::vector<std::string> out = names(run(text, options, filter, filter_flags));
        std::sort(out.begin(), out.end());
        return out;
    }

    IndexTestTree tree_;
    host::IndexView view_;
    const host::IndexSnapshot* snapshot_ = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(IndexSearch, EmptyTextFindsEverything) {
    EXPECT_EQ(run("", {}).size(), 15u);  // share, 4 folders, 10 files
    EXPECT_EQ(run("   ", {}).size(), 15u);
}

TEST_F(IndexSearch, SubstringsIgnoreCaseAndMarksByDefault) {
    EXPECT_EQ(found("cafe"), (Names{"Café del Mar.mp3", "cafe.txt"}));
    EXPECT_EQ(found("CAFÉ"), (Names{"Café del Mar.mp3", "cafe.txt"}));
    EXPECT_EQ(found("école"), (Names{"ÉCOLE.doc"}));
    EXPECT_EQ(found("STRASSE"), (Names{"Straße.flac"}));  // full case folding
    EXPECT_EQ(found("nothing-like-this"), Names{});
}

TEST_F(IndexSearch, MatchCaseAndDiacritics) {
    SearchOptions match_case;
    match_case.match_case = true;
    EXPECT_EQ(found("Cafe", match_case), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("cafe", match_case), (Names{"cafe.txt"}));
    EXPECT_EQ(found("ECOLE", match_case), (Names{"ÉCOLE.doc"}));
    SearchOptions diacritics;
    diacritics.match_diacritics = true;
    EXPECT_EQ(found("cafe", diacritics), (Names{"cafe.txt"}));
    EXPECT_EQ(found("CAFÉ", diacritics), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("ecole", diacritics), Names{});
    SearchOptions both = match_case;
    both.match_diacritics = true;
    EXPECT_EQ(found("Café", both), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("café", both), Names{});
    EXPECT_EQ(found("ÉCOLE", both), (Names{"ÉCOLE.doc"}));
}

TEST_F(IndexSearch, WholeWordPrefixAndSuffix) {
    SearchOptions word;
    word.whole_word = true;
    EXPECT_EQ(found("del", word), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("de", word), Names{});
    EXPECT_EQ(found("de|mar|flac", word), (Names{"Café del Mar.mp3", "Straße.flac"}));
    EXPECT_EQ(found("de|mar|flac|q1|q2|q3|q4|q5", word), (Names{"Café del Mar.mp3", "Straße.flac"}));  // one pass
    EXPECT_EQ(found("2024", word), (Names{"report 2024 final.txt", "report-2024.pdf"}));
    SearchOptions prefix;
    prefix.prefix = true;
    EXPECT_EQ(found("rep", prefix), (Names{"report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(found("port", prefix), Names{});
    SearchOptions suffix;
    suffix.suffix = true;
    EXPECT_EQ(found(".mp3", suffix), (Names{"Café del Mar.mp3", "deep song.mp3"}));
    EXPECT_EQ(found("mp", suffix), Names{});
    SearchOptions both = prefix;
    both.suffix = true;
    EXPECT_EQ(found("cafe.txt", both), (Names{"cafe.txt"}));
    EXPECT_EQ(found("cafe", both), Names{});
}

TEST_F(IndexSearch, IgnoringPunctuationAndWhiteSpace) {
    SearchOptions punctuation;
    punctuation.ignore_punctuation = true;
    EXPECT_EQ(found("report2024", punctuation), (Names{"report-2024.pdf"}));
    EXPECT_EQ(found("re-port", punctuation), (Names{"report 2024 final.txt", "report-2024.pdf"}));
    SearchOptions blanks;
    blanks.ignore_whitespace = true;
    EXPECT_EQ(found("report2024", blanks), (Names{"report 2024 final.txt"}));
    SearchOptions both = punctuation;
    both.ignore_whitespace = true;
    EXPECT_EQ(found("report2024", both), (Names{"report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(found("\"cafe del mar\"", both), (Names{"Café del Mar.mp3"}));
}

TEST_F(IndexSearch, TermsOrNotAndQuotes) {
    EXPECT_EQ(found("report pdf"), (Names{"report-2024.pdf"}));                   // AND
    EXPECT_EQ(found("flac|doc"), (Names{"Docs", "Straße.flac", "ÉCOLE.doc"}));   // OR
    EXPECT_EQ(found("flac|DOC|q1|q2|q3|q4|q5|q6"), found("flac|doc"));
    EXPECT_EQ(found("report !pdf"), (Names{"report 2024 final.txt"}));           // NOT
    EXPECT_EQ(found("mp3 !cafe|deep"), Names{});
    EXPECT_EQ(found("\"del mar\""), (Names{"Café del Mar.mp3"}));                // a blank inside quotes
    EXPECT_EQ(found("del mar"), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("\"mar del\""), Names{});
    EXPECT_EQ(found("\"!pdf\""), Names{});                                         // quoted: not an operator
    EXPECT_EQ(found("\"flac|doc\""), Names{});
    EXPECT_EQ(found("\"caf?.txt\""), Names{});
    EXPECT_EQ(found("caf\"e.t\"xt"), (Names{"cafe.txt"}));                          // quotes around part of a term
    EXPECT_EQ(found("report\tpdf"), found("report pdf"));                             // a tab splits terms too
    EXPECT_EQ(found("txt|"), found(""));  // an empty alternative matches everything
    EXPECT_EQ(found("!"), found(""));
}

TEST_F(IndexSearch, Wildcards) {
    EXPECT_EQ(found("*.mp3"), (Names{"Café del Mar.mp3", "deep song.mp3"}));
    EXPECT_EQ(found("caf?.txt"), (Names{"cafe.txt"}));
    EXPECT_EQ(found("caf?"), Names{});                         // a pattern covers the whole name
    EXPECT_EQ(found("stra?e*"), Names{});                      // "ß" folds to "ss": two characters
    EXPECT_EQ(found("stra??e*"), (Names{"Straße.flac"}));
    SearchOptions match_case;
    match_case.match_case = true;
    EXPECT_EQ(found("Stra?e*", match_case), (Names{"Straße.flac"}));  // unfolded, "ß" is one character
    EXPECT_EQ(found("*2024*|*.md"), (Names{"notes.md", "report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(found("!*.*"), (Names{"Docs", "Music", "empty", "share", "sub"}));
    EXPECT_EQ(found("\"*\""), Names{});                        // quoted: a literal star
}

TEST_F(IndexSearch, PathTerms) {
    EXPECT_EQ(found("music\\"), (Names{"Café del Mar.mp3", "Straße.flac", "cafe.txt", "deep song.mp3", "empty",
                                       "sub", "ÉCOLE.doc"}));
    EXPECT_EQ(found("sub/deep"), (Names{"deep song.mp3"}));  // a slash stands for a backslash
    SearchOptions path;
    path.match_path = true;
    EXPECT_EQ(found("docs", path), (Names{".hidden", "Docs", "notes.md", "report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(found("share\\*.txt"), (Names{"a.txt", "cafe.txt", "report 2024 final.txt"}));  // "*" spans folders
    EXPECT_EQ(found("share\\*\\*.txt"), (Names{"cafe.txt", "report 2024 final.txt"}));
    host::SearchCondition two_down = host::search_compile("share\\*\\*.txt", {});
    for (const char* path : {"share\\a.txt", "share\\x\\a.txt", "share\\x\\y\\a.txt"})
        EXPECT_EQ(host::search_matches(two_down, {"a.txt", path, "a.txt", path}), path != std::string("share\\a.txt"))
            << path;  // "*" crosses separators: two levels or more
    SearchOptions path_prefix = path;
    path_prefix.prefix = true;
    EXPECT_EQ(found("share\\music\\s", path_prefix), (Names{"Straße.flac", "deep song.mp3", "sub"}));
}

TEST_F(IndexSearch, RegularExpressions) {
    SearchOptions regex;
    regex.regex = true;
    EXPECT_EQ(found("^c.*\\.txt$", regex), (Names{"cafe.txt"}));
    EXPECT_EQ(found("^[a-z]+\\.(md|txt)$", regex), (Names{"a.txt", "cafe.txt", "notes.md"}));
    EXPECT_EQ(found("É", regex), (Names{"Café del Mar.mp3", "ÉCOLE.doc"}));
    EXPECT_EQ(found("mp3$|flac$", regex), (Names{"Café del Mar.mp3", "Straße.flac", "deep song.mp3"}));
    EXPECT_EQ(found("txt\\npdf", regex), Names{});   // a match never spans two names
    EXPECT_EQ(found("a\\.txt[^q]*cafe", regex), Names{});  // not even through a negated class
    SearchOptions regex_case = regex;
    regex_case.match_case = true;
    EXPECT_EQ(found("^C", regex_case), (Names{"Café del Mar.mp3"}));
    EXPECT_EQ(found("^c", regex), (Names{"Café del Mar.mp3", "cafe.txt"}));
    SearchOptions regex_path = regex;
    regex_path.match_path = true;
    EXPECT_EQ(found("^share\\\\Docs\\\\n", regex_path), (Names{"notes.md"}));
}

TEST_F(IndexSearch, InvalidRegularExpressionsFindNothing) {
    SearchOptions regex;
    regex.regex = true;
    host::SearchCondition condition = host::search_compile("a(b", regex);
    EXPECT_TRUE(condition.invalid);
    EXPECT_FALSE(condition.error.empty());
    EXPECT_EQ(found("a(b", regex), Names{});
    EXPECT_TRUE(host::search_compile("((((((a{9}){9}){9}){9}){9}){9})", regex).invalid);  // over the memory budget
    EXPECT_EQ(found("", {}, "[", 0x10), Names{});
}

TEST_F(IndexSearch, RegularExpressionsThatMatchEmptyTextFindEveryEntry) {
    SearchOptions regex;
    regex.regex = true;
    for (const char* text : {"$", "^", ".*", "x*", "a*$", "(a|a)*$", "(?:)", "\\b"})
        EXPECT_EQ(run(text, regex).size(), 15u) << text;
    EXPECT_EQ(found("^$", regex), Names{});
}

TEST(SearchGlob, StarsPlacePartsLeftmostAndQuestionMarksTakeOneCharacter) {
    struct Case {
        const char* glob;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"a*b*c", "aXbYc", true}, {"a*b*c", "abc", true},     {"a*b*c", "acb", false},
        {"*ab*ab", "abab", true}, {"*ab*ab", "abXab", true},  {"*ab*ab", "abba", false},
        {"a*a", "a", false},      {"a*a", "aa", true},        {"*aa*a", "aa", false},
        {"*aa*a", "aaa", true},   {"**a**", "a", true},       {"*?", "", false},
        {"?*é", "xé", true},      {"?*é", "é", false},        {"*?é", "éé", true},
        {"x?y", "xéy", true},     {"x??y", "xéy", false},     {"*?é*?", "éé", false},
        {"*?é*?", "ééx", true},   {"*.mp3|*.flac", "a.flac", true},
    };
    for (const Case& c : cases) {
        host::SearchOptions options;
        options.match_case = options.match_diacritics = true;
        host::SearchCondition condition = host::search_compile(c.glob, options);
        host::EntryTexts texts{c.name, "", c.name, ""};
        EXPECT_EQ(host::search_matches(condition, texts), c.matches) << c.glob << " on " << c.name;
    }
}

TEST_F(IndexSearch, RepeatedTermsCountOnce) {
    EXPECT_EQ(found("mp3 MP3 mp3"), found("mp3"));
    EXPECT_EQ(found("txt|cafe cafe|txt|txt"), found("cafe|txt"));
    EXPECT_EQ(found("!*.mp3 !*.MP3 !*.mp3"), found("!*.mp3"));
    EXPECT_EQ(found("* ** * doc"), found("doc"));  // a term that matches every name adds nothing
    EXPECT_EQ(found("!*"), Names{});
    host::SearchCondition condition = host::search_compile("a|b B|A|a !a !A ***", {});
    ASSERT_EQ(condition.terms.size(), 2u);
    EXPECT_EQ(condition.terms[0].alternatives.size(), 2u);
    EXPECT_TRUE(host::search_compile("* * *", {}).match_all);
}

TEST_F(IndexSearch, OversizedSearchesAreRefusedAndFindNothing) {
    SearchOptions regex;
    regex.regex = true;
    auto names = [](int count, const char* separator) {
        std::string text;
        for (int i = 0; i < count; ++i) text += (i ? separator : "") + std::string("name") + std::to_string(i);
        return text;
    };
    auto repeated = [](const std::string& piece, int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += piece;
        return text;
    };
    auto nested = [](int depth) { return std::string(depth, '(') + "a" + std::string(depth, ')'); };
    const struct {
        std::string text;
        bool regex;
        bool refused;
    } cases[] = {
        {names(400, "|"), false, false},  {"(" + names(400, "|") + ")", true, false},
        {names(1025, "|"), false, true},  {names(600, " ") + " " + names(600, "|"), false, true},
        {names(5000, " "), false, true},  {names(20, " ") + " " + names(20, " "), false, false},
        {nested(100), true, false},       {nested(101), true, true},
        {std::string(33000, 'x'), true, true},
        {"\\pL{1000}", true, true},      {"a{1000}b{1000}", true, false},
        {repeated("a{1000}", 21), true, true}, {"\\w{3}\\x{10}{2}", true, false},
    };
    for (const auto& c : cases) {
        host::SearchCondition condition = host::search_compile(c.text, c.regex ? regex : SearchOptions{});
        EXPECT_EQ(condition.invalid, c.refused) << c.text.substr(0, 60) << ": " << condition.error;
        if (c.refused) {
            EXPECT_FALSE(condition.error.empty());
            EXPECT_EQ(run(c.text, c.regex ? regex : SearchOptions{}), std::vector<uint32_t>{});
        }
    }
}

TEST_F(IndexSearch, TheFilterIsASecondCondition) {
    EXPECT_EQ(found("report", {}, "pdf"), (Names{"report-2024.pdf"}));
    EXPECT_EQ(found("", {}, "Cafe", 0x1), (Names{"Café del Mar.mp3"}));           // filter_case
    EXPECT_EQ(found("", {}, "2024", 0x2), (Names{"report 2024 final.txt", "report-2024.pdf"}));
    EXPECT_EQ(found("", {}, "docs", 0x4).size(), 5u);                              // filter_path
    EXPECT_EQ(found("", {}, "cafe", 0x8), (Names{"cafe.txt"}));                    // filter_diacritics
    EXPECT_EQ(found("", {}, "^no", 0x10), (Names{"notes.md"}));                    // filter_regex
    EXPECT_EQ(found("", {}, "no", 0x20), (Names{"notes.md"}));                     // filter_prefix
    EXPECT_EQ(found("", {}, "md", 0x40), (Names{"notes.md"}));                     // filter_suffix
    EXPECT_EQ(found("", {}, "report2024", 0x80), (Names{"report-2024.pdf"}));      // filter_ignore_punctuation
    EXPECT_EQ(found("", {}, "report2024", 0x100), (Names{"report 2024 final.txt"}));
    SearchOptions regex;
    regex.regex = true;
    EXPECT_EQ(found("\\.txt$", regex, "!a.txt"), (Names{"cafe.txt", "report 2024 final.txt"}));
}

TEST_F(IndexSearch, FilesFoldersAndHideEmpty) {
    host::SearchRequest request;
    request.main = host::search_compile("", {});
    request.include_files = false;
    std::vector<uint32_t> results;
    host::search_run(view_, request, {}, &results);
    EXPECT_EQ(names(results), (Names{"Docs", "empty", "Music", "share", "sub"}));
    request.include_files = true;
    request.include_folders = false;
    host::search_run(view_, request, {}, &results);
    EXPECT_EQ(results.size(), 10u);
    request.nothing = true;
    host::search_run(view_, request, {}, &results);
    EXPECT_TRUE(results.empty());
}

TEST_F(IndexSearch, ACancelledSearchOrSortStops) {
    std::atomic<bool> cancel{true};
    SearchOptions regex;
    regex.regex = true;
    for (const char* text : {"", "cafe", "music\\", "cafe|txt", "$"}) {
        host::SearchRequest request;
        request.main = host::search_compile(text, text[0] == '$' ? regex : SearchOptions{});
        std::vector<uint32_t> results;
        EXPECT_FALSE(host::search_run(view_, request, {&cancel}, &results)) << text;
    }
    std::vector<uint32_t> all = run("", {});
    for (int property : {0, 1, 2, 3})
        EXPECT_FALSE(host::result_sort(view_, property, true, {&cancel}, &all)) << property;
}

TEST_F(IndexSearch, AHeavySearchStopsAtThePollThatSeesTheCancel) {
    struct Stopper {
        std::atomic<bool> cancel{false};
        int polls = 0;
    };
    auto third_poll_cancels = [](void* context) {
        auto* stopper = static_cast<Stopper*>(context);
        if (++stopper->polls == 3) stopper->cancel = true;
    };
    std::string heavy;  // a thousand patterns that every name is compared with
    for (int i = 0; i < 1000; ++i) heavy += " !*x" + std::to_string(i) + "?*";
    for (const std::string& text : {heavy, "music\\" + heavy}) {
        Stopper stopper;
        host::SearchRequest request;
        request.main = host::search_compile(text, {});
        std::vector<uint32_t> results;
        EXPECT_FALSE(host::search_run(view_, request, {&stopper.cancel, third_poll_cancels, &stopper}, &results));
        EXPECT_EQ(stopper.polls, 3) << text.substr(0, 10);
    }
}

TEST_F(IndexSearch, ResultsComeInNameOrder) {
    EXPECT_EQ(names(run("*.txt", {})), (Names{"a.txt", "cafe.txt", "report 2024 final.txt"}));
    EXPECT_EQ(names(run("e", {})).front(), ".hidden");
}

TEST_F(IndexSearch, EverySortInBothDirections) {
    std::vector<uint32_t> all = run("", {});
    auto sorted = [&](int property, bool ascending) {
        std::vector<uint32_t> results = all;
        EXPECT_TRUE(host::result_sort(view_, property, ascending, {}, &results));
        return results;
    };
    auto path_of = [&](uint32_t e) {
        std::string folder;
        host::index_append_folder_path(*snapshot_, e, &folder);
        return folder;
    };
    for (int property : {0, 1, 2, 3, 5, 6, 8, 9, 12}) {
        std::vector<uint32_t> up = sorted(property, true), down = sorted(property, false);
        ASSERT_EQ(up.size(), all.size()) << property;
        std::vector<uint32_t> reversed(down.rbegin(), down.rend());
        EXPECT_EQ(up, reversed) << "descending is the reverse, property " << property;
        for (size_t i = 1; i < up.size(); ++i) {
            const host::IndexEntry& a = snapshot_->entries[up[i - 1]];
            const host::IndexEntry& b = snapshot_->entries[up[i]];
            bool same_key = true;
            switch (property) {
            case 2: EXPECT_LE(a.size, b.size); same_key = a.size == b.size; break;
            case 5: EXPECT_LE(a.date_modified, b.date_modified); same_key = a.date_modified == b.date_modified; break;
            case 6: EXPECT_LE(a.date_created, b.date_created); same_key = a.date_created == b.date_created; break;
            case 8: {
                IndexedFd fa, fb;
                host::index_fill_fd(*snapshot_, up[i - 1], &fa);
                host::index_fill_fd(*snapshot_, up[i], &fb);
                EXPECT_LE(fa.attributes, fb.attributes);
                same_key = fa.attributes == fb.attributes;
                break;
            }
            default: same_key = false; break;
            }
            if (same_key) {
                EXPECT_LT(snapshot_->path_rank[up[i - 1]], snapshot_->path_rank[up[i]]) << "ties by path";
            }
        }
    }
    // Names compare case folded and without marks.
    EXPECT_EQ(names(sorted(0, true)),
              (Names{".hidden", "a.txt", "Café del Mar.mp3", "cafe.txt", "deep song.mp3", "Docs", "ÉCOLE.doc", "empty",
                     "Music", "notes.md", "report 2024 final.txt", "report-2024.pdf", "share", "Straße.flac", "sub"}));
    std::vector<uint32_t> by_path = sorted(1, true);
    EXPECT_EQ(path_of(by_path.front()), "");
    EXPECT_EQ(host::entry_name(*snapshot_, by_path.front()), "share");
    EXPECT_EQ(path_of(by_path[1]), "share");
    EXPECT_EQ(host::entry_name(*snapshot_, by_path[1]), "a.txt");
    EXPECT_EQ(path_of(by_path.back()), "share\\Music\\sub");
    Names by_size = names(sorted(2, false));
    EXPECT_EQ(by_size.front(), "share");
    EXPECT_EQ(by_size[1], "Docs");
    // Same extension: path order, which is the folder's path order, then the name.
    Names by_extension = names(sorted(3, true));
    EXPECT_EQ(Names(by_extension.end() - 3, by_extension.end()), (Names{"a.txt", "report 2024 final.txt", "cafe.txt"}));
    EXPECT_EQ(by_extension.front(), "share");
    Names by_attributes = names(sorted(8, false));
    EXPECT_EQ(by_attributes.front(), "sub");  // folders first, the last in path order leading
    EXPECT_EQ(names(sorted(9, true)), names(sorted(1, true)));  // one recently-changed time: path order
    EXPECT_EQ(names(sorted(12, true)), names(sorted(1, true)));
}

// Names enough for the arena to be searched in several windows: each name that holds a needle is
// found once and in name order, whichever window and however many needles find it.
TEST(IndexSearchArena, AlternativesOverManyWindowsFindEachNameOnce) {
    IndexTestTree tree;
    constexpr int FILES = 2000;  // about 90 KiB of names: two windows
    std::vector<std::string> expected;
    for (int i = 0; i < FILES; ++i) {
        char name[96];
        std::snprintf(name, sizeof(name), "file_%05d_of_a_tree_with_long_names%s%s.dat", i, i % 7 == 0 ? "_alpha" : "",
                      i % 11 == 0 ? "_beta" : "");
        tree.file(std::string("tree/") + name, 0);
        if (i % 7 == 0 || i % 11 == 0) expected.emplace_back(name);
    }
    ASSERT_TRUE(tree.build("tree", "share"));
    host::IndexView view = host::index_view_acquire();
    const host::IndexSnapshot& snapshot = host::view_base(view);
    for (const char* text : {"alpha|beta", "beta|alpha|alpha_beta", "beta|alpha|eta|lph"}) {
        host::SearchRequest request;
        request.main = host::search_compile(text, {});
        std::vector<uint32_t> results;
        ASSERT_TRUE(host::search_run(view, request, {}, &results));
        Names found;
        for (uint32_t e : results) found.emplace_back(host::entry_name(snapshot, e));
        EXPECT_EQ(found, expected) << text;
    }
    host::index_view_release(&view);
}

TEST(IndexExtension, ExtensionOfANameIsAfterTheLastDot) {
    EXPECT_EQ(host::result_extension("a.tar.gz"), "gz");
    EXPECT_EQ(host::result_extension(".hidden"), "");
    EXPECT_EQ(host::result_extension("noext"), "");
    EXPECT_EQ(host::result_extension("x."), "");
}

}  // namespace
