// The record behind every HWND of this layer, shared by the window manager and the dialog-control
// model. Not part of the Win32 interface: only win32/*.cpp include it.
#pragma once

#include <string>
#include <vector>

#include "win32/win32.h"

constexpr uint32_t WIN32_WINDOW_MAGIC = 0x574E4457;  // "WDNW"

struct Win32Window {
    uint32_t magic = WIN32_WINDOW_MAGIC;  // cleared when the window is destroyed
    DWORD thread_id = 0;                  // the thread whose queue receives its messages
    WNDPROC procedure = nullptr;          // null for controls of the predefined classes
    std::string class_name;               // "Button", "Edit", "Static" for controls
    std::string text;
    DWORD style = 0;
    int id = 0;                           // control id: the menu argument of a child window
    HWND parent = nullptr;
    std::vector<HWND> children;           // in creation order
    RECT rect = {0, 0, 0, 0};             // relative to the parent's client area; a window has no frame
    UINT check_state = BST_UNCHECKED;
    bool enabled = true;                  // false when created with WS_DISABLED or disabled later
};

// The live window behind a handle, or null for a handle that is not (or no longer) a window.
// Controls are touched only by the thread that owns them, as on Windows.
Win32Window* win32_window_get(HWND window);
