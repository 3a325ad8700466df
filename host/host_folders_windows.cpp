// Where swp-host keeps its files on Windows: %LOCALAPPDATA%\swp-host, and the plug-in beside the
// executable.
#include "host/utf16_windows.h"  // first: the shell headers need <windows.h>

#include <shlobj.h>

#include "host/host_folders.h"

namespace host {
namespace {

std::string known_local_app_data() {
    wchar_t* folder = nullptr;
    std::string text;
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &folder) == S_OK)
        text = utf8_from_utf16(folder);
    CoTaskMemFree(folder);  // also after a failure, as the call asks
    return text;
}

// The folder of swp-host.exe, with its final separator.
std::string executable_folder() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::string();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return utf8_from_utf16(path.substr(0, path.find_last_of(L'\\') + 1));
}

}  // namespace

const char HOST_FOLDERS_HELP_SETTINGS[] = "%LOCALAPPDATA%\\swp-host\\settings.ini";
const char HOST_FOLDERS_HELP_INDEX_FILE[] = "%LOCALAPPDATA%\\swp-host\\index";
const char HOST_FOLDERS_HELP_PLUGIN[] = "swp.dll beside swp-host.exe";
const char HOST_FOLDERS_HELP_STOP[] =
    "stops cleanly on Ctrl+C or when its console window closes; Ctrl+Break reads every indexed folder again.";
const char HOST_FOLDERS_HELP_FILES[] =
    "%LOCALAPPDATA%\\swp-host\\settings.ini: the settings.\n\n"
    "%LOCALAPPDATA%\\swp-host\\Logs\\SWP_Server_Log.txt: the activity log, unless --log or the log_file_name "
    "setting names another file.\n\n"
    "%LOCALAPPDATA%\\swp-host\\index: the saved index, readable by its user only, unless --index-file names "
    "another file.";

std::string local_app_data_folder() {
    std::string folder = known_local_app_data();
    return (folder.empty() ? std::string(".") : folder) + "\\swp-host";
}

std::string default_settings_path() { return local_app_data_folder() + "\\settings.ini"; }

std::string default_index_file_path() { return local_app_data_folder() + "\\index"; }

std::string default_plugin_path() { return executable_folder() + "swp.dll"; }

}  // namespace host
