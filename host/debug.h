// The host's debug console: stderr.
#pragma once

namespace host {

// Whether stderr is a console (progress lines are shown only then).
bool debug_stderr_is_console();

// Switches the verbose traces on (--verbose) or off.
void debug_set_verbose(bool on);

}  // namespace host
