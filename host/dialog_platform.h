// What the dialog services do differently on each platform: dialog_platform_posix.cpp has no window
// system (texts measured with a fixed advance, a save-file dialog that answers what the tests tell
// it), dialog_platform_windows.cpp has real controls, fonts, tooltips and the common dialog.
// Internal to the dialog services.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/sorrelwick_plugin.h"

namespace host {

// Logical pixels per inch of the screen, across and down.
int dialog_logical_per_inch(bool across);

// Gives a control just made on `page` the page's font.
void dialog_control_created(HWND page, HWND control);

// The width of a text in layout units (96 per inch) in the page's font, with "&" taken literally.
int dialog_text_width(HWND page, const char* text);

// Shows `text` as the tip of `control` in the tooltip control.
void dialog_tooltip_attach(HWND tooltip, HWND page, HWND control, const char* text);

// The save-file dialog; the arguments are those of os_get_save_file_name.
int dialog_save_file_name(HWND owner, const char* title, const char* start_file, const char* filter,
                          size_t filter_length, int filter_index, const char* default_extension, uint32_t flags,
                          Utf8Buf* chosen_file);

// Shows a task dialog's texts to the user when the host has a window to own it (see
// host_set_dialog_owner); stderr has them in any case.
void dialog_show_message(HWND owner, const char* caption, const char* text);

}  // namespace host
