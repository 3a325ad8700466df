// Looking for a needle in a name arena by its rarest byte. A scan that stops at each occurrence of
// the needle's first byte stops all the time when that byte is a common one ('s', '.', a digit);
// one that looks for the byte the arena holds least often stops seldom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace host {

// How often each byte occurs in an arena, estimated from samples spread evenly over it.
struct ArenaByteCounts {
    uint32_t of[256] = {};
};

ArenaByteCounts arena_byte_counts(std::string_view arena);

// Where in the needle (not empty) the byte lies that the counts say is the rarest.
size_t arena_rare_byte(const ArenaByteCounts& counts, std::string_view needle);

// The first occurrence of the needle in text at or after `from`, found through its byte at `rare`;
// npos when there is none.
size_t arena_find(std::string_view text, size_t from, std::string_view needle, size_t rare);

}  // namespace host
