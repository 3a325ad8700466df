// What a word, punctuation and white space are to the search, in many scripts; regular
// expressions over composed names; the extension sort's idea of an extension.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/index/index_view.h"
#include "host/index/result_sort.h"
#include "host/index/search_run.h"
#include "tests/host/index_test_tree.h"

namespace {

using Names = std::vector<std::string>;

// Filter flag bits, which also give the search text's options.
constexpr uint32_t CASE = 0x1, WORD = 0x2, PATH = 0x4, MARKS = 0x8, REGEX = 0x10, PUNCT = 0x80, SPACE = 0x100;

const char* const SCRIPT_NAMES[] = {
    "#½·brûlée.txt",
    "IMG·ñÅ.déjà",
    "Café\u00A0del\u2003Mar\u3000Live.mp3",  // no-break, em and ideographic spaces
    "Prix€100©—final.txt",
    "report_2024–draft.pdf",
    "«Ελληνικά»ΚΕΊΜΕΝΟ.doc",
    "Отчёт，итоги.xls",
    "تقرير،نهائي.pdf",
    "תל־אביב.jpg",
    "नमस्ते।दुनिया.txt",
    "東京、大阪.jpg",
    "東京タワー.jpg",
    "보고서·최종.hwp",
    "สวัสดีชาวโลก.txt",
    "สวัสดี\u200Bชาวโลก.txt",  // a zero-width space between the words
    "Team👨\u200D👩\u200D👧Photo.jpg",  // one emoji of three, joined
    "Logo\uE000Mark\x01v2.svg",  // a private-use character and a control character
    "Love❤️Song🎵Mix.mp3",  // the heart carries a presentation selector, a mark
    "café.txt",
    "cafe\u0301.txt",  // the same name decomposed
    "STRAẞE·karte.pdf",
    "caf\xE9 bar.txt",  // not UTF-8
};

class IndexWords : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : SCRIPT_NAMES) tree_.file(std::string("tree/") + name, 1);
        ASSERT_TRUE(tree_.build("tree", "share"));
        view_ = host::index_view_acquire();
        snapshot_ = &host::view_base(view_);
    }
    void TearDown() override { host::index_view_release(&view_); }

    Names found(const std::string& text, const std::string& filter, uint32_t flags) {
        host::SearchRequest request;
        request.main = host::search_compile(text, host::search_options_from_filter_flags(flags));
        request.filter = host::search_compile(filter, host::search_options_from_filter_flags(flags));
        request.include_folders = false;
        std::vector<uint32_t> results;
        EXPECT_TRUE(host::search_run(view_, request, {}, &results));
        Names names;
        for (uint32_t e : results) names.emplace_back(host::entry_name(*snapshot_, e));
        std::sort(names.begin(), names.end());
        return names;
    }

    IndexTestTree tree_;
    host::IndexView view_;
    const host::IndexSnapshot* snapshot_ = nullptr;
};

TEST_F(IndexWords, WordsPunctuationAndWhiteSpaceInEveryScript) {
    const struct {
        const char* text;
        uint32_t flags;
        Names expected;
    } cases[] = {
        // Spaces, punctuation and symbols end words; letters, marks, numbers and "_" do not.
        {"½", WORD, {"#½·brûlée.txt"}},
        {"brulee", WORD, {"#½·brûlée.txt"}},
        {"img", WORD, {"IMG·ñÅ.déjà"}},
        {"del", WORD, {"Café\u00A0del\u2003Mar\u3000Live.mp3"}},
        {"live", WORD, {"Café\u00A0del\u2003Mar\u3000Live.mp3"}},
        {"100", WORD, {"Prix€100©—final.txt"}},
        {"final", WORD, {"Prix€100©—final.txt"}},
        {"2024", WORD, {}},
        {"draft", WORD, {"report_2024–draft.pdf"}},
        {"κειμενο", WORD, {"«Ελληνικά»ΚΕΊΜΕΝΟ.doc"}},
        {"отчет", WORD, {"Отчёт，итоги.xls"}},
        {"итоги", WORD, {"Отчёт，итоги.xls"}},
        {"نهائي", WORD, {"تقرير،نهائي.pdf"}},
        {"אביב", WORD, {"תל־אביב.jpg"}},
        {"दुनिया", WORD, {"नमस्ते।दुनिया.txt"}},
        {"नमस", WORD | MARKS, {}},  // a vowel sign belongs to its letter
        {"大阪", WORD, {"東京、大阪.jpg"}},
        {"東京", WORD, {"東京、大阪.jpg"}},  // no word ends inside a run of letters
        {"최종", WORD, {"보고서·최종.hwp"}},
        {"สวัสดี", WORD, {"สวัสดี\u200Bชาวโลก.txt"}},
        {"photo", WORD, {"Team👨\u200D👩\u200D👧Photo.jpg"}},
        {"mark", WORD, {"Logo\uE000Mark\x01v2.svg"}},
        {"song", WORD, {"Love❤️Song🎵Mix.mp3"}},
        {"song", WORD | MARKS, {"Love❤️Song🎵Mix.mp3"}},  // the selector goes with the heart
        {"mix", WORD, {"Love❤️Song🎵Mix.mp3"}},
        {"cafe", WORD, {"Café\u00A0del\u2003Mar\u3000Live.mp3", "cafe\u0301.txt", "café.txt"}},
        {"cafe", WORD | MARKS | CASE, {}},
        {"strasse", WORD, {"STRAẞE·karte.pdf"}},
        {"caf", WORD, {}},  // a byte that is not UTF-8 counts as a letter
        {"bar", WORD, {"caf\xE9 bar.txt"}},
        {"img", WORD | PUNCT, {}},  // whole word looks at the name without its punctuation
        // Ignore punctuation removes punctuation and symbols, with the marks attached to them.
        {"prix100final", PUNCT, {"Prix€100©—final.txt"}},
        {"report2024draftpdf", PUNCT, {"report_2024–draft.pdf"}},
        {"lovesongmix", PUNCT | MARKS, {"Love❤️Song🎵Mix.mp3"}},
        {"ελληνικακειμενο", PUNCT, {"«Ελληνικά»ΚΕΊΜΕΝΟ.doc"}},
        {"東京大阪", PUNCT, {"東京、大阪.jpg"}},
        {"보고서최종", PUNCT, {"보고서·최종.hwp"}},
        {"teamphoto", PUNCT | MARKS, {"Team👨\u200D👩\u200D👧Photo.jpg"}},
        {"logomark", PUNCT | SPACE, {}},
        {"markv2", PUNCT | SPACE, {}},
        {"prix100final", SPACE, {}},
        // Ignore white space removes every kind of space, and only spaces.
        {"delmarlive", SPACE, {"Café\u00A0del\u2003Mar\u3000Live.mp3"}},
        {"보고서최종", SPACE, {}},
        {"สวัสดีชาวโลก", SPACE, {"สวัสดีชาวโลก.txt", "สวัสดี\u200Bชาวโลก.txt"}},
        {"cafe\u00A0mar", 0, {}},  // a no-break space does not split terms
        // Names are compared composed, except byte for byte with both case and marks matched.
        {"café.", MARKS, {"cafe\u0301.txt", "café.txt"}},
        {"café.", MARKS | CASE, {"café.txt"}},
        // Regular expressions see names, and are read, in composed form; \w knows ASCII only.
        {"^café\\.", REGEX, {"cafe\u0301.txt", "café.txt"}},
        {"^cafe\u0301\\.", REGEX, {"cafe\u0301.txt", "café.txt"}},
        {"\\\\café\\.txt$", REGEX | PATH, {"cafe\u0301.txt", "café.txt"}},
        {"^caf\\w\\.", REGEX, {}},
        {"j\\b", REGEX, {"IMG·ñÅ.déjà"}},
        {"^caf\\pL\\.", REGEX, {"cafe\u0301.txt", "café.txt"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(found(c.text, "", c.flags), c.expected) << "search " << c.text << " flags " << c.flags;
        EXPECT_EQ(found("", c.text, c.flags), c.expected) << "filter " << c.text << " flags " << c.flags;
    }
}

TEST(IndexExtensionSort, ExtensionsIgnoreCaseAndMarksAndATrailingDotIsNone) {
    IndexTestTree tree;
    for (const char* name : {"a.TXT", "b.txt", "c.Txt", "e.café", "f.CAFE", "g.", "h.tar.gz", ".profile", "noext",
                             "i.e\u0301"})
        tree.file(std::string("tree/") + name, 1);
    ASSERT_TRUE(tree.build("tree", "share"));
    host::ScopedView view;
    host::SearchRequest request;
    std::vector<uint32_t> results;
    ASSERT_TRUE(host::search_run(view, request, {}, &results));
    ASSERT_TRUE(host::result_sort(view, PROPERTY_EXTENSION, true, {}, &results));
    Names names;
    for (uint32_t e : results) names.emplace_back(host::entry_name(host::view_base(view), e));
    // Equal extensions keep the path order, which within one folder is the name order.
    EXPECT_EQ(names, (Names{"share", ".profile", "g.", "noext", "e.café", "f.CAFE", "i.e\u0301", "h.tar.gz", "a.TXT",
                            "b.txt", "c.Txt"}));
}

}  // namespace
