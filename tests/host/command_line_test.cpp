// swp-host's options.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/command_line.h"

namespace {

using Overrides = std::vector<std::pair<std::string, std::string>>;

host::CommandLine parsed(const std::vector<std::string>& arguments) {
    host::CommandLine command_line;
    std::string error;
    EXPECT_TRUE(host::command_line_parse(arguments, &command_line, &error)) << error;
    return command_line;
}

std::string refused(const std::vector<std::string>& arguments) {
    host::CommandLine command_line;
    std::string error;
    EXPECT_FALSE(host::command_line_parse(arguments, &command_line, &error));
    return error;
}

TEST(HostCommandLine, OptionsBecomeSettingOverridesInOrder) {
    host::CommandLine command_line = parsed({"--port", "0", "--bind", "127.0.0.1,::1", "--user", "u", "--password",
                                             "p w", "--no-log", "--no-download", "--disk-access",
                                             "--set", "welcome_message=Hi%nthere", "--set=log_max_size=1000"});
    EXPECT_EQ(command_line.setting_overrides,
              (Overrides{{"port", "0"}, {"bindings", "127.0.0.1,::1"}, {"username", "u"}, {"password", "p w"},
                         {"logging_enabled", "0"}, {"allow_file_download", "0"}, {"allow_disk_access", "1"},
                         {"welcome_message", "Hi%nthere"}, {"log_max_size", "1000"}}));
    EXPECT_TRUE(command_line.roots.empty());
    EXPECT_TRUE(command_line.folder_sizes);
}

TEST(HostCommandLine, TheLogFileIsMadeAbsolute) {
    host::CommandLine command_line = parsed({"--log", "activity.log"});
    ASSERT_EQ(command_line.setting_overrides.size(), 1u);
    EXPECT_EQ(command_line.setting_overrides[0].second,
              (std::filesystem::current_path() / "activity.log").string());
}

TEST(HostCommandLine, IndexRootsWithAndWithoutNames) {
    host::CommandLine command_line = parsed({"--index", "/srv/share=share", "--index", "/home/u/Music/",
                                             "--index=/data/x=y=z", "--no-folder-sizes"});
    ASSERT_EQ(command_line.roots.size(), 3u);
    EXPECT_EQ(command_line.roots[0].folder, "/srv/share");
    EXPECT_EQ(command_line.roots[0].name, "share");
    EXPECT_EQ(command_line.roots[1].folder, "/home/u/Music");
    EXPECT_EQ(command_line.roots[1].name, "Music");
    EXPECT_EQ(command_line.roots[2].folder, "/data/x=y");
    EXPECT_EQ(command_line.roots[2].name, "z");
    EXPECT_FALSE(command_line.folder_sizes);

    host::IndexRoot root;
    std::string error;
    ASSERT_TRUE(host::index_root_parse(".", &root, &error));
    EXPECT_EQ(root.folder, std::filesystem::current_path().string());
    EXPECT_EQ(root.name, std::filesystem::current_path().filename().string());
}

TEST(HostCommandLine, ModesAndTheirValues) {
    host::CommandLine command_line = parsed({"--options-page", "page.svg", "--width", "640", "--height", "480",
                                             "--settings", "s.ini", "--plugin", "lib.so", "--verbose"});
    EXPECT_EQ(command_line.options_page_path, "page.svg");
    EXPECT_EQ(command_line.options_page_width, 640);
    EXPECT_EQ(command_line.options_page_height, 480);
    EXPECT_EQ(command_line.settings_path, "s.ini");
    EXPECT_EQ(command_line.plugin_path, "lib.so");
    EXPECT_TRUE(command_line.verbose);
    EXPECT_TRUE(parsed({"--help"}).help);
    EXPECT_TRUE(parsed({"-h"}).help);
    EXPECT_TRUE(parsed({"--version"}).version);
    EXPECT_TRUE(parsed({"--manual-page"}).manual_page);
    host::CommandLine tracing = parsed({"--debug"});
    EXPECT_TRUE(tracing.debug);
    EXPECT_FALSE(tracing.verbose);
}

TEST(HostCommandLine, PassivePortRanges) {
    EXPECT_FALSE(parsed({}).passive_ports.has_value());
    host::CommandLine one = parsed({"--passive-ports", "40000-40000"});
    ASSERT_TRUE(one.passive_ports.has_value());
    EXPECT_EQ(one.passive_ports->first, 40000);
    EXPECT_EQ(one.passive_ports->last, 40000);
    EXPECT_EQ(parsed({"--passive-ports=1-65535"}).passive_ports->last, 65535);
    for (const char* bad : {"", "5000", "5000-", "-5000", "6000-5000", "0-100", "100-65536", "+1-2", "1-+2", "a-b"})
        EXPECT_NE(refused({"--passive-ports", bad}).find("--passive-ports needs a range"), std::string::npos) << bad;
}

TEST(HostCommandLine, BadOptionsAndValuesAreRefusedWithAReason) {
    EXPECT_NE(refused({"--port", "70000"}).find("70000"), std::string::npos);
    EXPECT_NE(refused({"--port", "-1"}).find("--port"), std::string::npos);
    EXPECT_NE(refused({"--port", "21x"}).find("--port"), std::string::npos);
    EXPECT_NE(refused({"--port"}).find("needs a value"), std::string::npos);
    EXPECT_NE(refused({"--frobnicate"}).find("unknown option --frobnicate"), std::string::npos);
    EXPECT_NE(refused({"stray"}).find("stray"), std::string::npos);
    EXPECT_NE(refused({"--verbose=1"}).find("takes no value"), std::string::npos);
    EXPECT_NE(refused({"--set", "colour=blue"}).find("colour"), std::string::npos);
    EXPECT_NE(refused({"--set", "port"}).find("KEY=VALUE"), std::string::npos);
    EXPECT_NE(refused({"--set", "allow_ftp_port=yes"}).find("whole number"), std::string::npos);
    EXPECT_EQ(refused({"--set", "port=99999"}), "--set port=99999: port must be a whole number from 0 to 65535, not \"99999\"");
    EXPECT_NE(refused({"--width", "0"}).find("--width"), std::string::npos);
    EXPECT_NE(refused({"--index", "/srv/x="}).find("empty"), std::string::npos);
    EXPECT_NE(refused({"--index", "/srv/x=a\\b"}).find("cannot name"), std::string::npos);
}

TEST(HostCommandLine, HelpAndManualPageDocumentEveryOptionAndKey) {
    std::string help = host::command_line_help();
    std::string manual = host::command_line_manual_page("9.8");
    EXPECT_EQ(manual.rfind(".TH SWP-HOST 1 \"\" \"swp-host 9.8\"", 0), 0u);
    for (const host::CommandLineOption& option : host::command_line_options()) {
        EXPECT_NE(help.find(std::string(" ") + option.name + (option.value_name ? " " : "")), std::string::npos) << option.name;
        std::string roff_name;
        for (const char* at = option.name; *at; ++at) roff_name += *at == '-' ? std::string("\\-") : std::string(1, *at);
        EXPECT_NE(manual.find("\\fB" + roff_name + "\\fR"), std::string::npos) << option.name;
    }
    EXPECT_NE(help.find("-h, --help"), std::string::npos);
    for (const char* key : {"check_ftp_data_connection_ip", "allow_disk_access"}) {
        EXPECT_NE(help.find(key), std::string::npos) << key;
        EXPECT_NE(manual.find(key), std::string::npos) << key;
    }
}

}  // namespace
