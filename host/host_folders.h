// Where swp-host keeps its state and settings and finds its plug-in on this machine. Each platform
// has its own answers (host_folders_posix.cpp, host_folders_windows.cpp).
#pragma once

#include <string>

namespace host {

// The folder of the host's own files (the default activity log lives below it):
// $XDG_STATE_HOME/swp-host (else ~/.local/state/swp-host), or %LOCALAPPDATA%\swp-host on Windows.
std::string local_app_data_folder();

// The settings file when --settings names none: $XDG_CONFIG_HOME/swp-host/settings.ini (else
// ~/.config/swp-host/settings.ini), or %LOCALAPPDATA%\swp-host\settings.ini on Windows.
std::string default_settings_path();

// The saved index when --index-file names none: $XDG_CACHE_HOME/swp-host/index (else
// ~/.cache/swp-host/index), or %LOCALAPPDATA%\swp-host\index on Windows.
std::string default_index_file_path();

// The plug-in: libswp.so beside the executable, else where an installation puts it; swp.dll beside
// the executable on Windows.
std::string default_plugin_path();

// How --help names the defaults above, how the host is stopped, and the files it uses.
extern const char HOST_FOLDERS_HELP_SETTINGS[];
extern const char HOST_FOLDERS_HELP_INDEX_FILE[];
extern const char HOST_FOLDERS_HELP_PLUGIN[];
extern const char HOST_FOLDERS_HELP_STOP[];
extern const char HOST_FOLDERS_HELP_FILES[];

}  // namespace host
