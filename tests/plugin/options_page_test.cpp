// The options page's controls: what creating the page shows, the enable rule, the changed mark,
// restoring the defaults and browsing for the log file.
#include <climits>
#include <functional>
#include <vector>

#include "tests/plugin/options_fixture.h"

namespace options_test {
namespace {

using test_support::recording;

enum Kind { CHECKBOX, LABEL, EDIT, PASSWORD, NUMBER, BUTTON };

struct ExpectedControl {
    int id;
    Kind kind;
    int text_id;     // caption, for checkboxes, labels and buttons
    int tooltip_id;  // 0: none
};

const ExpectedControl EXPECTED_CONTROLS[] = {
    {1000, CHECKBOX, 1156, 1157}, {1001, LABEL, 1094, 0}, {1002, EDIT, 0, 1095},     {1005, LABEL, 260, 0},
    {1006, NUMBER, 0, 261},       {1007, LABEL, 358, 0},  {1008, EDIT, 0, 359},      {1009, LABEL, 262, 0},
    {1010, PASSWORD, 0, 263},     {1003, CHECKBOX, 268, 269}, {1014, LABEL, 270, 0}, {1011, EDIT, 0, 271},
    {1012, BUTTON, 1097, 274},    {1015, LABEL, 1096, 0}, {1013, NUMBER, 0, 275},    {1016, LABEL, 114, 0},
    {1004, CHECKBOX, 352, 353},   {1017, BUTTON, 1098, 1099},
};

std::string class_name(HWND window) {
    char name[32] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

void expect_kind(HWND window, Kind kind, int id) {
    DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    SCOPED_TRACE(id);
    switch (kind) {
        case CHECKBOX:
            EXPECT_EQ(class_name(window), "Button");
            EXPECT_EQ(style & 0xF, BS_AUTOCHECKBOX);
            break;
        case BUTTON:
            EXPECT_EQ(class_name(window), "Button");
            EXPECT_EQ(style & 0xF, BS_PUSHBUTTON);
            break;
        case LABEL:
            EXPECT_EQ(class_name(window), "Static");
            EXPECT_EQ(style & SS_LEFTNOWORDWRAP, SS_LEFTNOWORDWRAP);
            break;
        case EDIT:
        case PASSWORD:
        case NUMBER:
            EXPECT_EQ(class_name(window), "Edit");
            EXPECT_EQ((style & ES_PASSWORD) != 0, kind == PASSWORD);
            EXPECT_EQ((style & ES_NUMBER) != 0, kind == NUMBER);
            break;
    }
    EXPECT_NE(style & WS_GROUP, 0u);
}

TEST_F(OptionsPageTest, CreateShowsEverySettingInItsControlInOrder) {
    settings.enabled = 7;  // any nonzero value counts as on
    settings.port = 2121;
    settings.logging_enabled = 0;
    settings.allow_file_download = 1;
    settings.log_max_size = 1000;
    set_string(&Settings::bindings, "127.0.0.1,::1");
    set_string(&Settings::username, "anna");
    set_string(&Settings::password, "s3cret");
    set_string(&Settings::log_file_name, "C:\\logs\\ftp.txt");
    create_page();

    std::vector<int> order;
    for (HWND child = GetWindow(page_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(child));
    EXPECT_EQ(order, std::vector<int>(std::begin(PAGE_IDS), std::end(PAGE_IDS)));

    for (const ExpectedControl& expected : EXPECTED_CONTROLS) {
        HWND window = control(expected.id);
        ASSERT_NE(window, nullptr) << expected.id;
        expect_kind(window, expected.kind, expected.id);
        if (expected.text_id) {
            EXPECT_EQ(text(expected.id), loc(expected.text_id)) << expected.id;
        }
        std::string tooltip = expected.tooltip_id ? loc(expected.tooltip_id) : std::string();
        EXPECT_EQ(host::dialog_tooltip_text(window), tooltip) << expected.id;
    }
    EXPECT_EQ(text(1002), "127.0.0.1,::1");
    EXPECT_EQ(text(1006), "2121");
    EXPECT_EQ(GetDlgItemInt(page_, 1006, nullptr, FALSE), 2121u);
    EXPECT_EQ(text(1008), "anna");
    EXPECT_EQ(text(1010), "s3cret");
    EXPECT_EQ(text(1011), "C:\\logs\\ftp.txt");
    EXPECT_EQ(text(1013), "1");
    EXPECT_TRUE(checked(1000));
    EXPECT_FALSE(checked(1003));
    EXPECT_TRUE(checked(1004));
    EXPECT_FALSE(changed_marked());
}

TEST_F(OptionsPageTest, LogSizeIsShownInWholeKibRoundedUp) {
    const struct {
        int32_t bytes;
        const char* shown;
    } cases[] = {
        {1000, "1"},       {4194304, "4096"},         {0, "0"},          {1, "1"},
        {1024, "1"},       {1025, "2"},               {-1, "0"},         {-2048, "-1"},
        {INT32_MAX, "2097152"}, {INT32_MAX - 1023, "2097151"}, {INT32_MIN, "-2097151"},
    };
    for (const auto& row : cases) {
        settings.log_max_size = row.bytes;
        replace_page();
        create_page();
        EXPECT_EQ(text(1013), row.shown) << row.bytes;
    }
}

void expect_enable_rule(bool on, bool log_on, const std::function<bool(int)>& enabled) {
    SCOPED_TRACE(testing::Message() << "on " << on << " log " << log_on);
    EXPECT_TRUE(enabled(1000));
    EXPECT_TRUE(enabled(1017));
    for (int id : SERVER_IDS) EXPECT_EQ(enabled(id), on) << id;
    for (int id : LOG_IDS) EXPECT_EQ(enabled(id), on && log_on) << id;
}

TEST_F(OptionsPageTest, EnableRuleForEveryCombinationOfServerAndLogging) {
    auto is_enabled = [this](int id) { return enabled(id); };
    for (bool on : {false, true}) {
        for (bool log_on : {false, true}) {
            // As created from the settings...
            settings.enabled = on;
            settings.logging_enabled = log_on;
            replace_page();
            create_page();
            expect_enable_rule(on, log_on, is_enabled);

            // ...and after the user clicked the boxes into that state, starting from the opposite.
            settings.enabled = !on;
            settings.logging_enabled = !log_on;
            replace_page();
            create_page();
            check(1000, on);
            check(1003, log_on);
            command(1003, 0);
            expect_enable_rule(on, log_on, is_enabled);
        }
    }
}

TEST_F(OptionsPageTest, ChangedMarkForEachCommandAndNotificationCode) {
    const uint32_t EN_SETFOCUS = 0x100, EN_KILLFOCUS = 0x200, BN_CLICKED = 0;
    const struct {
        int id;
        uint32_t code;
        uint32_t message;
        bool marks;
    } cases[] = {
        {1000, BN_CLICKED, WM_COMMAND, true}, {1000, EN_SETFOCUS, WM_COMMAND, true},
        {1003, BN_CLICKED, WM_COMMAND, true}, {1003, 5, WM_COMMAND, true},
        {1004, BN_CLICKED, WM_COMMAND, true}, {1004, EN_KILLFOCUS, WM_COMMAND, true},
        {1002, EN_CHANGE, WM_COMMAND, true},  {1002, EN_SETFOCUS, WM_COMMAND, false},
        {1006, EN_CHANGE, WM_COMMAND, true},  {1006, EN_KILLFOCUS, WM_COMMAND, false},
        {1008, EN_CHANGE, WM_COMMAND, true},  {1008, BN_CLICKED, WM_COMMAND, false},
        {1010, EN_CHANGE, WM_COMMAND, true},  {1010, EN_SETFOCUS, WM_COMMAND, false},
        {1011, EN_CHANGE, WM_COMMAND, true},  {1011, EN_KILLFOCUS, WM_COMMAND, false},
        {1013, EN_CHANGE, WM_COMMAND, true},  {1013, EN_SETFOCUS, WM_COMMAND, false},
        {1001, EN_CHANGE, WM_COMMAND, false}, {1005, EN_CHANGE, WM_COMMAND, false},
        {1016, BN_CLICKED, WM_COMMAND, false}, {1999, EN_CHANGE, WM_COMMAND, false},
        {1012, BN_CLICKED, WM_COMMAND, false},  // browse, cancelled: changes nothing
        {1017, BN_CLICKED, WM_COMMAND, true},
        {1000, BN_CLICKED, WM_COMMAND + 1, false}, {1002, EN_CHANGE, WM_USER, false},
    };
    settings.enabled = 0;
    create_page();
    for (const auto& row : cases) {
        clear_changed_mark();
        command(row.id, row.code, row.message);
        EXPECT_EQ(changed_marked(), row.marks) << row.id << " code " << row.code << " message " << row.message;
        // The mark is the options window's item 1001, never the page's own label 1001.
        EXPECT_FALSE(enabled(1001)) << row.id;
    }
}

TEST_F(OptionsPageTest, RestoreDefaultsRefillsTheControlsButNotTheSettings) {
    settings.enabled = 1;
    settings.port = 2121;
    settings.logging_enabled = 0;
    settings.allow_file_download = 0;
    settings.log_max_size = 1024;
    set_string(&Settings::bindings, "127.0.0.1");
    set_string(&Settings::username, "anna");
    set_string(&Settings::password, "pw");
    set_string(&Settings::log_file_name, "ftp.log");
    create_page();
    command(1017, 0);

    EXPECT_FALSE(checked(1000));
    EXPECT_TRUE(checked(1003));
    EXPECT_TRUE(checked(1004));
    for (int id : {1002, 1008, 1010, 1011}) EXPECT_EQ(text(id), "") << id;
    EXPECT_EQ(text(1006), "21");
    EXPECT_EQ(text(1013), "4096");
    expect_enable_rule(false, true, [this](int id) { return enabled(id); });
    EXPECT_TRUE(changed_marked());

    EXPECT_EQ(settings.port, 2121);
    EXPECT_STREQ(settings.username, "anna");
    EXPECT_EQ(settings.enabled, 1);
}

std::string expected_filter() {
    std::string filter = loc(112) + " (*.txt)";
    filter += '\0';
    filter += "*.txt";
    filter += '\0';
    filter += loc(113) + " (*.*)";
    filter += '\0';
    filter += "*.*";
    filter += '\0';
    filter += '\0';
    return filter;
}

std::string host_path(const char* name) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::os_get_local_app_data_path_cat_filename(name, &buffer);
    std::string path(buffer.text, buffer.length);
    host::utf8_buf_kill(&buffer);
    return path;
}

std::string host_default_log_path() {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", &buffer);
    std::string path(buffer.text, buffer.length);
    host::utf8_buf_kill(&buffer);
    return path;
}

TEST_F(OptionsPageTest, BrowseWithAChosenFileFillsTheLogFileEdit) {
    set_string(&Settings::log_file_name, "mylog.txt");
    settings.enabled = 1;
    create_page();
    int calls_before = host::dialog_last_save_file_request().calls;
    host::dialog_set_save_file_answer("/var/log/swp/chosen.txt");
    clear_changed_mark();
    command(1012, 0);

    host::SaveFileRequest request = host::dialog_last_save_file_request();
    EXPECT_EQ(request.calls, calls_before + 1);
    EXPECT_EQ(request.owner, options_window_);
    EXPECT_EQ(request.title, loc(277));
    EXPECT_EQ(request.start_file, host_path("mylog.txt"));
    EXPECT_EQ(request.filter, expected_filter());
    EXPECT_EQ(request.filter_length, expected_filter().size());
    EXPECT_EQ(request.filter_index, 1);
    EXPECT_EQ(request.default_extension, "txt");
    EXPECT_EQ(request.flags, 0u);
    EXPECT_EQ(text(1011), "/var/log/swp/chosen.txt");
    EXPECT_FALSE(changed_marked());
}

TEST_F(OptionsPageTest, BrowseCancelledLeavesTheEditAndStartsAtTheDefaultLog) {
    settings.enabled = 1;
    create_page();  // empty log file name
    host::dialog_set_save_file_answer(nullptr);
    int calls_before = host::dialog_last_save_file_request().calls;
    command(1012, 0);

    host::SaveFileRequest request = host::dialog_last_save_file_request();
    EXPECT_EQ(request.calls, calls_before + 1);
    EXPECT_EQ(request.start_file, host_default_log_path());
    EXPECT_EQ(request.filter, expected_filter());
    EXPECT_EQ(text(1011), "");

    type(1011, "kept.txt");
    command(1012, 0);
    EXPECT_EQ(host::dialog_last_save_file_request().start_file, host_path("kept.txt"));
    EXPECT_EQ(text(1011), "kept.txt");
}

}  // namespace
}  // namespace options_test
