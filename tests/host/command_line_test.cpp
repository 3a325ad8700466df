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
    ASSERT_TRUE(host::command_line_index_root(".", &root, &error));
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
    EXPECT_TRUE(parsed({"--version"}).version);
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
    EXPECT_NE(refused({"--width", "0"}).find("--width"), std::string::npos);
    EXPECT_NE(refused({"--index", "/srv/x="}).find("empty"), std::string::npos);
    EXPECT_NE(refused({"--index", "/srv/x=a\\b"}).find("cannot name"), std::string::npos);
}

TEST(HostCommandLine, HelpDocumentsEveryOptionAndKey) {
    std::string help = host::command_line_help();
    for (const char* option : {"--index", "--port", "--bind", "--user", "--password", "--log", "--no-log",
                               "--no-download", "--disk-access", "--no-folder-sizes", "--settings", "--plugin",
                               "--verbose", "--options-page", "--width", "--height", "--help", "--version", "--set",
                               "check_ftp_data_connection_ip", "allow_disk_access"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
