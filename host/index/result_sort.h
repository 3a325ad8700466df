// Sorting search results by one of the built-in properties.
#pragma once

#include <cstdint>
#include <vector>

#include "host/index/index_view.h"
#include "host/index/search_poll.h"
#include "sdk/sorrelwick_plugin.h"

namespace host {

bool result_sort_knows(int property);

// Sorts entries of one view by the property, ties by path; descending is the exact reverse of
// ascending. Returns false when the poll stopped it (the order is then unspecified).
bool result_sort(const IndexView& view, int property, bool ascending, const SearchPoll& poll,
                 std::vector<uint32_t>* results);

// The extension of a name as the extension sort sees it: after the last dot that is not the
// first character; empty when there is none.
std::string_view result_extension(std::string_view name);

}  // namespace host
