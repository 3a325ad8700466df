#include "client/file_time.h"

#include <cstdio>

#include "client/results_reply.h"
#include "sdk/platform_api.h"

namespace client {
namespace {

constexpr uint64_t UNITS_PER_SECOND = 10000000;

bool to_system_time(uint64_t file_time, SYSTEMTIME* utc) {
    if (file_time == UNKNOWN_VALUE || file_time > static_cast<uint64_t>(INT64_MAX)) return false;
    FILETIME split;
    split.dwLowDateTime = static_cast<DWORD>(file_time & 0xFFFFFFFFu);
    split.dwHighDateTime = static_cast<DWORD>(file_time >> 32);
    return FileTimeToSystemTime(&split, utc) != FALSE;
}

}  // namespace

bool file_time_iso_utc(uint64_t file_time, std::string* out) {
    SYSTEMTIME utc;
    if (!to_system_time(file_time, &utc)) return false;
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    out->assign(text);
    unsigned fraction = static_cast<unsigned>(file_time % UNITS_PER_SECOND);
    if (fraction != 0) {
        std::snprintf(text, sizeof text, ".%07u", fraction);
        std::string digits = text;
        while (digits.back() == '0') digits.pop_back();
        out->append(digits);
    }
    out->push_back('Z');
    return true;
}

bool file_time_local_minute(uint64_t file_time, std::string* out) {
    SYSTEMTIME utc, local;
    if (!to_system_time(file_time, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return false;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                  local.wMinute);
    out->assign(text);
    return true;
}

}  // namespace client
