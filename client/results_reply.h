// The lines of a query results reply, read one at a time into result records: " RESULT_COUNT n",
// then per result its optional PATH, ATTRIBUTES, SIZE, DATE_MODIFIED, DATE_CREATED,
// FILE_LIST_FILENAME and DATE_RECENTLY_CHANGED lines and the FILE or FOLDER line that closes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace client {

constexpr uint64_t UNKNOWN_VALUE = 18446744073709551615ull;  // a size or time the index does not know

struct ResultRecord {
    std::string folder_path;  // the index path of its folder (backslashes, no leading one)
    std::string name;
    bool is_folder = false;
    uint64_t size = UNKNOWN_VALUE;
    uint64_t date_modified = UNKNOWN_VALUE;
    uint64_t date_created = UNKNOWN_VALUE;
    uint64_t date_recently_changed = UNKNOWN_VALUE;
    bool has_attributes = false;
    uint32_t attributes = 0;
};

enum class ResultLine {
    TOTAL,      // the RESULT_COUNT line: `total` is set
    NONE,       // nothing complete yet
    RECORD,     // the result before this line is complete, in `complete`
    MALFORMED,  // not a line of a results reply
};

// A result is complete only once the line after its FILE or FOLDER line has come: a line that
// does not begin with a blank continues the name before it (a name that holds a line break).
struct ResultsParser {
    ResultRecord building;
    ResultRecord complete;
    bool name_read = false;  // `building` has its FILE or FOLDER line
    uint64_t total = 0;
};

// Reads one body line (between "200-Query results" and "200 End.", without CR LF).
ResultLine results_parse_line(ResultsParser* parser, std::string_view line);

// At the end of the reply: whether a last result is complete, in `complete`.
bool results_parse_finish(ResultsParser* parser);

}  // namespace client
