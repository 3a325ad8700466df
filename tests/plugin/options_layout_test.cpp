// The options page's layout and its SVG drawing.
#include <algorithm>
#include <filesystem>

#include "tests/plugin/options_fixture.h"

namespace options_test {
namespace {

struct ExpectedRect {
    int id;
    int x;
    int y;
    int width;
    int height;
};

// A page 500 wide and 400 high whose texts all measure 40: L 46, B 75, S 46, R 75, CW 476.
const ExpectedRect LAYOUT_500[] = {
    {1000, 12, 12, 476, 15},  {1001, 12, 36, 46, 15},   {1002, 58, 33, 430, 21},  {1005, 12, 63, 46, 15},
    {1006, 58, 60, 75, 21},   {1007, 12, 90, 46, 15},   {1008, 58, 87, 430, 21},  {1009, 12, 117, 46, 15},
    {1010, 58, 114, 430, 21}, {1003, 12, 141, 476, 15}, {1014, 12, 162, 476, 15}, {1011, 12, 181, 395, 21},
    {1012, 413, 180, 75, 23}, {1015, 12, 212, 46, 15},  {1013, 58, 209, 75, 21},  {1016, 140, 212, 46, 15},
    {1004, 12, 236, 476, 15}, {1017, 413, 365, 75, 23},
};

int measure_40(const char*) { return 40; }

int code_points(const std::string& text) {
    int count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

int width_of(int text_id) { return code_points(loc(text_id)) * host::DIALOG_TEXT_ADVANCE; }

TEST_F(OptionsPageTest, MinimumSizeIs200By298) {
    PluginOptionsPageMinSize record = {};
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_OPTIONS_PAGE_GET_MIN_SIZE, reinterpret_cast<uintptr_t>(&record)), 1u);
    EXPECT_EQ(record.min_width, 200);
    EXPECT_EQ(record.min_height, 298);
}

TEST_F(OptionsPageTest, LayoutAt500UnitsWithShortTexts) {
    host::dialog_set_text_measure(&measure_40);
    create_page();
    layout_page();
    for (const ExpectedRect& expected : LAYOUT_500) {
        RECT rect = rect_of(expected.id);
        EXPECT_EQ(rect.left, expected.x) << expected.id;
        EXPECT_EQ(rect.top, expected.y) << expected.id;
        EXPECT_EQ(rect.right - rect.left, expected.width) << expected.id;
        EXPECT_EQ(rect.bottom - rect.top, expected.height) << expected.id;
    }
}

TEST_F(OptionsPageTest, LayoutAtTheMinimumHeightKeepsTheRestoreButtonBelowTheLastCheckbox) {
    host::dialog_set_text_measure(&measure_40);
    replace_page(200, 298);
    create_page();
    layout_page();
    RECT download = rect_of(1004);
    RECT restore = rect_of(1017);
    EXPECT_EQ(restore.top, download.bottom + 12);
    EXPECT_EQ(restore.right, 200 - 12);
}

TEST_F(OptionsPageTest, LayoutFollowsTheMeasuredTexts) {
    replace_page(640, 480);
    create_page();
    layout_page();
    int cw = 640 - 24;
    int labels = std::max({width_of(1094), width_of(260), width_of(358), width_of(262)});
    int l = labels + 6;
    int b = std::max(51, width_of(1097)) + 24;
    int s = width_of(1096) + 6;
    int r = std::max(51, width_of(1098)) + 24;

    EXPECT_EQ(rect_of(1001).right - rect_of(1001).left, l);
    EXPECT_EQ(rect_of(1002).left, l + 12);
    EXPECT_EQ(rect_of(1002).right, 12 + cw);
    EXPECT_EQ(rect_of(1006).left, l + 12);
    EXPECT_EQ(rect_of(1011).right - rect_of(1011).left, cw - b - 6);
    EXPECT_EQ(rect_of(1012).left, cw - b + 12);
    EXPECT_EQ(rect_of(1012).right, 12 + cw);
    EXPECT_EQ(rect_of(1013).left, s + 12);
    EXPECT_EQ(rect_of(1016).left, s + 94);
    EXPECT_EQ(rect_of(1016).right - rect_of(1016).left, s);
    EXPECT_EQ(rect_of(1017).left, cw - r + 12);
    EXPECT_EQ(rect_of(1017).top, 480 - 35);
}

// The <g> element the drawing made for one control, or "" when there is none.
std::string svg_group(const std::string& svg, int id) {
    size_t at = svg.find("data-id=\"" + std::to_string(id) + "\"");
    if (at == std::string::npos) return std::string();
    size_t start = svg.rfind("<g ", at);
    size_t end = svg.find("</g>", at);
    return svg.substr(start, end - start);
}

const char* drawn_kind(int id) {
    switch (id) {
        case 1000: case 1003: case 1004: return "checkbox";
        case 1002: case 1006: case 1008: case 1011: case 1013: return "edit";
        case 1010: return "password";
        case 1012: case 1017: return "button";
        default: return "label";
    }
}

TEST_F(OptionsPageTest, SvgDrawsEveryControlAtItsRectangle) {
    host::dialog_set_text_measure(&measure_40);
    settings.enabled = 1;
    settings.logging_enabled = 0;
    set_string(&Settings::username, "a<b&c");
    set_string(&Settings::password, "pw");
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("swp-options-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".svg");
    std::string error;
    ASSERT_TRUE(host::options_page_render_svg(&sorrelwick_plugin_proc, path.string(), 500, 400, &error)) << error;
    std::string svg = test_support::read_file(path.string());
    std::filesystem::remove(path);

    EXPECT_EQ(svg.find("<svg"), svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"500\" height=\"400\""));
    for (const ExpectedRect& expected : LAYOUT_500) {
        std::string group = svg_group(svg, expected.id);
        ASSERT_FALSE(group.empty()) << expected.id;
        std::string where = "data-x=\"" + std::to_string(expected.x) + "\" data-y=\"" + std::to_string(expected.y) +
                            "\" data-width=\"" + std::to_string(expected.width) + "\" data-height=\"" +
                            std::to_string(expected.height) + "\"";
        EXPECT_NE(group.find(where), std::string::npos) << group;
        EXPECT_EQ(group.find(std::string("<g class=\"") + drawn_kind(expected.id) + "\""), 0u) << group;
    }
    std::string enabled_box = svg_group(svg, 1000);
    EXPECT_NE(enabled_box.find("data-checked=\"1\""), std::string::npos);
    EXPECT_NE(enabled_box.find("<path"), std::string::npos);  // the check mark
    EXPECT_NE(enabled_box.find("<title>" + loc(1157) + "</title>"), std::string::npos);
    EXPECT_EQ(svg_group(svg, 1003).find("<path"), std::string::npos);

    // Logging is off, so the log controls are greyed; the server controls are not.
    EXPECT_NE(svg_group(svg, 1011).find("data-enabled=\"0\""), std::string::npos);
    EXPECT_NE(svg_group(svg, 1014).find("fill=\"#a0a0a0\""), std::string::npos);
    EXPECT_NE(svg_group(svg, 1008).find("data-enabled=\"1\""), std::string::npos);
    EXPECT_NE(svg_group(svg, 1008).find(">a&lt;b&amp;c</text>"), std::string::npos);
    EXPECT_EQ(svg_group(svg, 1010).find(">pw<"), std::string::npos);  // the password is masked
}

TEST_F(OptionsPageTest, SvgReportsAFileThatCannotBeWritten) {
    std::string error;
    std::string path = (std::filesystem::temp_directory_path() / "swp-no-such-folder" / "x" / "page.svg").string();
    EXPECT_FALSE(host::options_page_render_svg(&sorrelwick_plugin_proc, path, 500, 400, &error));
    EXPECT_NE(error.find(path), std::string::npos);
}

}  // namespace
}  // namespace options_test
