// The host's localized texts, its version text, its task dialogs and its debug console.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "host/window_services.h"
#include "tests/host/host_test_support.h"

namespace {

int conversions_in(const std::string& text) {
    int count = 0;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 2)) ++count;
    return count;
}

TEST(HostTexts, EveryNamedIdHasAnEnglishText) {
    const int ids[] = {0,   112, 113, 114, 177, 260, 261, 262, 263, 268, 269, 270, 271, 274, 275, 277, 352,
                       353, 358, 359, 1094, 1095, 1096, 1097, 1098, 1099, 1100, 1114, 1115, 1119, 1120, 1121,
                       1156, 1157, 2399, 2402};
    for (int id : ids) EXPECT_STRNE(host::localization_get_string(id), "") << id;
    EXPECT_STREQ(host::localization_get_string(1), "");
    EXPECT_STREQ(host::localization_get_string(-5), "");
}

TEST(HostTexts, ErrorTextsTakeTheirIntegers) {
    for (int id : {1114, 1115, 1119, 1120}) {
        std::string text = host::localization_get_string(id);
        EXPECT_EQ(conversions_in(text), 1) << id;
        EXPECT_NE(text.find("%d"), std::string::npos) << id;
    }
    EXPECT_EQ(host_format(host::localization_get_string(1115), 10048),
              "Unable to bind the listening socket: error 10048.");
    EXPECT_EQ(host_format(host::localization_get_string(1121), 2, 0), "Windows Sockets version 2.0 is not supported.");
    for (int id : {0, 177, 1100, 260, 1094}) EXPECT_EQ(conversions_in(host::localization_get_string(id)), 0) << id;
}

TEST(HostTexts, VersionText) {
    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::version_get_text(&text);
    EXPECT_EQ(buffer_text(text), "swp-host 1.0.1.3");
    host::utf8_buf_kill(&text);
}

TEST(HostTexts, TaskDialogsAreRememberedWholeAndCounted) {
    int before = host::host_dialog_count();
    EXPECT_EQ(host::ui_task_dialog_show(nullptr, 16, "Sorrelwick", 0, "Unable to start the FTP server.",
                                        "Unable to bind the listening socket: error 10048."),
              1);
    EXPECT_EQ(host::host_dialog_count(), before + 1);
    EXPECT_EQ(host::host_last_dialog_text(),
              "Sorrelwick\nUnable to start the FTP server.\nUnable to bind the listening socket: error 10048.\n");
}

// A plug-in's line may carry a client's bytes: the console never hands a control byte to the
// terminal, but keeps tab and line ends, and UTF-8 as it is.
TEST(HostTexts, ConsoleShowsControlBytesAsQuestionMarks) {
    ::testing::internal::CaptureStderr();
    host::debug_color_printf(0xff00ffff, "%s\r\n", "title \x1b]0;x\x07 lone\r cr\x7f \xc3\xa9\ttab");
    host::debug_error_printf("two\nlines\r\r\n");
    // The colour codes around a line are the console's own, written when stderr is a terminal.
    std::string shown = std::regex_replace(::testing::internal::GetCapturedStderr(), std::regex("\x1b\\[[0-9;]*m"), "");
    EXPECT_EQ(shown, "title ?]0;x? lone? cr? \xc3\xa9\ttab\r\ntwo\nlines?\r\n");
}

}  // namespace
