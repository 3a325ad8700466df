// Sorting search results by one of the built-in properties.
#pragma once

#include <cstdint>
#include <vector>

#include "host/index/index_view.h"
#include "host/index/search_poll.h"

namespace host {

// Property numbers that the host knows.
enum : int {
    PROPERTY_NAME = 0,
    PROPERTY_PATH = 1,
    PROPERTY_SIZE = 2,
    PROPERTY_EXTENSION = 3,
    PROPERTY_DATE_MODIFIED = 5,
    PROPERTY_DATE_CREATED = 6,
    PROPERTY_ATTRIBUTES = 8,
    PROPERTY_DATE_RECENTLY_CHANGED = 9,
    PROPERTY_FILE_LIST_FILENAME = 12,
};

bool result_sort_knows(int property);

// Sorts entries of one view by the property, ties by path; descending is the exact reverse of
// ascending. Returns false when the poll stopped it (the order is then unspecified).
bool result_sort(const IndexView& view, int property, bool ascending, const SearchPoll& poll,
                 std::vector<uint32_t>* results);

// Puts `added` (entries of the view that *results lacks) into *results, which is in the order
// result_sort() gives at this view, so that the whole is in that order. False when the poll
// stopped it (*results is then as it was).
bool result_sort_merge(const IndexView& view, int property, bool ascending, std::vector<uint32_t> added,
                       const SearchPoll& poll, std::vector<uint32_t>* results);

// The extension of a name as the extension sort sees it: after the last dot that is not the
// first character; empty when there is none.
std::string_view result_extension(std::string_view name);

}  // namespace host
