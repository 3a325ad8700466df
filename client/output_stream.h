// Standard output through one buffer, written out when it fills and when the caller flushes (after
// each page of results), so that printing costs a write per 64 KiB and not per line.
#pragma once

#include <string>
#include <string_view>

#include "sdk/platform_api.h"

namespace client {

struct OutputStream {
    std::string buffer;
    bool failed = false;
    DWORD error = 0;  // the Win32 error of the write that failed
};

void output_write(OutputStream* out, std::string_view text);
// False once any write failed; nothing more is written after a failure.
bool output_flush(OutputStream* out);

// Whether the failure is a reader that went away (a pipe into head): no message then.
bool output_reader_gone(const OutputStream& out);

}  // namespace client
