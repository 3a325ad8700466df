// Searches that ask the same of the same version of the index share one result list: a hundred
// clients that ask for every entry hold one copy between them, and the search runs once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "host/index/index_view.h"
#include "host/index/query.h"

namespace host {

using ResultList = std::vector<uint32_t>;
using SharedResults = std::shared_ptr<const QueryResults>;

// The results of `search` on `view`: a list another job made and someone still holds, else what
// `compute` gives (null: it stopped before the end, and nothing is shared). A caller that finds
// the same search running elsewhere waits for it, and gives up with null once `cancel` is raised.
// A list holds a reference on its version (QueryResults::view) for as long as it lives, so that no
// other generation can take its generation's address and be mistaken for it.
SharedResults result_share_search(const IndexView& view, const std::shared_ptr<const QuerySearch>& search,
                                  const std::atomic<bool>& cancel,
                                  const std::function<std::unique_ptr<QueryResults>()>& compute);

// Result lists that are shared now, or being made (tests).
size_t result_share_slots();

}  // namespace host
