// Draws the plug-in's options page without a window system: the page is created and laid out in
// the dialog-control model, then every control is drawn at its rectangle as SVG.
#include "host/options_preview.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

#include "host/dialog_services.h"
#include "host/settings_store.h"

namespace host {
namespace {

constexpr char PREVIEW_WINDOW_CLASS[] = "SWP_OPTIONS_PREVIEW";
constexpr int OPTIONS_WINDOW_CHANGED_ID = 1001;  // the options window's mark for unsaved changes
constexpr int PAGE_SERVER_CHECKBOX_ID = 1000;    // the page's "enable the server" checkbox
constexpr int TEXT_INSET = 4;                    // room between an edit's border and its text

constexpr char TEXT_COLOR[] = "#000000";
constexpr char GREYED_COLOR[] = "#a0a0a0";

LRESULT preview_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

HWND create_preview_window(HWND parent, DWORD style, int width, int height) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = preview_window_procedure;
    window_class.lpszClassName = PREVIEW_WINDOW_CLASS;
    RegisterClassExA(&window_class);
    return CreateWindowExA(0, PREVIEW_WINDOW_CLASS, "", style, 0, 0, width, height, parent, nullptr, nullptr,
                           nullptr);
}

// The windows the host holds while a page is shown; destroyed with the record.
struct PreviewWindows {
    HWND options_window = nullptr;
    HWND page = nullptr;
    HWND tooltip = nullptr;
    ~PreviewWindows() {
        if (tooltip) DestroyWindow(tooltip);
        if (options_window) DestroyWindow(options_window);
    }
};

std::string xml_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

std::string window_text(HWND window) {
    // The length is an upper bound when the code page has multi-byte characters; the copy counts.
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    int copied = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

std::string class_of(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// What the drawing shows a control as.
const char* control_kind(HWND control) {
    std::string class_name = class_of(control);
    DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
    if (class_name == "Button") return (style & 0xF) == BS_AUTOCHECKBOX ? "checkbox" : "button";
    if (class_name == "Edit") return (style & ES_PASSWORD) ? "password" : "edit";
    if (class_name == "Static") return "label";
    return "window";
}

std::string masked(const std::string& text) {
    std::string out;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) out += "\xE2\x97\x8F";  // a black circle
    return out;
}

// Every text is drawn exactly as wide as the layout measured it, whatever the viewer's font, so that
// a label never runs into the control beside it.
void draw_text(std::ostringstream& svg, int x, int y, const char* anchor, const char* color, const std::string& text) {
    svg << "    <text x=\"" << x << "\" y=\"" << y << "\" text-anchor=\"" << anchor << "\" fill=\"" << color << "\"";
    int width = dialog_text_width_pixels(text.c_str());
    if (width > 0) svg << " textLength=\"" << width << "\" lengthAdjust=\"spacingAndGlyphs\"";
    svg << ">" << xml_escape(text) << "</text>\n";
}

void draw_control(std::ostringstream& svg, HWND page, HWND control) {
    RECT rect = {};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, page, reinterpret_cast<POINT*>(&rect), 2);
    int x = rect.left, y = rect.top, width = rect.right - rect.left, height = rect.bottom - rect.top;
    int id = GetDlgCtrlID(control);
    bool enabled = IsWindowEnabled(control) != FALSE;
    bool checked = IsDlgButtonChecked(page, id) == BST_CHECKED;
    const char* kind = control_kind(control);
    const char* color = enabled ? TEXT_COLOR : GREYED_COLOR;
    std::string text = window_text(control);
    std::string kind_name = kind;
    int baseline = y + height / 2 + 4;

    svg << "  <g class=\"" << kind << "\" data-id=\"" << id << "\" data-x=\"" << x << "\" data-y=\"" << y
        << "\" data-width=\"" << width << "\" data-height=\"" << height << "\" data-enabled=\"" << (enabled ? 1 : 0)
        << "\"";
    if (kind_name == "checkbox") svg << " data-checked=\"" << (checked ? 1 : 0) << "\"";
    svg << ">\n";
    std::string tooltip = dialog_tooltip_text(control);
    if (!tooltip.empty()) svg << "    <title>" << xml_escape(tooltip) << "</title>\n";

    if (kind_name == "checkbox") {
        int box_y = y + (height - 13) / 2;
        svg << "    <rect x=\"" << x << "\" y=\"" << box_y << "\" width=\"13\" height=\"13\" fill=\""
            << (enabled ? "#ffffff" : "#f0f0f0") << "\" stroke=\"" << (enabled ? "#333333" : GREYED_COLOR) << "\"/>\n";
        if (checked)
            svg << "    <path d=\"M" << x + 3 << ' ' << box_y + 7 << " L" << x + 5 << ' ' << box_y + 10 << " L"
                << x + 10 << ' ' << box_y + 3 << "\" fill=\"none\" stroke=\"" << color << "\" stroke-width=\"2\"/>\n";
        draw_text(svg, x + 18, baseline, "start", color, text);
    } else if (kind_name == "edit" || kind_name == "password") {
        svg << "    <rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << width << "\" height=\"" << height
            << "\" fill=\"" << (enabled ? "#ffffff" : "#f0f0f0") << "\" stroke=\"" << (enabled ? "#7a7a7a" : "#cccccc")
            << "\"/>\n";
        // An edit shows what fits; the rest scrolls out of sight.
        svg << "    <svg x=\"" << x + TEXT_INSET << "\" y=\"" << y << "\" width=\"" << std::max(width - 2 * TEXT_INSET, 0)
            << "\" height=\"" << height << "\" overflow=\"hidden\">\n";
        draw_text(svg, 0, height / 2 + 4, "start", color, kind_name == "password" ? masked(text) : text);
        svg << "    </svg>\n";
    } else if (kind_name == "button") {
        svg << "    <rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << width << "\" height=\"" << height
            << "\" rx=\"3\" fill=\"#e1e1e1\" stroke=\"" << (enabled ? "#adadad" : "#cccccc") << "\"/>\n";
        draw_text(svg, x + width / 2, baseline, "middle", color, text);
    } else {
        draw_text(svg, x, baseline, "start", color, text);
    }
    svg << "  </g>\n";
}

std::string page_name(SorrelwickPluginProc plugin) {
    OptionsPageList list;
    plugin(PLUGIN_MSG_ADD_OPTIONS_PAGES, reinterpret_cast<uintptr_t>(&list));
    return list.pages.empty() ? std::string() : list.pages.front().name;
}

}  // namespace

bool options_page_render_svg(SorrelwickPluginProc plugin, const std::string& svg_path, int width, int height,
                             std::string* error, bool server_enabled) {
    PreviewWindows windows;
    windows.options_window = create_preview_window(nullptr, 0, width, height);
    CreateWindowExA(0, "BUTTON", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON, 0, 0, 0, 0,
                    windows.options_window, reinterpret_cast<HMENU>(static_cast<intptr_t>(OPTIONS_WINDOW_CHANGED_ID)),
                    nullptr, nullptr);
    windows.page = create_preview_window(windows.options_window, WS_CHILD | WS_VISIBLE, width, height);
    windows.tooltip = create_preview_window(nullptr, 0, 0, 0);

    PluginOptionsPageCreate create = {nullptr, windows.page, windows.tooltip};
    plugin(PLUGIN_MSG_OPTIONS_PAGE_CREATE, reinterpret_cast<uintptr_t>(&create));
    if (server_enabled && IsDlgButtonChecked(windows.page, PAGE_SERVER_CHECKBOX_ID) != BST_CHECKED) {
        CheckDlgButton(windows.page, PAGE_SERVER_CHECKBOX_ID, BST_CHECKED);
        PluginOptionsPageCommand click = {nullptr, windows.options_window, windows.page, WM_COMMAND, 0,
                                          static_cast<uint64_t>(PAGE_SERVER_CHECKBOX_ID)};  // BN_CLICKED is 0
        plugin(PLUGIN_MSG_OPTIONS_PAGE_COMMAND, reinterpret_cast<uintptr_t>(&click));
    }
    PluginOptionsPageLayout layout = {nullptr, windows.page};
    plugin(PLUGIN_MSG_OPTIONS_PAGE_LAYOUT, reinterpret_cast<uintptr_t>(&layout));

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << ' ' << height
        << "\" font-family=\"Segoe UI, DejaVu Sans, sans-serif\" font-size=\"11\">\n"
        << "  <title>" << xml_escape(page_name(plugin)) << "</title>\n"
        << "  <rect class=\"page\" x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
        << "\" fill=\"#ffffff\" stroke=\"#dddddd\"/>\n";
    for (HWND control = GetWindow(windows.page, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT))
        draw_control(svg, windows.page, control);
    svg << "</svg>\n";

    std::ofstream out(svg_path, std::ios::binary | std::ios::trunc);
    out << svg.str();
    out.close();
    if (!out) {
        if (error) *error = "cannot write " + svg_path;
        return false;
    }
    return true;
}

bool options_page_draw(SorrelwickPluginProc plugin, SettingsStore* store, const std::string& svg_path, int width,
                       int height, std::string* error) {
    std::optional<std::string> enabled = store->get("enabled");
    bool server_enabled = enabled && settings_parse_integer(*enabled).value_or(0) != 0;
    store->set_override("enabled", "0", error);
    plugin(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(store));
    bool drawn = options_page_render_svg(plugin, svg_path, width, height, error, server_enabled);
    plugin(PLUGIN_MSG_STOP, 0);
    plugin(PLUGIN_MSG_UNINIT, 0);
    return drawn;
}

}  // namespace host
