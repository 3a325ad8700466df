// Where swp-host keeps its files on Linux: the XDG base folders, and the plug-in beside the
// executable.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "host/host_folders.h"

namespace host {
namespace {

// An XDG variable counts only when it holds an absolute path.
std::string environment_folder(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string home_folder() {
    std::string home = environment_folder("HOME");
    return home.empty() ? std::string("/tmp") : home;
}

}  // namespace

const char HOST_FOLDERS_HELP_SETTINGS[] = "$XDG_CONFIG_HOME/swp-host/settings.ini";
const char HOST_FOLDERS_HELP_INDEX_FILE[] = "$XDG_CACHE_HOME/swp-host/index";
const char HOST_FOLDERS_HELP_PLUGIN[] = "libswp.so beside swp-host, else in ../lib/swp-host";
const char HOST_FOLDERS_HELP_STOP[] = "stops cleanly on SIGINT or SIGTERM; SIGHUP reads every indexed folder again.";
const char HOST_FOLDERS_HELP_FILES[] =
    "$XDG_CONFIG_HOME/swp-host/settings.ini (default config home: ~/.config): the settings.\n\n"
    "$XDG_STATE_HOME/swp-host/Logs/SWP_Server_Log.txt (default state home: ~/.local/state): the activity "
    "log, unless --log or the log_file_name setting names another file.\n\n"
    "$XDG_CACHE_HOME/swp-host/index (default cache home: ~/.cache): the saved index, readable by its owner "
    "only, unless --index-file names another file.\n\n"
    "/etc/swp-host/settings.ini: the settings of the swp-host service, whose activity log is "
    "/var/lib/swp-host/Logs/SWP_Server_Log.txt and whose console lines go to the journal.";

std::string local_app_data_folder() {
    std::string state = environment_folder("XDG_STATE_HOME");
    if (state.empty()) state = home_folder() + "/.local/state";
    return state + "/swp-host";
}

std::string default_settings_path() {
    std::string config = environment_folder("XDG_CONFIG_HOME");
    if (config.empty()) config = home_folder() + "/.config";
    return config + "/swp-host/settings.ini";
}

std::string default_index_file_path() {
    std::string cache = environment_folder("XDG_CACHE_HOME");
    if (cache.empty()) cache = home_folder() + "/.cache";
    return cache + "/swp-host/index";
}

// libswp.so beside the executable (a build folder), else where an installation puts it.
std::string default_plugin_path() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "libswp.so";
    std::filesystem::path beside = self.parent_path() / "libswp.so";
    if (std::filesystem::exists(beside, error)) return beside.string();
    return (self.parent_path().parent_path() / "lib" / "swp-host" / "libswp.so").string();
}

}  // namespace host
