// The growable text buffers and the ANSI conversion.
#include <gtest/gtest.h>

#include <string>

#include "tests/host/host_test_support.h"

namespace {

TEST(HostTextBuffers, InitPointsAtTheInlineBytesAndKillResets) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    EXPECT_EQ(buffer.text, buffer.inline_bytes);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.text[0], '\0');
    std::string big(1000, 'b');
    host::utf8_buf_copy_utf8_string(&buffer, big.c_str());
    EXPECT_NE(buffer.text, buffer.inline_bytes);
    EXPECT_EQ(buffer_text(buffer), big);
    EXPECT_GE(buffer.capacity, 1001u);
    host::utf8_buf_kill(&buffer);
    EXPECT_EQ(buffer.text, buffer.inline_bytes);
    host::utf8_buf_kill(&buffer);  // a second kill is harmless
}

TEST(HostTextBuffers, WritersReplaceTheContent) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_printf(&buffer, "%s-%d", "first", 1);
    host::utf8_buf_printf(&buffer, "%d", 2);
    EXPECT_EQ(buffer_text(buffer), "2");
    host::utf8_buf_copy_utf8_string_n(&buffer, "abcdef", 3);
    EXPECT_EQ(buffer_text(buffer), "abc");
    host::utf8_buf_copy_utf8_string(&buffer, "");
    EXPECT_EQ(buffer.length, 0u);
    host::utf8_buf_kill(&buffer);
}

TEST(HostTextBuffers, ArgumentsMayBeTheBuffersOwnText) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_copy_utf8_string(&buffer, "abc");
    host::utf8_buf_printf(&buffer, "%s/%s", buffer.text, buffer.text);
    EXPECT_EQ(buffer_text(buffer), "abc/abc");
    host::utf8_buf_copy_utf8_string(&buffer, buffer.text + 4);
    EXPECT_EQ(buffer_text(buffer), "abc");
    std::string big(600, 'x');
    host::utf8_buf_copy_utf8_string(&buffer, big.c_str());
    host::utf8_buf_printf(&buffer, "%s%s", buffer.text, buffer.text);
    EXPECT_EQ(buffer_text(buffer), big + big);
    host::utf8_buf_kill(&buffer);
}

TEST(HostTextBuffers, GrowLengthLeavesRoomForTheCallersBytes) {
    Utf8Buf buffer;
    host::utf8_buf_init(&buffer);
    host::utf8_buf_grow_length(&buffer, 700);
    EXPECT_EQ(buffer.length, 700u);
    EXPECT_GE(buffer.capacity, 701u);
    EXPECT_EQ(buffer.text[700], '\0');
    for (size_t index = 0; index < 700; ++index) buffer.text[index] = 'w';
    EXPECT_EQ(buffer_text(buffer), std::string(700, 'w'));
    host::utf8_buf_kill(&buffer);
}

std::string ansi(const char* text) {
    AnsiBuf buffer;
    host::ansi_buf_init(&buffer);
    host::ansi_buf_copy_utf8_string(&buffer, text);
    std::string bytes(buffer.text, buffer.length);
    EXPECT_EQ(buffer.text[buffer.length], '\0');
    host::ansi_buf_kill(&buffer);
    return bytes;
}

TEST(HostTextBuffers, AnsiBuffersHoldWindows1252) {
    EXPECT_EQ(ansi("plain.txt"), "plain.txt");
    EXPECT_EQ(ansi("caf\xc3\xa9 \xc3\xbf"), "caf\xe9 \xff");
    EXPECT_EQ(ansi("\xe2\x82\xac \xe2\x80\x9cq\xe2\x80\x9d \xc5\x93"), "\x80 \x93q\x94 \x9c");
    EXPECT_EQ(ansi("\xe6\x97\xa5\xe6\x9c\xac"), "??");          // no CJK in the code page
    EXPECT_EQ(ansi("\xf0\x9f\x98\x80!"), "?!");                  // nor emoji
    EXPECT_EQ(ansi("a\xff" "b\xc3"), "a?b?");                    // broken UTF-8 bytes
    EXPECT_EQ(ansi("\xc0\xaf"), "??");                           // an overlong form is no slash
    std::string long_text(3000, 'L');
    EXPECT_EQ(ansi(long_text.c_str()), long_text);
}

}  // namespace
