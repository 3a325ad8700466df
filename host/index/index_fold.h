// Folding: a new base made of one version of the live index, so that the overlay can start empty
// again (index_update.cpp decides when, and replays what changed meanwhile).
#pragma once

#include <atomic>

#include "host/index/index_view.h"

namespace host {

// Every entry the version holds, with its facts and its date recently changed, as a new base in
// name order. Null when `cancel` was raised meanwhile.
IndexSnapshot* index_fold(const IndexView& view, const std::atomic<bool>* cancel);

}  // namespace host
