// Shows the plug-in's options page without a window system: creates it from the current
// settings, lays it out and draws it as an SVG picture.
#pragma once

#include <string>

#include "sdk/sorrelwick_plugin.h"

namespace host {

// Runs messages 13 and 16 of `plugin` on a page of width x height pixels (96 per inch) and writes
// the drawing to svg_path. false with a message in *error when the file cannot be written.
bool options_page_render_svg(SorrelwickPluginProc plugin, const std::string& svg_path, int width, int height,
                             std::string* error);

}  // namespace host
