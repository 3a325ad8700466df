// The message switch of the entry point, driven through the recording lookup.
#include <gtest/gtest.h>

#include <cstring>

#include "host/services.h"
#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "server/server.h"
#include "tests/support/plugin_harness.h"

using namespace test_support;

namespace {

const char* text_of(uintptr_t result) { return reinterpret_cast<const char*>(result); }

TEST(EntryMessages, UnhandledNumbersReturnZeroAndMessageTwoReturnsOne) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    Settings before = settings;
    for (uint32_t message : {0u, 11u, 18u, 20u, 21u, 100u, 0xFFFFFFFFu}) {
        EXPECT_EQ(sorrelwick_plugin_proc(message, 0x1234), 0u) << message;
    }
    EXPECT_EQ(sorrelwick_plugin_proc(2, 0x1234), 1u);
    EXPECT_EQ(std::memcmp(&before, &settings, sizeof(Settings)), 0);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_TRUE(recording().dialogs.empty());
}

TEST(EntryMessages, InformationTextsAreTheSameBeforeAndAfterStart) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    const uint32_t messages[] = {3, 4, 5, 6, 7};
    uintptr_t before[5];
    for (int i = 0; i < 5; ++i) before[i] = sorrelwick_plugin_proc(messages[i], 0);

    EXPECT_STREQ(text_of(before[2]), "larchmere");
    EXPECT_STREQ(text_of(before[3]), "1.0.1.3");
    // The localised ones are the host's pointers, passed through unchanged.
    EXPECT_EQ(text_of(before[0]), host::localization_get_string(177));
    EXPECT_EQ(text_of(before[1]), host::localization_get_string(2399));
    EXPECT_EQ(text_of(before[4]), host::localization_get_string(2402));

    RecordingSettingsStore store;
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(&store)), 1u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sorrelwick_plugin_proc(messages[i], 0), before[i]) << messages[i];
}

TEST(EntryMessages, AddOptionsPagesPassesTheRecordOnWithTheLocalisedName) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    int host_record = 0;
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_ADD_OPTIONS_PAGES, reinterpret_cast<uintptr_t>(&host_record)), 1u);
    ASSERT_EQ(recording().options_pages.size(), 1u);
    EXPECT_EQ(recording().options_pages[0].record, &host_record);
    EXPECT_EQ(recording().options_pages[0].user_data, 0u);
    EXPECT_EQ(recording().options_pages[0].name, host::localization_get_string(177));
}

TEST(EntryMessages, StartWithServingOffLoadsTheSettingsAndLeavesTheServerStopped) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    RecordingSettingsStore store;
    store.integers["enabled"] = 0;
    store.integers["port"] = 2121;
    store.strings["username"] = "alice";
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(&store)), 1u);
    EXPECT_EQ(store.calls.size(), 14u);
    EXPECT_EQ(settings.port, 2121);
    EXPECT_STREQ(settings.username, "alice");
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_TRUE(recording().dialogs.empty());
}

TEST(EntryMessages, StopWithoutAServerReturnsOneAndLogsNothing) {
    PluginSession session;
    ASSERT_TRUE(session.bound());
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_STOP, 0), 1u);
    EXPECT_EQ(server_instance, nullptr);
    EXPECT_TRUE(recording().color_lines.empty());
}

// A host that lacks one service: the walk stops there.
TEST(EntryMessages, MissingServiceFailsInitialisationAndAllocatesNoStrings) {
    const int missing = 40;  // somewhere in the middle of the table
    const char* missing_name = HOST_SERVICE_SLOTS[missing].name;
    Settings saved = settings;
    for (const HostServiceSlot& entry : HOST_SERVICE_SLOTS) *entry.slot = nullptr;
    settings.welcome_message = settings.username = settings.password = settings.log_file_name =
        settings.bindings = nullptr;

    lookup_reset();
    lookup_hide(missing_name);
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_INIT, reinterpret_cast<uintptr_t>(&lookup)), 0u);

    ASSERT_EQ(recording().looked_up.size(), static_cast<size_t>(missing + 1));
    for (int i = 0; i < SORRELWICK_HOST_SERVICE_COUNT; ++i) {
        EXPECT_EQ(recording().looked_up.size() > static_cast<size_t>(i) ? recording().looked_up[i] : "",
                  i <= missing ? HOST_SERVICE_SLOTS[i].name : "")
            << i;
        if (i < missing) {
            EXPECT_NE(*HOST_SERVICE_SLOTS[i].slot, nullptr) << HOST_SERVICE_SLOTS[i].name;
        } else {
            EXPECT_EQ(*HOST_SERVICE_SLOTS[i].slot, nullptr) << HOST_SERVICE_SLOTS[i].name;
        }
    }
    EXPECT_EQ(settings.welcome_message, nullptr);
    EXPECT_EQ(settings.username, nullptr);
    EXPECT_EQ(settings.password, nullptr);
    EXPECT_EQ(settings.log_file_name, nullptr);
    EXPECT_EQ(settings.bindings, nullptr);
    EXPECT_TRUE(recording().live_blocks.empty());
    settings = saved;
    lookup_reset();
    host_services_bind(&lookup);  // leave the table whole for the tests that follow
}

TEST(EntryMessages, InitialisationAllocatesFiveEmptyStringsInOrder) {
    Settings saved = settings;
    lookup_reset();
    ASSERT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_INIT, reinterpret_cast<uintptr_t>(&lookup)), 1u);
    EXPECT_EQ(recording().looked_up.size(), static_cast<size_t>(SORRELWICK_HOST_SERVICE_COUNT));
    for (char* text : {settings.welcome_message, settings.username, settings.password, settings.log_file_name,
                       settings.bindings}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    // Created in this order, so their addresses were tracked in this order too.
    EXPECT_EQ(recording().live_blocks.size(), 5u);
    EXPECT_EQ(settings.enabled, saved.enabled);
    EXPECT_EQ(settings.port, saved.port);

    // Freed in the reverse order.
    char* expected[] = {settings.bindings, settings.log_file_name, settings.password, settings.username,
                        settings.welcome_message};
    EXPECT_EQ(sorrelwick_plugin_proc(PLUGIN_MSG_UNINIT, 0), 1u);
    ASSERT_EQ(recording().freed_blocks.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(recording().freed_blocks[i], expected[i]) << i;
    EXPECT_TRUE(recording().live_blocks.empty());
    settings = saved;
}

}  // namespace
