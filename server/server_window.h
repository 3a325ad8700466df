#pragma once

#include "sdk/platform_api.h"

// The procedure of the hidden server window: every socket event and every kick arrives here.
LRESULT server_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
