// swp-host --options: the plug-in's options page in a window of the host that serves, with the
// host's OK, Cancel and Apply buttons. Apply (and OK) hands the page's values to the plug-in, which
// applies them to the running server, and writes them to the settings file. Needs a window system:
// on Linux it reports that and --options-page draws the page instead.
#pragma once

#include <string>

#include "host/settings_store.h"
#include "sdk/sorrelwick_plugin.h"

namespace host {

// Whether this machine can show the window; false with the reason in *error.
bool options_window_supported(std::string* error);

// Shows the page at width x height layout units (96 per inch) and runs the message loop until the
// window is closed or WM_QUIT arrives. The plug-in has been started. false with a message in
// *error when the window cannot be shown.
bool options_window_run(SorrelwickPluginProc plugin, SettingsStore* store, int width, int height,
                        std::string* error);

}  // namespace host
