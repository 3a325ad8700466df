// Clocks and calendar conversions. A FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "win32/win32.h"

namespace {

constexpr int64_t TICKS_PER_SECOND = 10000000;
constexpr int64_t TICKS_PER_MILLISECOND = 10000;
constexpr int64_t SECONDS_1601_TO_1970 = 11644473600;
constexpr int64_t SECONDS_PER_DAY = 86400;

uint64_t filetime_ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void filetime_store(uint64_t ticks, FILETIME* time) {
    time->dwLowDateTime = static_cast<DWORD>(ticks);
    time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back, counted in 400-year eras.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
    unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    unsigned shifted_month = (5 * day_of_year + 2) / 153;
    *day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    *month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    *year = static_cast<int64_t>(year_of_era) + era * 400 + (*month <= 2);
}

bool is_leap_year(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(unsigned year, unsigned month) {
    static constexpr unsigned DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

bool system_time_valid(const SYSTEMTIME& time) {
    if (time.wYear < 1601 || time.wYear > 30827) return false;
    if (time.wMonth < 1 || time.wMonth > 12) return false;
    if (time.wDay < 1 || time.wDay > days_in_month(time.wYear, time.wMonth)) return false;
    return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

// Seconds since 1970 and milliseconds of a valid calendar time.
int64_t system_time_unix_seconds(const SYSTEMTIME& time) {
    int64_t days = days_from_civil(time.wYear, time.wMonth, time.wDay);
    return days * SECONDS_PER_DAY + time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
}

void system_time_from_tm(const struct tm& fields, WORD milliseconds, SYSTEMTIME* time) {
    time->wYear = static_cast<WORD>(fields.tm_year + 1900);
    time->wMonth = static_cast<WORD>(fields.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    time->wDay = static_cast<WORD>(fields.tm_mday);
    time->wHour = static_cast<WORD>(fields.tm_hour);
    time->wMinute = static_cast<WORD>(fields.tm_min);
    time->wSecond = static_cast<WORD>(fields.tm_sec);
    time->wMilliseconds = milliseconds;
}

struct timespec clock_now(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return now;
}

}  // namespace

void GetSystemTimeAsFileTime(FILETIME* now) {
    struct timespec wall = clock_now(CLOCK_REALTIME);
    int64_t ticks = (wall.tv_sec + SECONDS_1601_TO_1970) * TICKS_PER_SECOND + wall.tv_nsec / 100;
    filetime_store(static_cast<uint64_t>(ticks), now);
}

void GetSystemTime(SYSTEMTIME* now) {
    FILETIME ticks;
    GetSystemTimeAsFileTime(&ticks);
    FileTimeToSystemTime(&ticks, now);
}

void GetLocalTime(SYSTEMTIME* now) {
    struct timespec wall = clock_now(CLOCK_REALTIME);
    struct tm fields;
    localtime_r(&wall.tv_sec, &fields);
    system_time_from_tm(fields, static_cast<WORD>(wall.tv_nsec / 1000000), now);
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time) {
    uint64_t ticks = filetime_ticks(*file_time);
    if (ticks > 0x7FFFFFFFFFFFFFFFull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t seconds = ticks / TICKS_PER_SECOND;
    int64_t days_since_1601 = static_cast<int64_t>(seconds / SECONDS_PER_DAY);
    unsigned second_of_day = static_cast<unsigned>(seconds % SECONDS_PER_DAY);
    int64_t year;
    unsigned month, day;
    int64_t days_since_1970 = days_since_1601 - SECONDS_1601_TO_1970 / SECONDS_PER_DAY;
    civil_from_days(days_since_1970, &year, &month, &day);
    system_time->wYear = static_cast<WORD>(year);
    system_time->wMonth = static_cast<WORD>(month);
    // 1601-01-01 was a Monday.
    system_time->wDayOfWeek = static_cast<WORD>((days_since_1601 + 1) % 7);
    system_time->wDay = static_cast<WORD>(day);
    system_time->wHour = static_cast<WORD>(second_of_day / 3600);
    system_time->wMinute = static_cast<WORD>(second_of_day / 60 % 60);
    system_time->wSecond = static_cast<WORD>(second_of_day % 60);
    system_time->wMilliseconds = static_cast<WORD>(ticks / TICKS_PER_MILLISECOND % 1000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, FILETIME* file_time) {
    if (!system_time_valid(*system_time)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t seconds = system_time_unix_seconds(*system_time) + SECONDS_1601_TO_1970;
    int64_t ticks = seconds * TICKS_PER_SECOND + system_time->wMilliseconds * TICKS_PER_MILLISECOND;
    filetime_store(static_cast<uint64_t>(ticks), file_time);
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const void* time_zone, const SYSTEMTIME* utc, SYSTEMTIME* local) {
    if (time_zone || !system_time_valid(*utc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    time_t seconds = static_cast<time_t>(system_time_unix_seconds(*utc));
    struct tm fields;
    if (!localtime_r(&seconds, &fields)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    system_time_from_tm(fields, utc->wMilliseconds, local);
    return TRUE;
}

uint64_t GetTickCount64() {
    struct timespec now = clock_now(CLOCK_MONOTONIC);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    struct timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
