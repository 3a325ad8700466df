// File times (100-nanosecond units since 1601, UTC) as people read them.
#pragma once

#include <cstdint>
#include <string>

namespace client {

// ISO 8601 in UTC, "2024-01-31T15:45:00.1234567Z" (the fraction only when there is one, without
// trailing zeros); false when the time is unknown or no calendar date.
bool file_time_iso_utc(uint64_t file_time, std::string* out);

// Local date and time to the minute, "2024-01-31 16:45"; false as above.
bool file_time_local_minute(uint64_t file_time, std::string* out);

}  // namespace client
