// The settings store: reading, the four setting services, overrides and saving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/services.h"
#include "host/settings_store.h"

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("swp-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "settings.ini").string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string read() const {
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::string get_string(host::SettingsStore* store, const char* key, const char* current) {
        char* value = host::plugin_get_setting_string(store, key, host::utf8_string_alloc_utf8_string(current));
        std::string text = value;
        host::mem_free(value);
        return text;
    }

    std::filesystem::path folder_;
    std::string path_;
};

TEST_F(SettingsFileTest, MissingFileIsAnEmptyStoreAndGetsGiveTheCurrentValues) {
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 21), 21);
    EXPECT_EQ(get_string(&store, "bindings", "kept"), "kept");
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path_));  // nothing changed, nothing written
}

TEST_F(SettingsFileTest, ValuesSurviveASaveAndALoad) {
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    host::plugin_set_setting_int(&store, "port", 2121);
    host::plugin_set_setting_string(&store, "welcome_message", "  Hi%nthere \"friend\"  ");
    host::plugin_set_setting_string(&store, "bindings", "127.0.0.1,::1");
    host::plugin_set_setting_string(&store, "log_file_name", "line\nbreak\\tab\t");
    host::plugin_set_setting_int(&store, "log_max_size", -5);
    host::plugin_set_setting_int(&store, "port", 99999);  // refused by the reader, so not kept
    ASSERT_TRUE(store.save(&error)) << error;

    host::SettingsStore again;
    ASSERT_TRUE(again.load(path_, &error)) << error;
    EXPECT_EQ(host::plugin_get_setting_int(&again, "port", 21), 2121);
    EXPECT_EQ(host::plugin_get_setting_int(&again, "log_max_size", 0), -5);
    EXPECT_EQ(get_string(&again, "welcome_message", ""), "  Hi%nthere \"friend\"  ");
    EXPECT_EQ(get_string(&again, "bindings", ""), "127.0.0.1,::1");
    EXPECT_EQ(get_string(&again, "log_file_name", ""), "line\nbreak\\tab\t");
    EXPECT_EQ(read().substr(0, 20), "[swp]\nport=2121\nwelc");
    EXPECT_EQ(std::filesystem::status(path_).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(SettingsFileTest, OtherSectionsAndCommentsAreKept) {
    write("; settings of this machine\n[host]\n; no folders\n\n[swp]\n# the port\nport=21\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 0), 21);
    host::plugin_set_setting_int(&store, "port", 2100);
    host::plugin_set_setting_int(&store, "enabled", 0);
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "; settings of this machine\n[host]\n; no folders\n\n[swp]\n# the port\nport=2100\nenabled=0\n");
}

TEST_F(SettingsFileTest, OverridesHoldForTheRunAndAreNeverWrittenBack) {
    write("[swp]\nport=2121\nusername=alice\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    ASSERT_TRUE(store.set_override("port", "0", &error));
    ASSERT_TRUE(store.set_override("enabled", "1", &error));
    ASSERT_TRUE(store.set_override("welcome_message", "Hi", &error));
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 21), 0);
    EXPECT_EQ(get_string(&store, "welcome_message", ""), "Hi");
    // The plug-in saves what it holds: the overridden values echo back and change nothing.
    host::plugin_set_setting_int(&store, "enabled", 1);
    host::plugin_set_setting_int(&store, "port", 0);
    host::plugin_set_setting_string(&store, "welcome_message", "Hi");
    host::plugin_set_setting_string(&store, "username", "alice");
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "[swp]\nport=2121\nusername=alice\n");
    // A value that differs from the override is the user's own change: it is kept.
    host::plugin_set_setting_int(&store, "port", 990);
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 21), 990);
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "[swp]\nport=990\nusername=alice\n");
}

TEST_F(SettingsFileTest, OverridesAreChecked) {
    host::SettingsStore store;
    std::string error;
    EXPECT_FALSE(store.set_override("no_such_key", "1", &error));
    EXPECT_NE(error.find("no_such_key"), std::string::npos);
    EXPECT_FALSE(store.set_override("port", "twenty", &error));
    EXPECT_FALSE(store.set_override("port", "99999", &error));
    EXPECT_EQ(error, "port must be a whole number from 0 to 65535, not \"99999\"");
    EXPECT_TRUE(store.set_override("bindings", "", &error));
}

TEST_F(SettingsFileTest, ABadFileNamesItsLineAndIsLeftAlone) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"[swp]\nport=21\nthis is no setting\n", 3},
        {"[swp\nport=21\n", 1},
        {"[swp]\nport=twenty-one\n", 2},
        {"[swp]\n\n\nwelcome_message=\"open\n", 4},
        {"[swp]\nbindings=\"a\\qb\"\n", 2},
        {"[swp]\n=5\n", 2},
        {"[swp]\nenabled=1\nport=99999\n", 3},
        {"[swp]\nport=65536\n", 2},
        {"[swp]\nport=-1\n", 2},
        {"[host]\nindex=relative/folder\n", 2},
        {"[host]\nindex=/srv/x=\n", 2},
        {"[host]\npassive_ports=60000-50000\n", 2},
        {"[host]\n\npassive_ports=0-10\n", 3},
        {"[host]\npassive_ports=50000\n", 2},
        {"[swp]\nport=21\nprot=3161\n", 3},
        {"[swpp]\nport=21\n", 1},
        {"port=21\n[swp]\n", 1},
        {"[host]\nfolder=/srv\n", 2},
    };
    for (const Case& c : cases) {
        write(c.text);
        host::SettingsStore store;
        std::string error;
        EXPECT_FALSE(store.load(path_, &error)) << c.text;
        EXPECT_EQ(error.rfind(path_ + ":" + std::to_string(c.line) + ": ", 0), 0u) << error;
        EXPECT_EQ(read(), c.text);
    }
}

TEST_F(SettingsFileTest, WindowsLineEndsAndAByteOrderMarkAreRead) {
    write("\xEF\xBB\xBF[swp]\r\nport=2121\r\nbindings = 127.0.0.1 \r\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 21), 2121);
    EXPECT_EQ(get_string(&store, "bindings", ""), "127.0.0.1");
}

// A misspelt key or section would leave its setting at the default (port 21, every address, no
// password): it stops the start, naming the nearest known name.
TEST_F(SettingsFileTest, UnknownKeysAndSectionsNameTheNearestKnownName) {
    struct Case {
        const char* text;
        const char* problem;
    };
    const Case cases[] = {
        {"[swp]\nprot=3161\n", ":2: unknown setting \"prot\" in [swp]: did you mean port?"},
        {"[swp]\nPassword=x\n", ":2: unknown setting \"Password\" in [swp]: did you mean password?"},
        {"[swp]\ncolour=blue\n", ":2: unknown setting \"colour\" in [swp] (swp-host --help lists the settings)"},
        {"[swpp]\n", ":1: unknown section [swpp]: did you mean [swp]?"},
        {"[other]\n", ":1: unknown section [other]: the sections are [swp] and [host]"},
        {"[host]\nidnex=/srv\n", ":2: unknown setting \"idnex\" in [host]: did you mean index?"},
        {"bindings=\n", ":1: setting \"bindings\" comes before any section: it belongs under [swp]"},
    };
    for (const Case& c : cases) {
        write(c.text);
        host::SettingsStore store;
        std::string error;
        EXPECT_FALSE(store.load(path_, &error)) << c.text;
        EXPECT_EQ(error, path_ + c.problem);
    }
}

TEST_F(SettingsFileTest, AKeyGivenAgainIsReportedOnceAndItsFirstValueCounts) {
    write("[swp]\nport=+7\nport=8\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    EXPECT_EQ(host::plugin_get_setting_int(&store, "port", 0), 7);
    EXPECT_EQ(host::plugin_get_setting_int(nullptr, "port", 5), 5);
    EXPECT_EQ(store.warnings(), (std::vector<std::string>{path_ + ":3: port is given again; the first value counts"}));
    host::plugin_set_setting_int(&store, "port", 9);
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "[swp]\nport=9\nport=8\n");
}

// Only a regular file of a few MiB is read: a pipe would hold the start, a device fill the memory.
TEST_F(SettingsFileTest, OnlyARegularFileOfAFewMiBIsRead) {
    std::string fifo = (folder_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string problem;
    };
    const Case cases[] = {
        {fifo, fifo + ": cannot be read: it is a pipe, not a file"},
        {"/dev/zero", "/dev/zero: cannot be read: it is a device, not a file"},
        {folder_.string(), folder_.string() + ": cannot be read: it is a folder"},
        {path_, path_ + ": cannot be read: it is larger than 4 MiB, too large for a settings file"},
    };
    write("[swp]\n" + std::string(4u << 20, ';'));
    for (const Case& c : cases) {
        host::SettingsStore store;
        std::string error;
        EXPECT_FALSE(store.load(c.path, &error)) << c.path;
        EXPECT_EQ(error, c.problem);
    }
    write("[swp]\n" + std::string((4u << 20) - 7, ';'));
    host::SettingsStore store;
    std::string error;
    EXPECT_TRUE(store.load(path_, &error)) << error;  // 4 MiB exactly
}

TEST_F(SettingsFileTest, TheHostSectionNamesTheFoldersToIndexAndThePassivePorts) {
    write("[host]\nindex=/srv/music\npassive_ports=50000-50999\nindex=/srv/share=public\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    ASSERT_TRUE(store.passive_ports().has_value());
    EXPECT_EQ(store.passive_ports()->first, 50000);
    EXPECT_EQ(store.passive_ports()->last, 50999);
    ASSERT_EQ(store.index_roots().size(), 2u);
    EXPECT_EQ(store.index_roots()[0].folder, "/srv/music");
    EXPECT_EQ(store.index_roots()[0].name, "music");
    EXPECT_EQ(store.index_roots()[1].folder, "/srv/share");
    EXPECT_EQ(store.index_roots()[1].name, "public");
    EXPECT_TRUE(store.warnings().empty());
}

// The plug-in stores every value at exit; only a value that differs from the one it was given is a
// change, so a run that changed nothing never creates or rewrites the file.
TEST_F(SettingsFileTest, StoringBackTheGivenValuesChangesNothing) {
    write("[swp]\nport=+0021\n");
    host::SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.load(path_, &error)) << error;
    int32_t port = host::plugin_get_setting_int(&store, "port", 2121);
    int32_t size = host::plugin_get_setting_int(&store, "log_max_size", 4194304);
    std::string name = get_string(&store, "username", "");
    // No log file named: the plug-in is given the default one, which the options page then shows.
    std::string log = get_string(&store, "log_file_name", "");
    Utf8Buf default_log;
    host::utf8_buf_init(&default_log);
    host::os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", &default_log);
    EXPECT_EQ(log, default_log.text);
    host::utf8_buf_kill(&default_log);
    host::plugin_set_setting_int(&store, "port", port);
    host::plugin_set_setting_int(&store, "log_max_size", size);
    host::plugin_set_setting_string(&store, "username", name.c_str());
    host::plugin_set_setting_string(&store, "log_file_name", log.c_str());
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "[swp]\nport=+0021\n");
    host::plugin_set_setting_string(&store, "username", "bob");
    host::plugin_set_setting_int(&store, "log_max_size", size);
    ASSERT_TRUE(store.save(&error)) << error;
    EXPECT_EQ(read(), "[swp]\nport=+0021\nusername=bob\n");
}

TEST(SettingsKeys, TheFourteenKeysInTheirOrder) {
    const char* expected[] = {"enabled", "welcome_message", "port", "username", "password", "log_file_name",
                              "logging_enabled", "log_max_size", "log_delta_size", "allow_file_download",
                              "bindings", "allow_ftp_port", "check_ftp_data_connection_ip", "allow_disk_access"};
    for (int index = 0; index < 14; ++index) EXPECT_STREQ(host::SETTINGS_KEYS[index].name, expected[index]);
    EXPECT_EQ(host::settings_parse_integer("-2147483648"), INT32_MIN);
    EXPECT_FALSE(host::settings_parse_integer("2147483648"));
    EXPECT_FALSE(host::settings_parse_integer("1 "));
    EXPECT_FALSE(host::settings_parse_integer("-"));
}

}  // namespace
