// swp-probe.exe: what the Wine run of the end-to-end tests asks of a running swp-host.exe, from the
// Windows side of the same Wine prefix.
//
//   swp-probe counts MARKER     threads, handles and sockets of the swp-host.exe whose command line
//                               holds MARKER: "THREADS HANDLES SOCKETS"
//   swp-probe state             the options window: "page X Y WIDTH HEIGHT" (its client area on the
//                               screen), then one line per control of page and window:
//                               "ID CLASS ENABLED CHECKED X Y WIDTH HEIGHT TEXT" (page coordinates)
//   swp-probe click ID          clicks a button (or checkbox) of the page or of the options window
//   swp-probe set-text ID TEXT  replaces the text of an edit of the page
//   swp-probe close             closes the options window
//   swp-probe folder            the local application-data folder (%LOCALAPPDATA%)
//   swp-probe access FILE       who may open FILE: its access list in SDDL, then this user's SID
//
// Exit status 0, or 1 with a message on stderr when the process or window is not found.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr wchar_t HOST_IMAGE[] = L"swp-host.exe";
constexpr wchar_t OPTIONS_WINDOW_CLASS[] = L"SWP_OPTIONS_WINDOW";
constexpr wchar_t OPTIONS_PAGE_CLASS[] = L"SWP_OPTIONS_PAGE";
// Handle values are multiples of 4, handed out lowest first: after this many free values in a row
// no handle is left.
constexpr int HANDLE_GAP_LIMIT = 1024;

int fail(const char* message) {
    std::fprintf(stderr, "swp-probe: %s\n", message);
    return 1;
}

std::wstring wide(const char* text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring result(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, result.data(), length);
    result.resize(result.size() - 1);
    return result;
}

std::string narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

// The command line of another process, read from its process parameters.
std::wstring command_line_of(HANDLE process) {
    PROCESS_BASIC_INFORMATION basic;
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0) return L"";
    PEB peb;
    RTL_USER_PROCESS_PARAMETERS parameters;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &read) ||
        !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, &read))
        return L"";
    std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!ReadProcessMemory(process, parameters.CommandLine.Buffer, text.data(), parameters.CommandLine.Length, &read))
        return L"";
    return text;
}

struct HostProcess {
    DWORD id = 0;
    DWORD threads = 0;
};

// The one swp-host.exe whose command line holds the marker.
bool host_find(const std::wstring& marker, HostProcess* found) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int matches = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, HOST_IMAGE) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (!process) continue;
        if (command_line_of(process).find(marker) != std::wstring::npos) {
            found->id = entry.th32ProcessID;
            found->threads = entry.cntThreads;
            ++matches;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return matches == 1;
}

// Copies of every handle of the process, found by asking for each handle value in turn. (The
// system's handle list would be quicker, but Wine's server may crash while it lists the handles of
// a process that is ending.)
std::vector<HANDLE> handles_copy(HANDLE process) {
    std::vector<HANDLE> copies;
    int gap = 0;
    for (uintptr_t value = 4; gap < HANDLE_GAP_LIMIT; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            copies.push_back(copy);
            gap = 0;
        } else {
            ++gap;
        }
    }
    return copies;
}

// A handle is a socket when it answers the socket driver's own request for its local address
// (IOCTL_AFD_GETSOCKNAME), bound (an address) or not (an invalid parameter); pipes, the other
// files of the pipe type, refuse the request as not supported. (Socket calls would not do: they
// accept only sockets of their own process.)
bool is_socket(HANDLE copy) {
    constexpr DWORD IOCTL_AFD_GETSOCKNAME = 0x1202F;
    if (GetFileType(copy) != FILE_TYPE_PIPE) return false;
    char address[128];
    DWORD length = 0;
    return DeviceIoControl(copy, IOCTL_AFD_GETSOCKNAME, nullptr, 0, address, sizeof address, &length, nullptr) ||
           GetLastError() == ERROR_INVALID_PARAMETER;
}

int probe_counts(const char* marker) {
    HostProcess host;
    if (!host_find(wide(marker), &host)) return fail("no single swp-host.exe with that command line");
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, host.id);
    if (!process) return fail("cannot open the process");
    std::vector<HANDLE> copies = handles_copy(process);
    CloseHandle(process);
    int sockets = 0;
    for (HANDLE copy : copies) {
        if (is_socket(copy)) ++sockets;
        CloseHandle(copy);
    }
    std::printf("%lu %zu %d\n", host.threads, copies.size(), sockets);
    return 0;
}

HWND options_window() { return FindWindowW(OPTIONS_WINDOW_CLASS, nullptr); }

HWND options_page(HWND window) { return FindWindowExW(window, nullptr, OPTIONS_PAGE_CLASS, nullptr); }

bool is_class(HWND control, const wchar_t* name) {
    wchar_t class_name[64] = L"";
    GetClassNameW(control, class_name, 64);
    return lstrcmpiW(class_name, name) == 0;
}

// A control of the page, else of the options window, of the given class (Apply and the page's
// first label share the id 1001).
HWND control_find(int id, const wchar_t* class_name) {
    HWND window = options_window();
    HWND page = options_page(window);
    for (HWND parent : {page, window}) {
        HWND control = parent ? GetDlgItem(parent, id) : nullptr;
        if (control && is_class(control, class_name)) return control;
    }
    return nullptr;
}

std::wstring text_of(HWND window) {
    wchar_t text[1024] = L"";
    SendMessageW(window, WM_GETTEXT, sizeof text / sizeof text[0], reinterpret_cast<LPARAM>(text));
    return text;
}

void print_control(HWND page, HWND control) {
    wchar_t class_name[64] = L"";
    GetClassNameW(control, class_name, 64);
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, page, reinterpret_cast<POINT*>(&rect), 2);
    LRESULT checked = SendMessageW(control, BM_GETCHECK, 0, 0);
    std::printf("%d %s %d %d %ld %ld %ld %ld %s\n", GetDlgCtrlID(control), narrow(class_name).c_str(),
                IsWindowEnabled(control) ? 1 : 0, checked == BST_CHECKED ? 1 : 0, rect.left, rect.top,
                rect.right - rect.left, rect.bottom - rect.top, narrow(text_of(control)).c_str());
}

int probe_state() {
    HWND window = options_window();
    HWND page = options_page(window);
    if (!page || !IsWindowVisible(window)) return fail("no options window shown");
    RECT client;
    GetClientRect(page, &client);
    POINT origin = {0, 0};
    ClientToScreen(page, &origin);
    std::printf("page %ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    for (HWND parent : {page, window})
        for (HWND control = GetWindow(parent, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT))
            if (control != page) print_control(page, control);
    return 0;
}

int probe_click(int id) {
    HWND control = control_find(id, L"Button");
    if (!control) return fail("no such control");
    SendMessageW(control, BM_CLICK, 0, 0);
    return 0;
}

int probe_set_text(int id, const char* text) {
    HWND control = control_find(id, L"Edit");
    if (!control) return fail("no such control");
    std::wstring value = wide(text);
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
    return 0;
}

int probe_close() {
    HWND window = options_window();
    if (!window) return fail("no options window");
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

int probe_folder() {
    wchar_t* folder = nullptr;
    bool found = SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &folder) == S_OK;
    if (found) std::printf("%s\n", narrow(folder).c_str());
    CoTaskMemFree(folder);
    return found ? 0 : fail("no local application-data folder");
}

}  // namespace

int probe_access(const char* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return fail("the file's access list cannot be read");
    wchar_t* sddl = nullptr;
    bool shown = ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                      DACL_SECURITY_INFORMATION, &sddl, nullptr);
    LocalFree(descriptor);
    if (!shown) return fail("the access list cannot be shown");
    std::printf("%s\n", narrow(sddl).c_str());
    LocalFree(sddl);
    HANDLE token = nullptr;
    DWORD size = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    wchar_t* sid = nullptr;
    bool named = size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
                 ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid);
    CloseHandle(token);
    if (!named) return fail("this user's SID is not known");
    std::printf("%s\n", narrow(sid).c_str());
    LocalFree(sid);
    return 0;
}

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "counts" && argc == 3) return probe_counts(argv[2]);
    if (command == "state" && argc == 2) return probe_state();
    if (command == "click" && argc == 3) return probe_click(std::atoi(argv[2]));
    if (command == "set-text" && argc == 4) return probe_set_text(std::atoi(argv[2]), argv[3]);
    if (command == "close" && argc == 2) return probe_close();
    if (command == "folder" && argc == 2) return probe_folder();
    if (command == "access" && argc == 3) return probe_access(argv[2]);
    return fail("usage: swp-probe counts MARKER | state | click ID | set-text ID TEXT | close | folder | access FILE");
}
