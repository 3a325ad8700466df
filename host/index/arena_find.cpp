#include "host/index/arena_find.h"

#include <cstring>

namespace host {
namespace {

// Up to 256 samples of 4 KiB: a megabyte read, about half a millisecond, whatever the arena's size.
constexpr size_t SAMPLE_BYTES = 4 << 10;
constexpr size_t SAMPLES = 256;

void count_bytes(const char* text, size_t size, ArenaByteCounts* counts) {
    for (size_t at = 0; at < size; ++at) counts->of[static_cast<unsigned char>(text[at])]++;
}

}  // namespace

ArenaByteCounts arena_byte_counts(std::string_view arena) {
    ArenaByteCounts counts;
    if (arena.size() <= SAMPLE_BYTES * SAMPLES) {
        count_bytes(arena.data(), arena.size(), &counts);
        return counts;
    }
    size_t stride = arena.size() / SAMPLES;
    for (size_t sample = 0; sample < SAMPLES; ++sample)
        count_bytes(arena.data() + sample * stride, SAMPLE_BYTES, &counts);
    return counts;
}

size_t arena_rare_byte(const ArenaByteCounts& counts, std::string_view needle) {
    size_t rare = 0;
    for (size_t at = 1; at < needle.size(); ++at)
        if (counts.of[static_cast<unsigned char>(needle[at])] < counts.of[static_cast<unsigned char>(needle[rare])])
            rare = at;
    return rare;
}

size_t arena_find(std::string_view text, size_t from, std::string_view needle, size_t rare) {
    if (needle.size() > text.size() || from > text.size() - needle.size()) return std::string_view::npos;
    const char* data = text.data();
    size_t end = text.size() - needle.size() + rare + 1;  // just past the rare byte of the last start
    for (size_t at = from + rare; at < end;) {
        const void* hit = std::memchr(data + at, needle[rare], end - at);
        if (hit == nullptr) break;
        size_t start = static_cast<size_t>(static_cast<const char*>(hit) - data) - rare;
        if (std::memcmp(data + start, needle.data(), needle.size()) == 0) return start;
        at = start + rare + 1;
    }
    return std::string_view::npos;
}

}  // namespace host
