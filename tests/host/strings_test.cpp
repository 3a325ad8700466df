// Strings: heap copies, comparisons, numbers, CSV items and socket addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/host/host_test_support.h"

namespace {

TEST(HostStrings, HeapCopiesAndChainedCopies) {
    char* text = host::utf8_string_alloc_utf8_string("first");
    text = host::utf8_string_realloc_utf8_string(text, text + 2);  // the new text may lie inside the old
    EXPECT_STREQ(text, "rst");
    host::mem_free(text);

    char target[32];
    char* end = host::utf8_string_copy_utf8_string(target, "220 ");
    EXPECT_EQ(end, target + 4);
    end = host::utf8_string_copy_utf8_string(end, "Hello");
    EXPECT_STREQ(target, "220 Hello");
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(host::utf8_string_get_length_in_bytes("caf\xc3\xa9"), 5u);
}

TEST(HostStrings, ComparisonsExactAndFolded) {
    EXPECT_EQ(host::utf8_string_compare("abc", "abc"), 0);
    EXPECT_LT(host::utf8_string_compare("ABC", "abc"), 0);
    EXPECT_GT(host::utf8_string_compare("abd", "abc"), 0);
    EXPECT_GT(host::utf8_string_compare("\xc3\xa9", "z"), 0);  // bytes compare unsigned
    EXPECT_EQ(host::utf8_string_compare_nocase_s_sla("RETR", "retr"), 0);
    EXPECT_EQ(host::utf8_string_compare_nocase_s_sla("ReTr", "retr"), 0);
    EXPECT_NE(host::utf8_string_compare_nocase_s_sla("RETRx", "retr"), 0);
    EXPECT_NE(host::utf8_string_compare_nocase_s_sla("RET", "retr"), 0);
    EXPECT_NE(host::utf8_string_compare_nocase_s_sla("\xc3\x89", "\xc3\xa9"), 0);  // only ASCII folds
}

TEST(HostStrings, LeadingDecimalNumbers) {
    struct Case {
        const char* text;
        int32_t as_int;
        uint32_t as_dword;
        uint64_t as_qword;
    };
    const Case cases[] = {
        {"1025|", 1025, 1025, 1025},
        {"  42,7", 42, 42, 42},
        {"-12", -12, 0, 0},
        {"+9", 9, 9, 9},
        {"", 0, 0, 0},
        {"abc", 0, 0, 0},
        {"12abc", 12, 12, 12},
        {"2147483648", INT32_MAX, 2147483648u, 2147483648ull},
        {"-2147483649", INT32_MIN, 0, 0},
        {"4294967296", INT32_MAX, UINT32_MAX, 4294967296ull},
        {"18446744073709551615", INT32_MAX, UINT32_MAX, UINT64_MAX},
        {"99999999999999999999999", INT32_MAX, UINT32_MAX, UINT64_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host::utf8_string_to_int(c.text), c.as_int) << c.text;
        EXPECT_EQ(host::utf8_string_to_dword(c.text), c.as_dword) << c.text;
        EXPECT_EQ(host::utf8_string_to_qword(c.text), c.as_qword) << c.text;
    }
}

std::vector<std::string> csv_items(const char* text) {
    std::vector<std::string> items;
    Utf8Buf item;
    host::utf8_buf_init(&item);
    for (const char* rest = host::utf8_string_parse_csv_item(text, &item); rest != nullptr;
         rest = host::utf8_string_parse_csv_item(rest, &item))
        items.push_back(buffer_text(item));
    EXPECT_EQ(item.length, 0u);
    host::utf8_buf_kill(&item);
    return items;
}

TEST(HostStrings, CsvItems) {
    using Items = std::vector<std::string>;
    EXPECT_EQ(csv_items("127.0.0.1,,::1"), (Items{"127.0.0.1", "", "::1"}));
    EXPECT_EQ(csv_items(" a , b\t,c "), (Items{"a", "b", "c"}));
    EXPECT_EQ(csv_items("\"x, y\" ,\" z \""), (Items{"x, y", " z "}));
    EXPECT_EQ(csv_items("one"), (Items{"one"}));
    EXPECT_EQ(csv_items("a,"), (Items{"a"}));
    EXPECT_EQ(csv_items(",a"), (Items{"", "a"}));
    EXPECT_EQ(csv_items(""), Items{});
    EXPECT_EQ(csv_items("   "), Items{});
    EXPECT_EQ(csv_items("\"open"), (Items{"open"}));
}

TEST(HostStrings, SocketAddressesParsedIntoWindowsLayouts) {
    SOCKADDR_STORAGE storage;
    std::memset(&storage, 0xAB, sizeof(storage));
    EXPECT_EQ(host::utf8_string_parse_sockaddr_in("192.168.1.20", &storage), 1);
    const SOCKADDR_IN& v4 = reinterpret_cast<const SOCKADDR_IN&>(storage);
    EXPECT_EQ(v4.sin_family, 2);
    EXPECT_EQ(v4.sin_port, 0);
    EXPECT_EQ(v4.sin_addr.s_addr, htonl(0xC0A80114));

    std::memset(&storage, 0xAB, sizeof(storage));
    EXPECT_EQ(host::utf8_string_parse_sockaddr_in6("::1", &storage), 1);
    const SOCKADDR_IN6& v6 = reinterpret_cast<const SOCKADDR_IN6&>(storage);
    EXPECT_EQ(v6.sin6_family, 23);
    EXPECT_EQ(v6.sin6_port, 0);
    EXPECT_EQ(v6.sin6_flowinfo, 0u);
    EXPECT_EQ(v6.sin6_addr.s6_addr[15], 1);
    EXPECT_EQ(v6.sin6_addr.s6_addr[0], 0);

    EXPECT_EQ(host::utf8_string_parse_sockaddr_in6("fe80::1:2", &storage), 1);
    EXPECT_EQ(v6.sin6_addr.s6_addr[0], 0xfe);
    EXPECT_EQ(v6.sin6_addr.s6_addr[13], 1);
    EXPECT_EQ(v6.sin6_addr.s6_addr[15], 2);

    for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4 ", "::1", "localhost"}) {
        std::memset(&storage, 0xAB, sizeof(storage));
        EXPECT_EQ(host::utf8_string_parse_sockaddr_in(bad, &storage), 0) << bad;
        EXPECT_EQ(v4.sin_family, 0) << bad;
        EXPECT_EQ(v4.sin_addr.s_addr, 0u) << bad;
    }
    for (const char* bad : {"", "1.2.3.4", ":::", "1::2::3", "[::1]"}) {
        std::memset(&storage, 0xAB, sizeof(storage));
        EXPECT_EQ(host::utf8_string_parse_sockaddr_in6(bad, &storage), 0) << bad;
        EXPECT_EQ(v6.sin6_family, 0) << bad;
    }
}

TEST(HostStrings, WhiteSpaceAndSaturatingAddition) {
    for (int byte : {' ', '\t', '\n', '\v', '\f', '\r'}) EXPECT_NE(host::unicode_is_ascii_ws(byte), 0) << byte;
    for (int byte : {int('a'), int('0'), 0, 0xA0, 0x85}) EXPECT_EQ(host::unicode_is_ascii_ws(byte), 0) << byte;
    EXPECT_EQ(host::safe_uintptr_add(2, 3), 5u);
    EXPECT_EQ(host::safe_uintptr_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_EQ(host::safe_uintptr_add(SIZE_MAX, SIZE_MAX), SIZE_MAX);
}

TEST(HostMemory, AllocatorAndCopies) {
    unsigned char* block = static_cast<unsigned char*>(host::mem_calloc(64));
    for (int index = 0; index < 64; ++index) ASSERT_EQ(block[index], 0);
    host::os_copy_memory(block, "abcdef", 6);
    host::os_move_memory(block + 2, block, 4);  // overlapping
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 6), "ababcd");
    host::os_zero_memory(block, 3);
    EXPECT_EQ(block[2], 0);
    EXPECT_EQ(block[3], 'b');
    host::mem_free(block);
    host::mem_free(nullptr);
    void* empty = host::mem_alloc(0);
    EXPECT_NE(empty, nullptr);
    host::mem_free(empty);
}

}  // namespace
