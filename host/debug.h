// The host's debug console: stderr.
#pragma once

namespace host {

// Whether stderr is a console (progress lines are shown only then).
bool debug_stderr_is_console();

// Switches the plug-in's traces (its debug_printf lines) on (--debug) or off; errors, coloured
// echoes and the host's own lines are shown either way.
void debug_set_traces(bool on);

// Whether the plug-in's traces are shown (--debug or --verbose).
bool debug_traces_on();

// Switches the verbose traces on (--verbose) or off; verbose tracing shows the traces too.
void debug_set_verbose(bool on);

}  // namespace host
