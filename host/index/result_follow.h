// Held result lists follow the index: a list that a query holds is brought to each new version in
// the background, one thread testing every changed entry against the list's search and applying
// the difference (a new generation of the index is searched again), so that a query repeated
// unchanged reads the index as it is, and a list that no change touches costs nothing.
#pragma once

#include <memory>

#include "host/index/query.h"
#include "host/index/result_share.h"

namespace host {

struct HeldList;

// Follows `results`, the whole answer of `search` in the order of its sort, from now on. A list
// that is followed already (equal searches share their results) is shared. Null for an empty
// `results` of no version.
std::shared_ptr<HeldList> result_follow_hold(const std::shared_ptr<const QuerySearch>& search,
                                             const SharedResults& results);
// The list as the follower last made it: the index as it was a few tens of milliseconds ago at
// most, unless a change came faster than the follower could take it.
SharedResults result_follow_newest(HeldList& list);
const std::shared_ptr<const QuerySearch>& result_follow_search(const HeldList& list);

// Ends the follower's thread, which starts again on demand; the lists stay held.
void result_follow_shutdown();

// Tests: whether every held list has taken the current version of the index.
bool result_follow_caught_up();

}  // namespace host
