// The options window on Windows: a top-level window holding the plug-in's page (a child window of
// the host that relays the page's commands to the plug-in) and the host's OK, Cancel and Apply
// buttons. Apply is item 1001 of the window: the plug-in enables it to show that the page changed.
#include "host/options_window.h"  // first: the common control headers need <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include "host/debug.h"
#include "host/dialog_services.h"
#include "host/listen_report.h"
#include "host/utf16_windows.h"
#include "host/window_services.h"

namespace host {
namespace {

constexpr wchar_t WINDOW_CLASS[] = L"SWP_OPTIONS_WINDOW";
constexpr wchar_t PAGE_CLASS[] = L"SWP_OPTIONS_PAGE";
constexpr int ID_APPLY = 1001;  // the item the plug-in enables to mark the page changed
constexpr int LAYOUT_UNITS_PER_INCH = 96;
constexpr int MARGIN = 12;
constexpr int BUTTON_WIDTH = 75;
constexpr int BUTTON_HEIGHT = 23;
constexpr int BUTTON_GAP = 6;
constexpr int TOOLTIP_WIDTH = 400;

// Everything the window holds; it lives on options_window_run's stack while the window exists.
struct OptionsWindow {
    SorrelwickPluginProc plugin = nullptr;
    SettingsStore* store = nullptr;
    HWND window = nullptr;
    HWND page = nullptr;
    HWND tooltip = nullptr;
    HFONT font = nullptr;  // the controls' font, given out by the page's WM_GETFONT
    int per_inch = LAYOUT_UNITS_PER_INCH;
    bool page_created = false;
};

int to_pixels(const OptionsWindow& options, int units) {
    return MulDiv(units, options.per_inch, LAYOUT_UNITS_PER_INCH);
}

OptionsWindow* record_of(HWND window) {
    return reinterpret_cast<OptionsWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Keeps the record handed to CreateWindowExW with the window.
OptionsWindow* record_attach(HWND window, LPARAM create_parameters) {
    auto* create = reinterpret_cast<const CREATESTRUCTW*>(create_parameters);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return static_cast<OptionsWindow*>(create->lpCreateParams);
}

void options_apply(OptionsWindow* options) {
    PluginOptionsPageApply apply = {nullptr, options->page, 0};
    // A server that the apply starts announces its listeners, as at the start of a run.
    listen_watch_begin();
    options->plugin(PLUGIN_MSG_OPTIONS_PAGE_APPLY, reinterpret_cast<uintptr_t>(&apply));
    ListenReport report = listen_watch_end();
    listen_report_show_applied(report);
    if (apply.server_not_running) console_printf("swp-host: the server is enabled but does not run\n");
    options->plugin(PLUGIN_MSG_SAVE_SETTINGS, reinterpret_cast<uintptr_t>(options->store));
    std::string error;
    if (!options->store->save(&error)) console_printf("swp-host: %s\n", error.c_str());
    EnableWindow(GetDlgItem(options->window, ID_APPLY), FALSE);
}

void page_layout(OptionsWindow* options) {
    PluginOptionsPageLayout layout = {nullptr, options->page};
    options->plugin(PLUGIN_MSG_OPTIONS_PAGE_LAYOUT, reinterpret_cast<uintptr_t>(&layout));
}

LRESULT CALLBACK page_procedure(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
    OptionsWindow* options = message == WM_NCCREATE ? record_attach(page, lparam) : record_of(page);
    switch (message) {
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(options ? options->font : nullptr);
        case WM_COMMAND: {
            PluginOptionsPageCommand command = {nullptr, options->window, page, WM_COMMAND, 0, wparam};
            options->plugin(PLUGIN_MSG_OPTIONS_PAGE_COMMAND, reinterpret_cast<uintptr_t>(&command));
            return 0;
        }
        case WM_SIZE:
            if (options && options->page_created) page_layout(options);
            return 0;
    }
    return DefWindowProcW(page, message, wparam, lparam);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) record_attach(window, lparam)->window = window;
    OptionsWindow* options = record_of(window);
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                options_apply(options);
                DestroyWindow(window);
            } else if (LOWORD(wparam) == ID_APPLY) {
                options_apply(options);
            } else if (LOWORD(wparam) == IDCANCEL) {
                DestroyWindow(window);
            }
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool classes_register(HINSTANCE instance) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<const wchar_t*>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassExW(&window_class)) return false;
    window_class.lpfnWndProc = page_procedure;
    window_class.lpszClassName = PAGE_CLASS;
    return RegisterClassExW(&window_class) != 0;
}

HWND button_create(const OptionsWindow& options, int id, const wchar_t* text, int x, int y, DWORD style) {
    HWND button = CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y,
                                  to_pixels(options, BUTTON_WIDTH), to_pixels(options, BUTTON_HEIGHT), options.window,
                                  reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), nullptr, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(options.font), FALSE);
    return button;
}

// OK, Cancel and Apply at the right below the page; Apply starts disabled (nothing changed yet).
void buttons_create(const OptionsWindow& options, int page_width, int page_height) {
    int y = page_height;
    int step = to_pixels(options, BUTTON_WIDTH + BUTTON_GAP);
    int x = page_width - to_pixels(options, MARGIN) - 3 * step + to_pixels(options, BUTTON_GAP);
    button_create(options, IDOK, L"OK", x, y, BS_DEFPUSHBUTTON);
    button_create(options, IDCANCEL, L"Cancel", x + step, y, BS_PUSHBUTTON);
    button_create(options, ID_APPLY, L"Apply", x + 2 * step, y, BS_PUSHBUTTON | WS_DISABLED);
}

std::wstring window_title(SorrelwickPluginProc plugin) {
    OptionsPageList list;
    plugin(PLUGIN_MSG_ADD_OPTIONS_PAGES, reinterpret_cast<uintptr_t>(&list));
    std::string name = list.pages.empty() ? std::string() : list.pages.front().name;
    return utf16_from_utf8(name + (name.empty() ? "" : " - ") + "swp-host options");
}

// Creates the window, the page with its controls and the tooltip control; false when the window
// system refuses.
bool options_create(OptionsWindow* options, int width, int height) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!classes_register(instance)) return false;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    options->font = CreateFontIndirectW(&metrics.lfMessageFont);
    HDC screen = GetDC(nullptr);
    options->per_inch = std::max(1, GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(nullptr, screen);

    PluginOptionsPageMinSize minimum = {};
    options->plugin(PLUGIN_MSG_OPTIONS_PAGE_GET_MIN_SIZE, reinterpret_cast<uintptr_t>(&minimum));
    int page_width = to_pixels(*options, std::max(width, minimum.min_width));
    int page_height = to_pixels(*options, std::max(height, minimum.min_height));
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, page_width, page_height + to_pixels(*options, BUTTON_HEIGHT + MARGIN)};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    if (!CreateWindowExW(WS_EX_CONTROLPARENT, WINDOW_CLASS, window_title(options->plugin).c_str(), style,
                         CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                         nullptr, instance, options))
        return false;
    options->page = CreateWindowExW(WS_EX_CONTROLPARENT, PAGE_CLASS, L"", WS_CHILD | WS_VISIBLE, 0, 0, page_width,
                                    page_height, options->window, nullptr, instance, options);
    options->tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, options->window,
                                       nullptr, instance, nullptr);
    if (!options->page) return false;
    SendMessageW(options->tooltip, TTM_SETMAXTIPWIDTH, 0, to_pixels(*options, TOOLTIP_WIDTH));
    buttons_create(*options, page_width, page_height);

    PluginOptionsPageCreate create = {nullptr, options->page, options->tooltip};
    options->plugin(PLUGIN_MSG_OPTIONS_PAGE_CREATE, reinterpret_cast<uintptr_t>(&create));
    options->page_created = true;
    page_layout(options);
    return true;
}

}  // namespace

bool options_window_supported(std::string*) { return true; }

bool options_window_run(SorrelwickPluginProc plugin, SettingsStore* store, int width, int height,
                        std::string* error) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    OptionsWindow options;
    options.plugin = plugin;
    options.store = store;
    if (!options_create(&options, width, height)) {
        *error = "the options window cannot be shown (error " + std::to_string(GetLastError()) + ")";
        if (options.window) DestroyWindow(options.window);
        if (options.font) DeleteObject(options.font);
        return false;
    }
    host_set_dialog_owner(options.window);
    ShowWindow(options.window, SW_SHOWNORMAL);
    UpdateWindow(options.window);

    // The same loop serves the plug-in's server window: its socket events arrive here too.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsWindow(options.window) && IsDialogMessageW(options.window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    host_set_dialog_owner(nullptr);
    // After a stop by Ctrl+C the window still exists.
    if (IsWindow(options.window)) DestroyWindow(options.window);
    DeleteObject(options.font);
    return true;
}

}  // namespace host
