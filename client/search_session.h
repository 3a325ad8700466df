// The search on a logged-on connection: the option commands, then the query, its results read a
// page at a time (the offset and count options move a window over the results the server holds)
// and each result printed, and downloaded with --get, as it comes.
#pragma once

#include <cstdint>
#include <string>

#include "client/client_options.h"
#include "client/control_connection.h"

namespace client {

struct SearchOutcome {
    uint64_t printed = 0;         // results printed
    uint64_t failed_downloads = 0;
};

// False with *error when the search could not be run or its results not read; failed downloads
// are reported as they happen and counted.
bool search_run(Connection* connection, const ClientOptions& options, SearchOutcome* outcome, std::string* error);

}  // namespace client
