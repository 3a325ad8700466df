// A page window, the options window that holds it (with its changed mark, item 1001) and a
// tooltip window, plus the plug-in bound to the host services, for the options-page tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/dialog_services.h"
#include "host/options_preview.h"
#include "host/services.h"
#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/server.h"
#include "tests/support/plugin_harness.h"

namespace options_test {

constexpr char TEST_WINDOW_CLASS[] = "SWP_OPTIONS_TEST_WINDOW";
constexpr int CHANGED_MARK_ID = 1001;

// Every control of the page in creation order.
constexpr int PAGE_IDS[] = {1000, 1001, 1002, 1005, 1006, 1007, 1008, 1009, 1010,
                            1003, 1014, 1011, 1012, 1015, 1013, 1016, 1004, 1017};
constexpr int SERVER_IDS[] = {1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1001, 1002};
constexpr int LOG_IDS[] = {1011, 1012, 1013, 1014, 1015, 1016};

inline LRESULT test_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

inline HWND create_test_window(HWND parent, DWORD style, int width, int height) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = test_window_procedure;
    window_class.lpszClassName = TEST_WINDOW_CLASS;
    RegisterClassExA(&window_class);
    return CreateWindowExA(0, TEST_WINDOW_CLASS, "", style, 0, 0, width, height, parent, nullptr, nullptr, nullptr);
}

inline std::string loc(int id) { return host::localization_get_string(id); }

class OptionsPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.bound());
        options_window_ = create_test_window(nullptr, 0, 640, 480);
        changed_mark_ = CreateWindowExA(0, "BUTTON", "Apply", WS_CHILD | WS_VISIBLE | WS_DISABLED, 0, 0, 75, 23,
                                        options_window_, reinterpret_cast<HMENU>(intptr_t{CHANGED_MARK_ID}), nullptr,
                                        nullptr);
        tooltip_ = create_test_window(nullptr, 0, 0, 0);
        page_ = create_test_window(options_window_, WS_CHILD | WS_VISIBLE, 500, 400);
        ASSERT_NE(page_, nullptr);
        ASSERT_NE(changed_mark_, nullptr);
    }

    void TearDown() override {
        if (server_instance) server_stop();
        DestroyWindow(tooltip_);
        DestroyWindow(options_window_);
        host::dialog_set_text_measure(nullptr);
        host::dialog_set_save_file_answer(nullptr);
    }

    void set_string(char* Settings::*field, const char* text) {
        settings.*field = utf8_string_realloc_utf8_string(settings.*field, text);
    }

    void create_page() {
        PluginOptionsPageCreate record = {nullptr, page_, tooltip_};
        EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_OPTIONS_PAGE_CREATE, reinterpret_cast<uintptr_t>(&record)), 1u);
    }

    // A fresh, empty page window of the given size in place of the current one.
    void replace_page(int width = 500, int height = 400) {
        DestroyWindow(page_);
        page_ = create_test_window(options_window_, WS_CHILD | WS_VISIBLE, width, height);
    }

    void layout_page() {
        PluginOptionsPageLayout record = {nullptr, page_};
        EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_OPTIONS_PAGE_LAYOUT, reinterpret_cast<uintptr_t>(&record)), 1u);
    }

    uint32_t apply_page(uint32_t flag_before = 0) {
        PluginOptionsPageApply record = {nullptr, page_, flag_before};
        EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_OPTIONS_PAGE_APPLY, reinterpret_cast<uintptr_t>(&record)), 1u);
        return record.server_not_running;
    }

    void command(int id, int code, uint32_t message = WM_COMMAND) {
        PluginOptionsPageCommand record = {};
        record.options_window = options_window_;
        record.page = page_;
        record.message = message;
        record.wparam = static_cast<uint64_t>(static_cast<uint16_t>(id)) | (static_cast<uint64_t>(code) << 16);
        EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_OPTIONS_PAGE_COMMAND, reinterpret_cast<uintptr_t>(&record)), 1u);
    }

    HWND control(int id) const { return GetDlgItem(page_, id); }
    std::string text(int id) const {
        char buffer[1024] = {};
        GetDlgItemTextA(page_, id, buffer, sizeof buffer);
        return buffer;
    }
    void type(int id, const char* text) const { SetDlgItemTextA(page_, id, text); }
    bool enabled(int id) const { return IsWindowEnabled(control(id)) != FALSE; }
    bool checked(int id) const { return IsDlgButtonChecked(page_, id) == BST_CHECKED; }
    void check(int id, bool on) const { CheckDlgButton(page_, id, on ? BST_CHECKED : BST_UNCHECKED); }
    RECT rect_of(int id) const {
        RECT rect = {};
        GetWindowRect(control(id), &rect);
        MapWindowPoints(HWND_DESKTOP, page_, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }

    bool changed_marked() const { return IsWindowEnabled(changed_mark_) != FALSE; }
    void clear_changed_mark() const { EnableWindow(changed_mark_, FALSE); }

    test_support::PluginSession session_;
    HWND options_window_ = nullptr;
    HWND changed_mark_ = nullptr;
    HWND tooltip_ = nullptr;
    HWND page_ = nullptr;
};

}  // namespace options_test
