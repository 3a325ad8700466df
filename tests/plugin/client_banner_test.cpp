// The welcome banner built from the welcome message: both passes, as an input/output table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/services.h"
#include "plugin/host_services.h"
#include "server/client.h"

namespace {

std::string host_version() {
    Utf8Buf text;
    host::utf8_buf_init(&text);
    host::version_get_text(&text);
    std::string version(text.text, text.length);
    host::utf8_buf_kill(&text);
    return version;
}

// Measures, then writes into a buffer one byte longer than measured with a guard byte after it.
std::string banner(const std::string& message) {
    size_t length = welcome_format(nullptr, message.c_str());
    std::vector<char> out(length + 2, '#');
    size_t written = welcome_format(out.data(), message.c_str());
    EXPECT_EQ(written, length) << "for " << message;
    EXPECT_EQ(out[length], '\0') << "for " << message;
    EXPECT_EQ(out[length + 1], '#') << "wrote past the terminator for " << message;
    return std::string(out.data(), length);
}

struct BannerCase {
    const char* message;
    std::string expected;
};

class ControlBanner : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(host_services_bind(host::lookup_service), 1); }
};

TEST_F(ControlBanner, MessagesExpandLineByLine) {
    const std::string v = host_version();
    const BannerCase cases[] = {
        {"", "220 Welcome to Sorrelwick SWP/FTP\r\n"},
        {"Hello", "220 Hello\r\n"},
        {"Hello%nthere", "220-Hello\r\n220 there\r\n"},
        {"a%nb%nc", "220-a\r\n220-b\r\n220 c\r\n"},
        {"Bye%n", "220-Bye\r\n220 \r\n"},
        {"%n", "220-\r\n220 \r\n"},
        {"100%% sure", "220 100% sure\r\n"},
        {"%%n is not a break", "220 %n is not a break\r\n"},
        {"%%%n", "220-%\r\n220 \r\n"},
        {"one\r\ntwo\n", "220 onetwo\r\n"},
        {"Server %v ready", "220 Server " + v + " ready\r\n"},
        {"%v%n%v", "220-" + v + "\r\n220 " + v + "\r\n"},
        {"odd %x pair", "220 odd  pair\r\n"},
        {"trailing %", "220 trailing \r\n"},
        {"%", "220 \r\n"},
        {"%\n%n", "220-\r\n220 \r\n"},  // "%" and the LF after it drop together
        {"caf\xc3\xa9", "220 caf\xc3\xa9\r\n"},
    };
    for (const BannerCase& c : cases) {
        EXPECT_EQ(banner(c.message), c.expected) << "message " << c.message;
    }
}

TEST_F(ControlBanner, NullMessageIsTheDefault) {
    EXPECT_EQ(welcome_format(nullptr, nullptr), std::string("220 Welcome to Sorrelwick SWP/FTP\r\n").size());
}

}  // namespace
