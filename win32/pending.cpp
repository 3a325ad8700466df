// First versions of the calls that are not built yet: each one fails.
#include "win32/handle_table.h"
#include "win32/window_internal.h"
#include "win32/winsock.h"

#include <unistd.h>

HANDLE win32_file_handle_from_fd(int fd) { ::close(fd); return INVALID_HANDLE_VALUE; }
DWORD win32_error_from_errno(int) { return ERROR_INVALID_PARAMETER; }
Win32Window* win32_window_get(HWND) { return nullptr; }

void GetSystemTimeAsFileTime(FILETIME* now) { now->dwLowDateTime = now->dwHighDateTime = 0; }
void GetLocalTime(SYSTEMTIME* now) { *now = SYSTEMTIME{}; }
void GetSystemTime(SYSTEMTIME* now) { *now = SYSTEMTIME{}; }
BOOL FileTimeToSystemTime(const FILETIME*, SYSTEMTIME*) { return FALSE; }
BOOL SystemTimeToFileTime(const SYSTEMTIME*, FILETIME*) { return FALSE; }
BOOL SystemTimeToTzSpecificLocalTime(const void*, const SYSTEMTIME*, SYSTEMTIME*) { return FALSE; }
uint64_t GetTickCount64() { return 0; }
void Sleep(DWORD) {}

BOOL CloseHandle(HANDLE) { return FALSE; }
DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_FAILED; }
HANDLE CreateEventW(void*, BOOL, BOOL, const wchar_t*) { return nullptr; }
BOOL SetEvent(HANDLE) { return FALSE; }
BOOL ResetEvent(HANDLE) { return FALSE; }
HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*) { return nullptr; }
DWORD GetCurrentThreadId() { return 0; }
BOOL GetExitCodeThread(HANDLE, DWORD*) { return FALSE; }
void InitializeCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION*) {}
BOOL TryEnterCriticalSection(CRITICAL_SECTION*) { return FALSE; }
void LeaveCriticalSection(CRITICAL_SECTION*) {}
void DeleteCriticalSection(CRITICAL_SECTION*) {}
HANDLE CreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*) { return FALSE; }
BOOL WriteFile(HANDLE, const void*, DWORD, DWORD*, void*) { return FALSE; }
BOOL SetFilePointerEx(HANDLE, LARGE_INTEGER, LARGE_INTEGER*, DWORD) { return FALSE; }
BOOL GetFileSizeEx(HANDLE, LARGE_INTEGER*) { return FALSE; }
DWORD GetLastError() { return 0; }
void SetLastError(DWORD) {}

ATOM RegisterClassExA(const WNDCLASSEXA*) { return 0; }
HMODULE GetModuleHandleW(const wchar_t*) { return nullptr; }
HWND CreateWindowExA(DWORD, const char*, const char*, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, void*) {
    return nullptr;
}
BOOL DestroyWindow(HWND) { return FALSE; }
BOOL IsWindow(HWND) { return FALSE; }
BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
BOOL PostThreadMessageW(DWORD, UINT, WPARAM, LPARAM) { return FALSE; }
void PostQuitMessage(int) {}
LRESULT SendMessageW(HWND, UINT, WPARAM, LPARAM) { return 0; }
BOOL GetMessageW(MSG*, HWND, UINT, UINT) { return -1; }
BOOL PeekMessageW(MSG*, HWND, UINT, UINT, UINT) { return FALSE; }
BOOL TranslateMessage(const MSG*) { return FALSE; }
LRESULT DispatchMessageW(const MSG*) { return 0; }
LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) { return 0; }
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE, BOOL) { return FALSE; }

int WSAStartup(WORD, WSADATA*) { return WSASYSNOTREADY; }
int WSACleanup() { return 0; }
int WSAGetLastError() { return WSANOTINITIALISED; }
void WSASetLastError(int) {}
int WSAAsyncSelect(SOCKET, HWND, UINT, long) { return SOCKET_ERROR; }
SOCKET socket(int, int, int) { return INVALID_SOCKET; }
int bind(SOCKET, const SOCKADDR*, int) { return SOCKET_ERROR; }
int listen(SOCKET, int) { return SOCKET_ERROR; }
SOCKET accept(SOCKET, SOCKADDR*, int*) { return INVALID_SOCKET; }
int connect(SOCKET, const SOCKADDR*, int) { return SOCKET_ERROR; }
int shutdown(SOCKET, int) { return SOCKET_ERROR; }
int closesocket(SOCKET) { return SOCKET_ERROR; }
int recv(SOCKET, char*, int, int) { return SOCKET_ERROR; }
int send(SOCKET, const char*, int, int) { return SOCKET_ERROR; }
int getsockname(SOCKET, SOCKADDR*, int*) { return SOCKET_ERROR; }
int getpeername(SOCKET, SOCKADDR*, int*) { return SOCKET_ERROR; }
int setsockopt(SOCKET, int, int, const char*, int) { return SOCKET_ERROR; }
int getsockopt(SOCKET, int, int, char*, int*) { return SOCKET_ERROR; }
int ioctlsocket(SOCKET, long, unsigned long*) { return SOCKET_ERROR; }
int getaddrinfo(const char*, const char*, const ADDRINFOA*, ADDRINFOA** result) { *result = nullptr; return WSANO_RECOVERY; }
void freeaddrinfo(ADDRINFOA*) {}
int inet_pton(int, const char*, void*) { return -1; }
const char* inet_ntop(int, const void*, char*, size_t) { return nullptr; }
uint16_t htons(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }
uint16_t ntohs(uint16_t value) { return htons(value); }
uint32_t htonl(uint32_t value) { return __builtin_bswap32(value); }
uint32_t ntohl(uint32_t value) { return __builtin_bswap32(value); }
