// Running a compiled search over one version of the index.
#pragma once

#include <cstdint>
#include <vector>

#include "host/index/index_view.h"
#include "host/index/search_pattern.h"
#include "host/index/search_poll.h"

namespace host {

struct SearchRequest {
    SearchCondition main;
    SearchCondition filter;
    bool include_files = true;
    bool include_folders = true;
    bool nothing = false;  // an empty search text with hide_empty_search_results: no results at all
};

// The matching entries: in entry order, which is name order, for a version without changes;
// else the base's in that order and then the others (result_sort() puts them in order). Returns
// false, with `out` partly filled, when the poll stopped it before the end.
bool search_run(const IndexView& view, const SearchRequest& request, const SearchPoll& poll,
                std::vector<uint32_t>* out);

// Whether search_run() on the view finds the entry (false for one the view does not hold).
bool search_entry_matches(const IndexView& view, const SearchRequest& request, uint32_t id);

}  // namespace host
