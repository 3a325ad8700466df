// What the host's dialog services remember: the tooltip of each control, and without a window
// system (Linux) the answer the save-file dialog gives and how texts are measured. Tests and the
// page preview read and steer them here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sdk/sorrelwick_plugin.h"

namespace host {

// The tooltip text os_add_tooltip gave a control, or "" when it has none.
std::string dialog_tooltip_text(HWND control);

// Without a window system only: the width of one character (UTF-8 code point) in layout units when
// texts are measured.
constexpr int DIALOG_TEXT_ADVANCE = 6;

// Without a window system only: replaces the fixed advance with `measure`, which gives a text's
// width in layout units; null restores the fixed advance.
using DialogTextMeasure = int (*)(const char* text);
void dialog_set_text_measure(DialogTextMeasure measure);

// A text's width in pixels as the page's layout measures it (with no page: in the default font).
int dialog_text_width_pixels(const char* text);

// Without a window system only: the arguments of the last os_get_save_file_name call; `calls`
// counts the calls so far.
struct SaveFileRequest {
    int calls = 0;
    HWND owner = nullptr;
    std::string title;
    std::string start_file;
    std::string filter;  // filter_length bytes, zero bytes included
    size_t filter_length = 0;
    int filter_index = 0;
    std::string default_extension;
    uint32_t flags = 0;
};
SaveFileRequest dialog_last_save_file_request();

// Without a window system only: what os_get_save_file_name answers from now on, the chosen file or
// cancel for null.
void dialog_set_save_file_answer(const char* chosen_file_or_null);

// The record a host hands to a plug-in's PLUGIN_MSG_ADD_OPTIONS_PAGES; ui_options_add_plugin_page
// appends each page to it. The record starts with a tag, so that the service leaves alone any
// other record a plug-in passes on.
constexpr uint32_t OPTIONS_PAGE_LIST_TAG = 0x4C504F53;  // "SOPL"
struct OptionsPageEntry {
    uintptr_t user_data;
    std::string name;
};
struct OptionsPageList {
    uint32_t tag = OPTIONS_PAGE_LIST_TAG;
    std::vector<OptionsPageEntry> pages;
};

}  // namespace host
