// Shows the plug-in's options page without a window system: creates it from the current
// settings, lays it out and draws it as an SVG picture.
#pragma once

#include <string>

#include "sdk/sorrelwick_plugin.h"

namespace host {

class SettingsStore;

// Runs messages 13 and 16 of `plugin` on a page of width x height pixels (96 per inch) and writes
// the drawing to svg_path. With server_enabled the page's server checkbox is ticked after the page
// is created, as a user would tick it. false with a message in *error when the file cannot be
// written.
bool options_page_render_svg(SorrelwickPluginProc plugin, const std::string& svg_path, int width, int height,
                             std::string* error, bool server_enabled = false);

// Draws the page of an initialised plug-in with the store's settings, and ends the plug-in
// (messages 9 and 10). The server is not started: the plug-in is given its settings with the
// server disabled, and the page shows the store's own value.
bool options_page_draw(SorrelwickPluginProc plugin, SettingsStore* store, const std::string& svg_path, int width,
                       int height, std::string* error);

}  // namespace host
