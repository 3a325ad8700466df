// The part of the Win32 API (user and kernel services) that the plug-in and the host call.
// On Windows the system headers take its place; here libwin32 implements it over POSIX.
// Text arguments of the "A" functions are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using UINT_PTR = uintptr_t;
using LONG = int32_t;
using LONGLONG = int64_t;
using ATOM = uint16_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using ULONG_PTR = uintptr_t;
using WCHAR = char16_t;  // UTF-16, as on Windows

// Handles of distinct kinds are distinct types, as in Windows' strict mode.
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HMENU__;
using HMENU = HMENU__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

inline WORD LOWORD(uintptr_t value) { return static_cast<WORD>(value & 0xFFFF); }
inline WORD HIWORD(uintptr_t value) { return static_cast<WORD>((value >> 16) & 0xFFFF); }

// ---------------------------------------------------------------------------------------------------
// Time

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

void GetSystemTimeAsFileTime(FILETIME* now);
void GetLocalTime(SYSTEMTIME* now);
void GetSystemTime(SYSTEMTIME* now);
BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, FILETIME* file_time);
// Converts a UTC calendar time to local time with the rules in force at that date (null zone:
// the machine's own).
BOOL SystemTimeToTzSpecificLocalTime(const void* time_zone, const SYSTEMTIME* utc, SYSTEMTIME* local);
uint64_t GetTickCount64();
void Sleep(DWORD milliseconds);

// ---------------------------------------------------------------------------------------------------
// Kernel objects: events, threads, files. Every HANDLE is closed with CloseHandle.

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

BOOL CloseHandle(HANDLE object);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

HANDLE CreateEventW(void* security, BOOL manual_reset, BOOL initial_state, const wchar_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
HANDLE CreateThread(void* security, size_t stack_size, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD flags, DWORD* thread_id);
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code);

// Thread priority levels, relative to the process's. Here a level is a nice value of the thread
// (LOWEST is 10 above the thread's first value), and only the pseudo-handle of GetCurrentThread
// is accepted. Unlike Windows, the system may refuse to raise a lowered priority again: FALSE
// with ERROR_ACCESS_DENIED.
constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
HANDLE GetCurrentThread();
BOOL SetThreadPriority(HANDLE thread, int priority);

// Recursive, as on Windows.
struct CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_LIST_DIRECTORY = 0x1;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;  // lets CreateFileA open a folder
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD creation, DWORD flags,
                   HANDLE template_file);
// Opens root_folder/relative_path for reading without following any symbolic link, in either
// part, and without leaving root_folder ("/" separators, no ".." allowed). INVALID_HANDLE_VALUE on
// failure.
// Not a Windows call: it stands for CreateFile under a folder handle with reparse points refused.
HANDLE CreateFileBeneathA(const char* root_folder, const char* relative_path);
// Not a Windows call: Windows sets no small limit on the handles and sockets of a process, so this
// lifts the system's limit on open descriptors to its hard limit. The limit now in force.
DWORD RaiseHandleLimit();
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written, void* overlapped);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* new_position, DWORD method);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
// Ends the file at the handle's position.
BOOL SetEndOfFile(HANDLE file);
// What a handle's file is: a file on a disk, a device, or a pipe (FIFOs and sockets here).
constexpr DWORD FILE_TYPE_UNKNOWN = 0x0;
constexpr DWORD FILE_TYPE_DISK = 0x1;
constexpr DWORD FILE_TYPE_CHAR = 0x2;
constexpr DWORD FILE_TYPE_PIPE = 0x3;
DWORD GetFileType(HANDLE file);
// Makes one folder (the security attributes are not supported: null). FALSE with
// ERROR_ALREADY_EXISTS when the path names a file or folder already, ERROR_PATH_NOT_FOUND when a
// folder on the way to it is missing.
BOOL CreateDirectoryA(const char* path, void* security);

// Folder enumeration. The scan reports symbolic links with FILE_ATTRIBUTE_REPARSE_POINT and never
// follows them; sizes and times are the link's own.
constexpr size_t MAX_PATH = 260;

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];  // names here are at most 255 bytes
    char cAlternateFileName[14];
};

// pattern is a folder path followed by "/*", or the path of one entry, which is then the only one
// reported. As on Windows, "." and ".." are reported too when a folder is enumerated.
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

// The facts of one file or folder as FindFirstFileA reports them in its folder (a symbolic
// link's own). Only GetFileExInfoStandard is known.
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

BOOL GetFileAttributesExA(const char* path, GET_FILEEX_INFO_LEVELS level, void* information);

// Change notification. A folder opened with FILE_FLAG_BACKUP_SEMANTICS (and FILE_FLAG_OVERLAPPED for
// requests that complete later) reports what changes in it, or in its whole subtree: the first
// ReadDirectoryChangesW starts the watch, and changes made between two requests wait in a buffer the
// size of the first request's buffer. When that buffer overflows, the next request completes with
// zero bytes (GetLastError ERROR_NOTIFY_ENUM_DIR): the caller must read the folders again. Names are
// paths relative to the watched folder with backslashes; a name that is not UTF-8 carries each byte
// that is not part of a UTF-8 sequence as the lone surrogate U+DC80 + (byte - 0x80).
// A request without an OVERLAPPED waits for changes (CancelIoEx from another thread ends it); the
// completion routine is not supported (null). A request on a watched folder that was deleted fails
// with ERROR_ACCESS_DENIED.
constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x8;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;
constexpr DWORD FILE_NOTIFY_CHANGE_CREATION = 0x40;
constexpr DWORD FILE_ACTION_ADDED = 1;
constexpr DWORD FILE_ACTION_REMOVED = 2;
constexpr DWORD FILE_ACTION_MODIFIED = 3;
constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

// Records follow one another at NextEntryOffset (0 for the last), each DWORD-aligned.
struct FILE_NOTIFY_INFORMATION {
    DWORD NextEntryOffset;
    DWORD Action;
    DWORD FileNameLength;  // in bytes, without a terminating zero
    WCHAR FileName[1];
};

struct OVERLAPPED {
    ULONG_PTR Internal;      // the request's status while and after it runs
    ULONG_PTR InternalHigh;  // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;           // set when the request completes
};
static_assert(sizeof(OVERLAPPED) == 32);

BOOL ReadDirectoryChangesW(HANDLE directory, void* buffer, DWORD length, BOOL watch_subtree, DWORD notify_filter,
                           DWORD* bytes_returned, OVERLAPPED* overlapped, void* completion_routine);
// FALSE with ERROR_IO_INCOMPLETE while the request runs and `wait` is FALSE.
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes_transferred, BOOL wait);
// Ends the handle's request (or every request when overlapped is null) with ERROR_OPERATION_ABORTED;
// FALSE with ERROR_NOT_FOUND when there is none. A first request that is still placing the watches
// of a subtree (a large tree takes seconds) is ended too: it then fails with ERROR_OPERATION_ABORTED.
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
// Not a Windows call, for tests: runs `hook` (null: nothing) before each step of a first request's
// placing of watches.
void SetDirectoryWatchSetupHook(void (*hook)());

// The process heap: the C library's allocator, which every module of the process shares.
// HeapCompact gives the heap's free pages back to the system, wherever they lie in it; it does
// not measure the largest free block and returns 0 (GetLastError ERROR_SUCCESS).
HANDLE GetProcessHeap();
size_t HeapCompact(HANDLE heap, DWORD flags);

// Virtual memory: whole pages straight from the system, zero until first written and taking no
// memory until then. Only new regions are made: `address` must be null, and MEM_COMMIT (with or
// without MEM_RESERVE) reserves and commits them at once, with PAGE_READWRITE access; anything
// else fails with ERROR_INVALID_PARAMETER. VirtualFree takes MEM_RELEASE, size 0 and the address
// VirtualAlloc returned.
constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_RELEASE = 0x8000;
constexpr DWORD PAGE_READWRITE = 0x04;
void* VirtualAlloc(void* address, size_t size, DWORD allocation_type, DWORD protection);
BOOL VirtualFree(void* address, size_t size, DWORD free_type);

// Dynamic libraries. A failed load sets GetLastError to ERROR_BAD_EXE_FORMAT for a file that is no
// library for this machine, else ERROR_MOD_NOT_FOUND; a failed look-up to ERROR_PROC_NOT_FOUND.
HMODULE LoadLibraryA(const char* path);
using FARPROC = intptr_t (*)();  // cast to the function's own type before the call
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

DWORD GetLastError();
void SetLastError(DWORD error);
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_NOTIFY_ENUM_DIR = 1022;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// ---------------------------------------------------------------------------------------------------
// Windows, messages and the message queue. Each thread has one queue; a window belongs to the
// thread that created it. PostMessageW may be called from any thread; a message posted to a window
// that has been destroyed is dropped.

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

struct POINT {
    LONG x;
    LONG y;
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    const char* lpszMenuName;
    const char* lpszClassName;
    HICON hIconSm;
};

// Registering a class name that exists already replaces nothing and returns the existing atom.
ATOM RegisterClassExA(const WNDCLASSEXA* window_class);
HMODULE GetModuleHandleW(const wchar_t* module_name);

// For child controls `menu` carries the control id, as on Windows. The predefined classes
// "BUTTON", "EDIT" and "STATIC" make controls of the dialog-control model. A window whose parent is
// HWND_MESSAGE is a message-only window. Windows have no frame: the client area is the window.
#define HWND_DESKTOP (static_cast<HWND>(nullptr))
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))
HWND CreateWindowExA(DWORD extended_style, const char* class_name, const char* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* parameter);
BOOL DestroyWindow(HWND window);  // destroys its child windows too
BOOL IsWindow(HWND window);

BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);  // same thread only
// Returns 0 for WM_QUIT, -1 on error, nonzero otherwise. Only window == null is supported.
BOOL GetMessageW(MSG* message, HWND window, UINT first, UINT last);
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;
BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageW(const MSG* message);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The standard handles. A standard handle is a console when GetConsoleMode succeeds on it. The
// standard input's console takes the input modes: Ctrl+C as a signal, whole lines, echo (a
// terminal's ISIG, ICANON and ECHO).
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr DWORD ENABLE_PROCESSED_INPUT = 0x1;
constexpr DWORD ENABLE_LINE_INPUT = 0x2;
constexpr DWORD ENABLE_ECHO_INPUT = 0x4;
constexpr DWORD ENABLE_PROCESSED_OUTPUT = 0x1;
constexpr DWORD ENABLE_WRAP_AT_EOL_OUTPUT = 0x2;
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x4;
constexpr UINT CP_UTF8 = 65001;
HANDLE GetStdHandle(DWORD which);
BOOL SetConsoleOutputCP(UINT code_page);  // terminals here take UTF-8: only CP_UTF8 succeeds
BOOL GetConsoleMode(HANDLE console, DWORD* mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);

// Timers. A timer's WM_TIMER (wParam the id, lParam the procedure) is made when its thread's queue
// holds nothing else: one message however many intervals have passed unseen, then again once an
// interval has passed since, until KillTimer or the window's end. DispatchMessageW calls the
// procedure, when there is one, instead of the window. A window's timers run on the window's
// thread, whichever thread sets them; SetTimer with the id of a live timer restarts it. A thread
// timer (no window) gets an id of its own, returned by SetTimer; a window's timer returns 1.
constexpr UINT USER_TIMER_MINIMUM = 0x0000000A;
constexpr UINT USER_TIMER_MAXIMUM = 0x7FFFFFFF;
using TIMERPROC = void (*)(HWND window, UINT message, UINT_PTR id, DWORD time);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure);  // 0 on failure
BOOL KillTimer(HWND window, UINT_PTR id);

// Console control: the handler runs on its own thread when the process gets Ctrl+C (SIGINT),
// Ctrl+Break (SIGHUP here) or is asked to close (SIGTERM).
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
using PHANDLER_ROUTINE = BOOL (*)(DWORD control_type);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---------------------------------------------------------------------------------------------------
// The dialog-control model: child controls of a window, found by id.

constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;  // a sunken border; kept, not drawn, in this model
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_AUTOCHECKBOX = 0x3;
constexpr DWORD ES_PASSWORD = 0x20;
constexpr DWORD ES_AUTOHSCROLL = 0x80;
constexpr DWORD ES_NUMBER = 0x2000;
constexpr DWORD SS_LEFTNOWORDWRAP = 0xC;
constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;
constexpr int GWL_STYLE = -16;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_CHILD = 5;
constexpr UINT EN_CHANGE = 0x0300;

HWND GetDlgItem(HWND parent, int id);
int GetDlgCtrlID(HWND control);
HWND GetParent(HWND window);
HWND GetWindow(HWND window, UINT relation);  // GW_CHILD: first child; GW_HWNDNEXT: next sibling
int GetClassNameA(HWND window, char* name, int size);
LONG GetWindowLongW(HWND window, int index);  // GWL_STYLE only
BOOL SetWindowTextA(HWND window, const char* text);
int GetWindowTextA(HWND window, char* text, int size);
int GetWindowTextLengthA(HWND window);
BOOL SetDlgItemTextA(HWND parent, int id, const char* text);
UINT GetDlgItemTextA(HWND parent, int id, char* text, int size);
UINT GetDlgItemInt(HWND parent, int id, BOOL* translated, BOOL is_signed);
BOOL SetDlgItemInt(HWND parent, int id, UINT value, BOOL is_signed);
UINT IsDlgButtonChecked(HWND parent, int id);
BOOL CheckDlgButton(HWND parent, int id, UINT check);
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
BOOL GetClientRect(HWND window, RECT* rect);
BOOL GetWindowRect(HWND window, RECT* rect);  // in screen coordinates
// Converts points from the client coordinates of `from` to those of `to` (HWND_DESKTOP: the
// screen); returns the horizontal offset in its low word and the vertical one in its high word.
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
