// The saved index belongs to one swp-host at a time: each run holds a lock on FILE.lock beside it
// (flock on Linux, an open that shares no writing on Windows), which the system releases when the
// process ends, however it ends. The lock file holds the process id of the run that holds it.
// Each platform has its own way (index_lock_posix.cpp, index_lock_windows.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace host {

enum class IndexLockResult {
    TAKEN,    // this run holds the lock until index_lock_release()
    IN_USE,   // another process holds it: *holder is its process id, 0 when it is not known yet
    FAILED,   // the lock file cannot be made (the saved index could not be written either)
};

IndexLockResult index_lock_take(const std::string& index_path, uint32_t* holder);
void index_lock_release();

}  // namespace host
