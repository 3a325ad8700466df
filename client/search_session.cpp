#include "client/search_session.h"

#include <algorithm>
#include <vector>

#include "client/console.h"
#include "client/download.h"
#include "client/folder_walk.h"
#include "client/index_path.h"
#include "client/output_stream.h"
#include "client/regex_check.h"
#include "client/results_reply.h"

namespace client {
namespace {

constexpr uint32_t PAGE_RESULTS = 10000;      // results a page: the server queues a page at once
constexpr uint32_t PAGE_RESULTS_GET = 1000;   // with --get a page is held while it is downloaded
constexpr char RESULTS_FIRST_LINE[] = "200-Query results";
constexpr char RESULTS_LAST_LINE[] = "200 ";
constexpr char UNKNOWN_COMMAND[] = "500 Unknown Sorrelwick command.";
constexpr char UNKNOWN_SORT[] = "500 Unknown sort type.";

struct Session {
    Connection* connection;
    const ClientOptions* options;
    OutputStream out;
    DownloadState downloads;
    bool getting = false;
    std::string ftp_path;   // of the result being handled
    std::string line;       // its printed form
    std::vector<ResultRecord> page;  // --get: the page's results, downloaded once it is read
    uint64_t printed = 0;
    bool lost = false;      // the connection failed during the downloads
};

// The result columns the output needs, beside the folder path that every form needs.
std::vector<const char*> columns_of(const ClientOptions& options) {
    std::vector<const char*> columns{"path_column"};
    bool long_form = options.style.form == OutputForm::LONG, json = options.style.form == OutputForm::JSON;
    if (long_form || json || !options.get_folder.empty()) columns.push_back("size_column");
    if (long_form || json) {
        columns.push_back("attributes_column");
        columns.push_back("date_modified_column");
    }
    if (json) {
        columns.push_back("date_created_column");
        columns.push_back("date_recently_changed_column");
    }
    return columns;
}

std::string option_line(const std::string& word, const std::string& value) {
    return "SORRELWICK " + word + " " + value + "\r\n";
}

// What a refused option command means, in words.
std::string option_refused(const Connection& connection, const std::string& word, const std::string& value,
                           const Reply& reply, bool first) {
    std::string said = reply.last_line();
    if (said == UNKNOWN_SORT) return "the server refuses the sort name \"" + value + "\"";
    if (said == UNKNOWN_COMMAND) return "the server does not know the option word " + word + " (an older SWP?)";
    if (first)
        return "the server at " + connection.where + " is not an SWP server: it does not know the SORRELWICK "
               "command (\"" + said + "\")";
    return "the server refuses SORRELWICK " + word + ": \"" + said + "\"";
}

// The option commands of the first page, sent at once; their replies are read in order.
bool options_send(Session* session, uint32_t page_count, std::string* error) {
    const ClientOptions& options = *session->options;
    std::vector<std::pair<std::string, std::string>> commands;
    for (const char* column : columns_of(options)) commands.emplace_back(column, "1");
    for (const OptionSetting& setting : options.settings) commands.emplace_back(setting.word, setting.value);
    commands.emplace_back("search", options.text);
    commands.emplace_back("offset", std::to_string(options.offset));
    commands.emplace_back("count", std::to_string(page_count));
    std::string batch;
    for (const auto& [word, value] : commands) batch += option_line(word, value);
    batch += "SORRELWICK query\r\n";
    if (!connection_send(session->connection, batch, error)) return false;
    Reply reply;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (!connection_read_reply(session->connection, &reply, error)) return false;
        if (reply.code == 200) continue;
        *error = option_refused(*session->connection, commands[i].first, commands[i].second, reply, i == 0);
        return false;
    }
    return true;
}

// A later page of the same results: only the window moves, so the server sends them at once.
bool page_ask(Session* session, uint64_t offset, uint32_t page_count, std::string* error) {
    std::string batch = option_line("offset", std::to_string(offset)) +
                        option_line("count", std::to_string(page_count)) + "SORRELWICK query\r\n";
    if (!connection_send(session->connection, batch, error)) return false;
    Reply reply;
    for (const char* word : {"offset", "count"}) {
        if (!connection_read_reply(session->connection, &reply, error)) return false;
        if (reply.code != 200) {
            *error = option_refused(*session->connection, word, "", reply, false);
            return false;
        }
    }
    return true;
}

void result_print(Session* session, const ResultRecord& record) {
    session->line.clear();
    result_format(session->options->style, record, session->ftp_path, &session->line);
    output_write(&session->out, session->line);
    ++session->printed;
}

// --get: the page's results, each printed and then saved.
void page_download(Session* session) {
    DownloadState& downloads = session->downloads;
    for (const ResultRecord& record : session->page) {
        ftp_path_of(record.folder_path, record.name, &session->ftp_path);
        result_print(session, record);
        progress_clear(&downloads.progress);
        output_flush(&session->out);
        DownloadOutcome outcome = record.is_folder ? download_folder(&downloads, session->ftp_path)
                                                   : download_file(&downloads, session->ftp_path, record.size);
        if (outcome == DownloadOutcome::LOST) {
            session->lost = true;
            break;
        }
    }
    session->page.clear();
}

void result_take(Session* session, const ResultRecord& record) {
    if (session->getting) {
        session->page.push_back(record);
        return;
    }
    ftp_path_of(record.folder_path, record.name, &session->ftp_path);
    result_print(session, record);
}

// Reads one results reply; *got is the number of results it held, *total the server's count.
bool results_read(Session* session, uint64_t* got, uint64_t* total, std::string* error) {
    std::string_view line;
    if (!connection_read_line(session->connection, &line, error)) return false;
    if (line != RESULTS_FIRST_LINE) {
        *error = "the server did not run the search: \"" + std::string(line) + "\"";
        return false;
    }
    ResultsParser parser;
    *got = 0;
    for (;;) {
        if (!connection_read_line(session->connection, &line, error)) return false;
        if (line.substr(0, 4) == RESULTS_LAST_LINE) break;
        ResultLine kind = results_parse_line(&parser, line);
        if (kind == ResultLine::MALFORMED) {
            *error = "the server's results hold a line that is none: \"" + std::string(line.substr(0, 80)) + "\"";
            return false;
        }
        if (kind == ResultLine::RECORD) {
            result_take(session, parser.complete);
            ++*got;
        }
    }
    if (results_parse_finish(&parser)) {
        result_take(session, parser.complete);
        ++*got;
    }
    *total = parser.total;
    return true;
}

// Nothing found for a regular expression: maybe because it is none.
bool regex_refused(const ClientOptions& options, std::string* error) {
    struct Expression {
        const char* flag;
        const char* case_flag;
        std::string text;
    };
    const Expression expressions[] = {{"regex", "case", options.text},
                                      {"filter_regex", "filter_case", client_setting(options, "filter_search")}};
    for (const Expression& expression : expressions) {
        std::string why;
        bool on = client_setting(options, expression.flag) == "1";
        bool match_case = client_setting(options, expression.case_flag) == "1";
        if (on && !regex_compiles(expression.text, match_case, &why)) {
            *error = "the server cannot run the regular expression " + expression.text + ": " + why;
            return true;
        }
    }
    return false;
}

uint32_t page_size(const Session& session, uint64_t remaining) {
    uint32_t page = session.getting ? PAGE_RESULTS_GET : PAGE_RESULTS;
    return remaining < page ? static_cast<uint32_t>(remaining) : page;
}

bool pages_read(Session* session, std::string* error) {
    const ClientOptions& options = *session->options;
    uint64_t remaining = options.count == COUNT_ALL ? UINT64_MAX : options.count;
    uint64_t offset = options.offset;
    uint32_t page = page_size(*session, remaining);
    if (!options_send(session, page, error)) return false;
    for (bool first = true;; first = false) {
        if (!first && !page_ask(session, offset, page, error)) return false;
        uint64_t got = 0, total = 0;
        if (!results_read(session, &got, &total, error)) return false;
        if (first && total == 0 && regex_refused(options, error)) return false;
        if (first && session->getting) session->downloads.progress.files_expected =
            options.recursive ? 0 : std::min<uint64_t>(remaining, total > offset ? total - offset : 0);
        if (session->getting) page_download(session);
        if (!output_flush(&session->out) || session->lost) return true;
        remaining -= got;
        offset += got;
        if (got < page || remaining == 0 || offset >= total || offset > UINT32_MAX) return true;
        page = page_size(*session, remaining);
    }
}

}  // namespace

bool search_run(Connection* connection, const ClientOptions& options, SearchOutcome* outcome, std::string* error) {
    Session session;
    session.connection = connection;
    session.options = &options;
    session.getting = !options.get_folder.empty();
    session.downloads.control = connection;
    session.downloads.folder = options.get_folder;
    session.downloads.recursive = options.recursive;
    progress_start(&session.downloads.progress, session.getting && console_is_terminal(STD_ERROR_HANDLE));
    bool read = pages_read(&session, error);
    if (session.getting && read) progress_finish(&session.downloads.progress);
    else progress_clear(&session.downloads.progress);
    outcome->printed = session.printed;
    outcome->failed_downloads = session.downloads.failures;
    if (read && session.out.failed && !output_reader_gone(session.out)) {
        *error = "cannot write the results: error " + std::to_string(session.out.error);
        return false;
    }
    if (read && session.lost) {
        *error = "the downloads ended: the connection to the server failed";
        return false;
    }
    return read;
}

}  // namespace client
