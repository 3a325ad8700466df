// Terminated UTF-8 strings: heap copies, comparisons, numbers, CSV items and socket addresses.
#include <cstdint>
#include <cstring>

#include "host/services.h"
#include "host/text_buffers.h"

namespace host {
namespace {

const char* skip_blanks(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    return text;
}

// Reads the decimal digits at text, saturating at limit; stops at the first other byte.
uint64_t read_decimal(const char* text, uint64_t limit) {
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned digit = static_cast<unsigned>(*text - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return value;
}

unsigned char ascii_lower(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

}  // namespace

char* utf8_string_alloc_utf8_string(const char* text) {
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(mem_alloc(size));
    std::memcpy(copy, text, size);
    return copy;
}

char* utf8_string_realloc_utf8_string(char* old_string, const char* text) {
    // The copy is made first: text may be old_string itself or lie inside it.
    char* copy = utf8_string_alloc_utf8_string(text);
    mem_free(old_string);
    return copy;
}

char* utf8_string_copy_utf8_string(char* destination, const char* text) {
    size_t length = std::strlen(text);
    std::memmove(destination, text, length + 1);
    return destination + length;
}

size_t utf8_string_get_length_in_bytes(const char* text) { return std::strlen(text); }

int utf8_string_compare(const char* a, const char* b) {
    int order = std::strcmp(a, b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int utf8_string_compare_nocase_s_sla(const char* text, const char* lower_case_literal) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(lower_case_literal);
    for (;; ++a, ++b) {
        unsigned char folded = ascii_lower(*a);
        if (folded != *b) return folded < *b ? -1 : 1;
        if (folded == '\0') return 0;
    }
}

int32_t utf8_string_to_int(const char* text) {
    text = skip_blanks(text);
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (negative) return static_cast<int32_t>(-static_cast<int64_t>(read_decimal(text, 2147483648u)));
    return static_cast<int32_t>(read_decimal(text, 2147483647u));
}

uint32_t utf8_string_to_dword(const char* text) {
    text = skip_blanks(text);
    if (*text == '+') ++text;
    return static_cast<uint32_t>(read_decimal(text, UINT32_MAX));
}

uint64_t utf8_string_to_qword(const char* text) {
    text = skip_blanks(text);
    if (*text == '+') ++text;
    return read_decimal(text, UINT64_MAX);
}

const char* utf8_string_parse_csv_item(const char* text, Utf8Buf* item) {
    utf8_buf_copy_utf8_string_n(item, "", 0);
    if (text == nullptr) return nullptr;
    const char* start = skip_blanks(text);
    if (*start == '\0') return nullptr;

    const char* end;
    const char* rest;
    if (*start == '"') {
        // A quoted item runs to its closing quote and may hold commas; what follows the quote up to
        // the next comma is dropped.
        ++start;
        end = std::strchr(start, '"');
        if (end == nullptr) end = start + std::strlen(start);
        rest = std::strchr(end, ',');
    } else {
        rest = std::strchr(start, ',');
        end = rest != nullptr ? rest : start + std::strlen(start);
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    }
    utf8_buf_copy_utf8_string_n(item, start, static_cast<size_t>(end - start));
    return rest != nullptr ? rest + 1 : start + std::strlen(start);
}

int utf8_string_parse_sockaddr_in(const char* text, void* sockaddr_storage) {
    SOCKADDR_IN address;
    std::memset(&address, 0, sizeof(address));
    if (inet_pton(AF_INET, text, &address.sin_addr) == 1) address.sin_family = AF_INET;
    std::memcpy(sockaddr_storage, &address, sizeof(address));
    return address.sin_family == AF_INET ? 1 : 0;
}

int utf8_string_parse_sockaddr_in6(const char* text, void* sockaddr_storage) {
    SOCKADDR_IN6 address;
    std::memset(&address, 0, sizeof(address));
    if (inet_pton(AF_INET6, text, &address.sin6_addr) == 1) address.sin6_family = AF_INET6;
    std::memcpy(sockaddr_storage, &address, sizeof(address));
    return address.sin6_family == AF_INET6 ? 1 : 0;
}

int unicode_is_ascii_ws(int byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r';
}

}  // namespace host
