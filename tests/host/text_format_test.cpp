// The host's printf dialect, conversion by conversion.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/host/host_test_support.h"

namespace {

TEST(PrintfDialect, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ(host_format("%d|%i|%u", -42, 7, 3000000000u), "-42|7|3000000000");
    EXPECT_EQ(host_format("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]");
    EXPECT_EQ(host_format("[%+d][% d][%+d]", 5, 5, -5), "[+5][ 5][-5]");
    EXPECT_EQ(host_format("[%.3d][%8.3d][%-8.3d|]", 7, -7, 7), "[007][    -007][007     |]");
    EXPECT_EQ(host_format("[%.0d][%5.0d]", 0, 0), "[][     ]");
    EXPECT_EQ(host_format("[%08.3d]", 5), "[     005]");  // precision turns the 0 flag off
    EXPECT_EQ(host_format("%d %d", INT32_MIN, INT32_MAX), "-2147483648 2147483647");
    EXPECT_EQ(host_format("%*d|%-*d|%.*d", 4, 1, 4, 2, 3, 3), "   1|2   |003");
    EXPECT_EQ(host_format("%*d|", -4, 1), "1   |");
}

TEST(PrintfDialect, HexadecimalAndOctal) {
    EXPECT_EQ(host_format("%x %X %o", 255u, 255u, 8u), "ff FF 10");
    EXPECT_EQ(host_format("%#x %#X %#o %#x", 255u, 255u, 8u, 0u), "0xff 0XFF 010 0");
    EXPECT_EQ(host_format("%08x|%#010x", 0xbeefu, 0xbeefu), "0000beef|0x0000beef");
    EXPECT_EQ(host_format("%llx", 0x123456789abcdefull), "123456789abcdef");
}

TEST(PrintfDialect, SizePrefixes) {
    EXPECT_EQ(host_format("%I64u", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(host_format("%I64d", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(host_format("%zu %zd", SIZE_MAX, static_cast<size_t>(-3)), "18446744073709551615 -3");
    EXPECT_EQ(host_format("%lld %llu", -1ll, 1ull << 63), "-1 9223372036854775808");
    EXPECT_EQ(host_format("%ld %lu", -2l, 2ul), "-2 2");
    EXPECT_EQ(host_format("%hd %hhu", 70000, 300), "4464 44");
    EXPECT_EQ(host_format("%I32d %Iu", -1, static_cast<size_t>(9)), "-1 9");
}

TEST(PrintfDialect, TextAndCharacters) {
    EXPECT_EQ(host_format("%s|%5s|%-5s|%.2s", "abc", "ab", "ab", "abc"), "abc|   ab|ab   |ab");
    EXPECT_EQ(host_format("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(host_format("%c%c%3c", 'a', 'b', 'c'), "ab  c");
    EXPECT_EQ(host_format("caf\xc3\xa9 %s", "\xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    // A precision may stop inside text that has no terminator.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(host_format("%.3s", unterminated), "xyz");
}

TEST(PrintfDialect, CountedText) {
    const char* line = "RETR file.txt\r\nNOOP";
    EXPECT_EQ(host_format("[%t]", line, static_cast<size_t>(4)), "[RETR]");
    EXPECT_EQ(host_format("send %zu %t\n", static_cast<size_t>(15), line, static_cast<size_t>(15)),
              "send 15 RETR file.txt\r\n\n");
    EXPECT_EQ(host_format("[%6t]", "ab", static_cast<size_t>(2)), "[    ab]");
    EXPECT_EQ(host_format("[%t]", static_cast<const char*>(nullptr), static_cast<size_t>(0)), "[]");
    // The count, not a terminator, ends the text: zero bytes inside are kept.
    EXPECT_EQ(host_format("%t", "a\0b", static_cast<size_t>(3)), std::string("a\0b", 3));
}

TEST(PrintfDialect, PointersPercentAndUnknownConversions) {
    EXPECT_EQ(host_format("%p", reinterpret_cast<void*>(0x2c)), "000000000000002C");
    EXPECT_EQ(host_format("100%% %d%%", 5), "100% 5%");
    EXPECT_EQ(host_format("%y|%"), "%y|%");
    EXPECT_EQ(host_format("%.1f %5.2f", 2.25, 3.14159), "2.2  3.14");
}

TEST(PrintfDialect, ZeroBytesFromCharactersStayInTheLength) {
    std::string filter = host_format("%s (*.txt)%c*.txt%c%s (*.*)%c*.*%c%c", "Text Files", 0, 0, "All Files", 0, 0, 0);
    const char expected[] = "Text Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0\0";
    EXPECT_EQ(filter, std::string(expected, sizeof(expected) - 1));
}

TEST(PrintfDialect, LongOutputGrowsOntoTheHeap) {
    std::string long_text(5000, 'q');
    EXPECT_EQ(host_format("<%s>", long_text.c_str()), "<" + long_text + ">");
    EXPECT_EQ(host_format("%3000d", 1).size(), 3000u);
}

}  // namespace
