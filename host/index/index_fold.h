// Folding: a new base made of one version of the live index, so that the overlay can start empty
// again (index_update.cpp decides when, and replays what changed meanwhile).
#pragma once

#include <atomic>

#include "host/index/index_view.h"

namespace host {

// Every entry the version holds, with its facts and its date recently changed, as a new base in
// name order. Null when `cancel` was raised meanwhile. `renumbered`, when given, is filled with the
// new number of each id of the version (INDEX_NO_ENTRY for an id it does not hold).
IndexSnapshot* index_fold(const IndexView& view, const std::atomic<bool>* cancel,
                          std::vector<uint32_t>* renumbered = nullptr);

}  // namespace host
