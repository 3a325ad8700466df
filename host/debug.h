// The host's debug console: stderr.
#pragma once

#include <cstdio>  // the C library's printf dialect, named for the format check

namespace host {

// Whether stderr is a console (progress lines are shown only then).
bool debug_stderr_is_console();

// Writes the host's own console text (a printf format) to stderr in one piece. Every writer of
// stderr goes through here or through the plug-in's echo, so that text from the index's threads and
// the echo never interleave: a C library may write one printf call in several pieces.
void console_printf(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Switches the plug-in's traces (its debug_printf lines) on (--debug) or off; errors, coloured
// echoes and the host's own lines are shown either way.
void debug_set_traces(bool on);

// Whether the plug-in's traces are shown (--debug or --verbose).
bool debug_traces_on();

// Switches the verbose traces on (--verbose) or off; verbose tracing shows the traces too.
void debug_set_verbose(bool on);

}  // namespace host
