#include "client/regex_check.h"

#include <re2/re2.h>

namespace client {

bool regex_compiles(const std::string& expression, bool match_case, std::string* why) {
    RE2::Options options;
    options.set_case_sensitive(match_case);
    options.set_never_nl(true);
    options.set_log_errors(false);
    RE2 regex(expression, options);
    if (regex.ok()) return true;
    *why = regex.error();
    return false;
}

}  // namespace client
