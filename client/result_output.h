// One result as the client prints it: its FTP path (or ftp:// URL) as locate prints paths, the
// long form of ls -l, or a JSON Lines record.
#pragma once

#include <string>

#include "client/results_reply.h"

namespace client {

enum class OutputForm { PATHS, LONG, JSON };

struct OutputStyle {
    OutputForm form = OutputForm::PATHS;
    bool as_url = false;       // paths as ftp:// URLs
    bool nul_ends = false;     // each record ends with NUL instead of LF
    std::string url_base;      // "ftp://host:port", for as_url
};

// Appends the record's text, with its end, to *out; `ftp_path` is the record's FTP path.
void result_format(const OutputStyle& style, const ResultRecord& record, const std::string& ftp_path,
                   std::string* out);

// A JSON string literal of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
void json_string_append(std::string_view text, std::string* out);

}  // namespace client
