// Time: the current FILETIME, its local calendar form and its text form.
#include <cstdio>

#include "host/services.h"
#include "host/text_buffers.h"

namespace host {
namespace {

// What an unknown or unconvertible date shows: 1 January 1980, 00:00:00 (a Tuesday).
constexpr SYSTEMTIME FALLBACK_LOCAL_TIME = {1980, 1, 2, 1, 0, 0, 0, 0};

}  // namespace

uint64_t os_get_system_time_as_file_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void os_filetime_to_localtime(SYSTEMTIME* local_time, uint64_t filetime) {
    FILETIME file_time;
    file_time.dwLowDateTime = static_cast<DWORD>(filetime);
    file_time.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
    SYSTEMTIME utc;
    if (filetime == INDEXED_UNKNOWN || !FileTimeToSystemTime(&file_time, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, local_time))
        *local_time = FALLBACK_LOCAL_TIME;
}

void utf8_buf_format_filetime(Utf8Buf* buffer, uint64_t filetime) {
    SYSTEMTIME local;
    os_filetime_to_localtime(&local, filetime);
    utf8_buf_printf(buffer, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                    local.wMinute, local.wSecond);
}

}  // namespace host
