// The saved index's lock on Windows: FILE.lock held open for writing with no one else allowed to
// write it, the process id written into it; another run opens it to read the number.
#include "host/utf16_windows.h"

#include <cstdlib>

#include "host/index/index_lock.h"

namespace host {
namespace {

HANDLE g_lock = INVALID_HANDLE_VALUE;

uint32_t holder_read(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    char text[16] = {};
    DWORD got = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return read && got > 0 ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

}  // namespace

IndexLockResult index_lock_take(const std::string& index_path, uint32_t* holder) {
    *holder = 0;
    std::wstring path = utf16_from_utf8(index_path + ".lock");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_SHARING_VIOLATION) return IndexLockResult::FAILED;
        *holder = holder_read(path);
        return IndexLockResult::IN_USE;
    }
    std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    // Without the number the lock holds all the same; another run then names no process.
    if (SetEndOfFile(file)) WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    index_lock_release();
    g_lock = file;
    return IndexLockResult::TAKEN;
}

void index_lock_release() {
    if (g_lock != INVALID_HANDLE_VALUE) CloseHandle(g_lock);
    g_lock = INVALID_HANDLE_VALUE;
}

}  // namespace host
