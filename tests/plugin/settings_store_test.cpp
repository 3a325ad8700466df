// Loading and saving the fourteen settings through a recording settings store.
#include <gtest/gtest.h>

#include "plugin/settings.h"
#include "server/server.h"
#include "tests/support/plugin_harness.h"

using namespace test_support;

namespace {

uintptr_t handle_of(RecordingSettingsStore& store) { return reinterpret_cast<uintptr_t>(&store); }

TEST(Settings, FirstLoadFromAnEmptyStoreKeepsEveryDefaultInKeyOrder) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    RecordingSettingsStore store;
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, handle_of(store)), 1u);

    const std::vector<std::string> expected_calls = {
        "get_int enabled",         "get_string welcome_message",
        "get_int port",            "get_string username",
        "get_string password",     "get_string log_file_name",
        "get_int logging_enabled", "get_int log_max_size",
        "get_int log_delta_size",  "get_int allow_file_download",
        "get_string bindings",     "get_int allow_ftp_port",
        "get_int check_ftp_data_connection_ip", "get_int allow_disk_access",
    };
    EXPECT_EQ(store.calls, expected_calls);
    EXPECT_EQ(settings.enabled, 0);
    EXPECT_EQ(settings.port, 21);
    EXPECT_EQ(settings.logging_enabled, 1);
    EXPECT_EQ(settings.log_max_size, 4194304);
    EXPECT_EQ(settings.log_delta_size, 524288);
    EXPECT_EQ(settings.allow_file_download, 1);
    EXPECT_EQ(settings.allow_ftp_port, 1);
    EXPECT_EQ(settings.check_ftp_data_connection_ip, 1);
    EXPECT_EQ(settings.allow_disk_access, 0);
    for (char* text : {settings.welcome_message, settings.username, settings.password, settings.log_file_name,
                       settings.bindings}) {
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(server_instance, nullptr);
}

TEST(Settings, SaveWritesAllFourteenKeysInOrderWithTheCurrentValues) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    RecordingSettingsStore stored;
    stored.integers = {{"port", 2121},           {"logging_enabled", 0},       {"log_max_size", -5},
                       {"log_delta_size", 1000}, {"allow_file_download", 0},   {"allow_ftp_port", 0},
                       {"check_ftp_data_connection_ip", 0}, {"allow_disk_access", 1}};
    stored.strings = {{"welcome_message", "Hi%nthere"}, {"username", "alice"}, {"password", "s3cret"},
                      {"log_file_name", "ftp.log"},     {"bindings", "127.0.0.1,::1"}};
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, handle_of(stored)), 1u);

    RecordingSettingsStore target;
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_SAVE_SETTINGS, handle_of(target)), 1u);
    const std::vector<std::string> expected = {
        "set_int enabled=0",
        "set_string welcome_message=Hi%nthere",
        "set_int port=2121",
        "set_string username=alice",
        "set_string password=s3cret",
        "set_string log_file_name=ftp.log",
        "set_int logging_enabled=0",
        "set_int log_max_size=-5",
        "set_int log_delta_size=1000",
        "set_int allow_file_download=0",
        "set_string bindings=127.0.0.1,::1",
        "set_int allow_ftp_port=0",
        "set_int check_ftp_data_connection_ip=0",
        "set_int allow_disk_access=1",
    };
    EXPECT_EQ(target.calls, expected);
    // Saving changes nothing on the plug-in's side.
    EXPECT_EQ(settings.port, 2121);
    EXPECT_STREQ(settings.bindings, "127.0.0.1,::1");
}

TEST(Settings, LoadingTwiceReplacesEveryStringAndLeaksNothing) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    RecordingSettingsStore first;
    first.strings = {{"welcome_message", "one"}, {"username", "u1"}, {"password", "p1"},
                     {"log_file_name", "l1"},    {"bindings", "127.0.0.1"}};
    RecordingSettingsStore second;
    second.strings = {{"welcome_message", "two"}, {"username", "u2"}, {"password", "p2"},
                      {"log_file_name", "l2"},    {"bindings", "::1"}};
    second.integers = {{"port", 0}};

    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, handle_of(first)), 1u);
    EXPECT_STREQ(settings.username, "u1");
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, handle_of(second)), 1u);
    EXPECT_STREQ(settings.welcome_message, "two");
    EXPECT_STREQ(settings.username, "u2");
    EXPECT_STREQ(settings.password, "p2");
    EXPECT_STREQ(settings.log_file_name, "l2");
    EXPECT_STREQ(settings.bindings, "::1");
    EXPECT_EQ(settings.port, 0);

    // Exactly the five current strings are alive, and freeing them leaves nothing behind.
    EXPECT_EQ(recording().live_blocks.size(), 5u);
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_UNINIT, 0), 1u);
    EXPECT_TRUE(recording().live_blocks.empty());
    EXPECT_EQ(settings.bindings, nullptr);
    // The session's own uninitialisation must not free anything twice.
    lookup_reset();
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_INIT, reinterpret_cast<uintptr_t>(&lookup)), 1u);
}

}  // namespace
