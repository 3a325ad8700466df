// Without a window system there is no options window to show.
#include "host/options_window.h"

namespace host {

bool options_window_supported(std::string* error) {
    *error = "--options needs Windows; --options-page FILE.svg draws the page here";
    return false;
}

bool options_window_run(SorrelwickPluginProc, SettingsStore*, int, int, std::string* error) {
    *error = "--options needs Windows; --options-page FILE.svg draws the page here";
    return false;
}

}  // namespace host
