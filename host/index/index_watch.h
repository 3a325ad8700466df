// Following the disk: the folder of each root watched with ReadDirectoryChangesW over its whole
// subtree, read by one thread that hands every change to the updater. This is the seam to the
// system's change notification: on Windows the same calls watch each root natively.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class WatchAction : uint8_t {
    ADDED,
    REMOVED,
    MODIFIED,
    RENAMED_OLD,  // followed by its RENAMED_NEW when the move stayed inside the root
    RENAMED_NEW,
    OVERFLOW,     // changes were lost: the root must be read again
    LOST,         // the root is no longer watched (its folder went away)
};

struct WatchNote {
    uint32_t root;
    WatchAction action;
    std::string path;  // relative to the root's folder, "/"-separated
};

// Takes the notes of one batch; runs on the watching thread.
using WatchSink = void (*)(std::vector<WatchNote>* notes);

// Starts watching the folders and returns once every watch is in place, so that each change made
// from then on is reported. A folder that cannot be watched is named on the console. Once `cancel`
// is raised (and watch_start_cancel() called), no more watches are placed and it returns soon.
void watch_start(const std::vector<std::string>& folders, WatchSink sink, const std::atomic<bool>* cancel);
// Any thread: ends the placing of watches of a watch_start() that runs, after raising its `cancel`.
void watch_start_cancel();
void watch_stop();

// The folders of a root that the system's limit of watches leaves unwatched (their changes are
// not reported): the topmost of them, relative to the root, in *paths, and how many folders they
// hold in *folders. False when the list is incomplete: the whole root must be read instead.
bool watch_unwatched(uint32_t root, std::vector<std::string>* paths, uint32_t* folders);

}  // namespace host
