// Giving freed memory back to the system.
#pragma once

namespace host {

// Asks for the heap to be compacted once the message loop has nothing queued, so that a burst of
// releases (many clients leaving) is followed by one compaction. User-interface thread only.
void memory_compact_when_idle();
bool memory_compact_due();
void memory_compact();

}  // namespace host
