// The host's debug console: stderr.
#pragma once

namespace host {

// Switches the verbose traces on (--verbose) or off.
void debug_set_verbose(bool on);

}  // namespace host
