// The SORRELWICK command: one option word per command line, and the query verb that re-sends,
// re-sorts or searches anew, whichever is the least work that gives a correct answer.
#include "search/query_command.h"

#include "plugin/host_services.h"
#include "plugin/settings.h"
#include "search/query_results.h"
#include "server/client.h"

namespace {

enum OptionKind : uint32_t {
    OPTION_FLAG,        // a 0/1 field: any nonzero number stores 1
    OPTION_TEXT,        // a heap string: the whole value
    OPTION_FILTER_BIT,  // one bit of filter_flags
    OPTION_SORT,        // a sort name of SORT_TABLE
    OPTION_WINDOW,      // offset or count: an unsigned number, stored as read
    OPTION_COLUMN,      // a column switch: a signed number, stored as read
    OPTION_QUERY,       // the query verb
};

struct OptionWord {
    const char* word;
    OptionKind kind;
    uint32_t FtpClient::* number;  // OPTION_FLAG, OPTION_WINDOW, OPTION_COLUMN
    char* FtpClient::* text;       // OPTION_TEXT
    uint32_t bit;                  // OPTION_FILTER_BIT
    const char* reply;
};

constexpr OptionWord flag(const char* word, uint32_t FtpClient::* field, const char* reply) {
    return {word, OPTION_FLAG, field, nullptr, 0, reply};
}
constexpr OptionWord text(const char* word, char* FtpClient::* field, const char* reply) {
    return {word, OPTION_TEXT, nullptr, field, 0, reply};
}
constexpr OptionWord filter_bit(const char* word, uint32_t bit, const char* reply) {
    return {word, OPTION_FILTER_BIT, nullptr, nullptr, bit, reply};
}
constexpr OptionWord window(const char* word, uint32_t FtpClient::* field, const char* reply) {
    return {word, OPTION_WINDOW, field, nullptr, 0, reply};
}
constexpr OptionWord column(const char* word, uint32_t FtpClient::* field, const char* reply) {
    return {word, OPTION_COLUMN, field, nullptr, 0, reply};
}

// Searched in this order; the first word equal to the option word (ignoring case) decides.
constexpr OptionWord OPTION_WORDS[] = {
    flag("case", &FtpClient::match_case, "200 Case set to (%d).\r\n"),
    flag("whole_word", &FtpClient::match_whole_word, "200 Whole word set to (%d).\r\n"),
    flag("path", &FtpClient::match_path, "200 Path set to (%d).\r\n"),
    flag("diacritics", &FtpClient::match_diacritics, "200 Diacritics set to (%d).\r\n"),
    flag("prefix", &FtpClient::match_prefix, "200 Prefix set to (%d).\r\n"),
    flag("suffix", &FtpClient::match_suffix, "200 Suffix set to (%d).\r\n"),
    flag("ignore_punctuation", &FtpClient::ignore_punctuation, "200 Ignore punctuation set to (%d).\r\n"),
    flag("ignore_whitespace", &FtpClient::ignore_whitespace, "200 Ignore whitespace set to (%d).\r\n"),
    flag("regex", &FtpClient::match_regex, "200 Regex set to (%d).\r\n"),
    flag("hide_empty_search_results", &FtpClient::hide_empty_search_results,
         "200 Hide empty search results set to (%d).\r\n"),
    text("search", &FtpClient::search_text, "200 Search set to (%s).\r\n"),
    text("filter_search", &FtpClient::filter_search_text, "200 Filter search set to (%s).\r\n"),
    filter_bit("filter_case", 0x1, "200 Filter case set to (%d).\r\n"),
    filter_bit("filter_diacritics", 0x8, "200 Filter diacritics set to (%d).\r\n"),
    filter_bit("filter_prefix", 0x20, "200 Filter prefix set to (%d).\r\n"),
    filter_bit("filter_suffix", 0x40, "200 Filter suffix set to (%d).\r\n"),
    filter_bit("filter_ignore_punctuation", 0x80, "200 Filter ignore punctuation set to (%d).\r\n"),
    filter_bit("filter_ignore_whitespace", 0x100, "200 Filter ignore whitespace set to (%d).\r\n"),
    filter_bit("filter_path", 0x4, "200 Filter path set to (%d).\r\n"),
    filter_bit("filter_regex", 0x10, "200 Filter regex set to (%d).\r\n"),
    filter_bit("filter_whole_word", 0x2, "200 Filter whole word set to (%d).\r\n"),
    {"sort", OPTION_SORT, nullptr, nullptr, 0, "200 Sort set to (%s).\r\n"},
    window("offset", &FtpClient::result_offset, "200 Offset set to (%u).\r\n"),
    window("count", &FtpClient::result_count, "200 Count set to (%u).\r\n"),
    column("size_column", &FtpClient::size_column, "200 Size column set to (%u).\r\n"),
    column("attributes_column", &FtpClient::attributes_column, "200 Attributes column set to (%u).\r\n"),
    column("date_modified_column", &FtpClient::date_modified_column,
           "200 Date modified column set to (%u).\r\n"),
    column("date_created_column", &FtpClient::date_created_column, "200 Date created column set to (%u).\r\n"),
    column("path_column", &FtpClient::path_column, "200 Path column set to (%u).\r\n"),
    column("file_list_filename_column", &FtpClient::file_list_filename_column,
           "200 File list filename column set to (%u).\r\n"),
    column("date_recently_changed_column", &FtpClient::date_recently_changed_column,
           "200 Date recently changed column set to (%u).\r\n"),
    {"query", OPTION_QUERY, nullptr, nullptr, 0, nullptr},
};
static_assert(sizeof(OPTION_WORDS) / sizeof(OPTION_WORDS[0]) == 32);

struct SortRow {
    const char* name;
    int property_number;  // a host built-in property
    uint32_t ascending;
};

// Searched in this order. The inverse_size rows carry the opposite flag of their size twins.
constexpr SortRow SORT_TABLE[] = {
    {"name_ascending", 0, 1},
    {"name_descending", 0, 0},
    {"path_ascending", 1, 1},
    {"path_descending", 1, 0},
    {"size_ascending", 2, 1},
    {"size_descending", 2, 0},
    {"inverse_size_ascending", 2, 0},
    {"inverse_size_descending", 2, 1},
    {"extension_ascending", 3, 1},
    {"extension_descending", 3, 0},
    {"date_created_ascending", 6, 1},
    {"date_created_descending", 6, 0},
    {"date_modified_ascending", 5, 1},
    {"date_modified_descending", 5, 0},
    {"attributes_ascending", 8, 1},
    {"attributes_descending", 8, 0},
    {"file_list_filename_ascending", 12, 1},
    {"file_list_filename_descending", 12, 0},
    {"date_recently_changed_ascending", 9, 1},
    {"date_recently_changed_descending", 9, 0},
};
static_assert(sizeof(SORT_TABLE) / sizeof(SORT_TABLE[0]) == 20);

// The client's strings start empty; a null one is read as empty rather than handed to the host.
const char* text_or_empty(const char* text) { return text ? text : ""; }

void option_set_flag(FtpClient* client, const OptionWord& option, const char* value) {
    uint32_t stored = utf8_string_to_int(value) ? 1 : 0;
    client->*option.number = stored;
    client_printf(client, option.reply, static_cast<int>(stored));
}

void option_set_text(FtpClient* client, const OptionWord& option, const char* value) {
    client->*option.text = utf8_string_realloc_utf8_string(client->*option.text, value);
    client_printf(client, option.reply, client->*option.text);
}

void option_set_filter_bit(FtpClient* client, const OptionWord& option, const char* value) {
    if (utf8_string_to_int(value)) {
        client->filter_flags |= option.bit;
    } else {
        client->filter_flags &= ~option.bit;
    }
    client_printf(client, option.reply, (client->filter_flags & option.bit) ? 1 : 0);
}

void option_set_window(FtpClient* client, const OptionWord& option, const char* value) {
    client->*option.number = utf8_string_to_dword(value);
    client_printf(client, option.reply, client->*option.number);
}

void option_set_column(FtpClient* client, const OptionWord& option, const char* value) {
    client->*option.number = static_cast<uint32_t>(utf8_string_to_int(value));
    client_printf(client, option.reply, client->*option.number);
}

const SortRow* sort_find(const char* name) {
    for (const SortRow& row : SORT_TABLE) {
        if (utf8_string_compare_nocase_s_sla(name, row.name) == 0) return &row;
    }
    return nullptr;
}

void option_set_sort(FtpClient* client, const OptionWord& option, const char* value) {
    const SortRow* row = sort_find(value);
    const SorrelwickProperty* property = row ? property_get_builtin_type(row->property_number) : nullptr;
    if (!property) {
        client_printf(client, "500 Unknown sort type.\r\n");
        return;
    }
    client->sort_property = property;
    client->sort_ascending = row->ascending;
    client_printf(client, option.reply, value);
}

int texts_equal(const char* a, const char* b) {
    return utf8_string_compare(text_or_empty(a), text_or_empty(b)) == 0;
}

// The offset, the count and the sort are left out: a new window or order of the same results
// never needs a new search.
int query_search_unchanged(const FtpClient* c) {
    return c->last_query_valid == 1 && c->match_case == c->last_match_case &&
           c->match_whole_word == c->last_match_whole_word && c->match_path == c->last_match_path &&
           c->match_diacritics == c->last_match_diacritics && c->match_prefix == c->last_match_prefix &&
           c->match_suffix == c->last_match_suffix && c->ignore_punctuation == c->last_ignore_punctuation &&
           c->ignore_whitespace == c->last_ignore_whitespace && c->match_regex == c->last_match_regex &&
           c->hide_empty_search_results == c->last_hide_empty_search_results &&
           c->size_column == c->last_size_column && c->attributes_column == c->last_attributes_column &&
           c->date_modified_column == c->last_date_modified_column &&
           c->date_created_column == c->last_date_created_column && c->path_column == c->last_path_column &&
           c->file_list_filename_column == c->last_file_list_filename_column &&
           c->date_recently_changed_column == c->last_date_recently_changed_column &&
           texts_equal(c->last_search_text, c->search_text) &&
           texts_equal(c->last_filter_search_text, c->filter_search_text) &&
           c->filter_flags == c->last_filter_flags;
}

int query_sort_unchanged(const FtpClient* c) {
    return c->sort_property == c->last_sort_property && (c->sort_ascending != 0) == (c->last_sort_ascending != 0);
}

void query_copy_options(FtpClient* c) {
    c->last_match_case = c->match_case;
    c->last_match_whole_word = c->match_whole_word;
    c->last_match_path = c->match_path;
    c->last_match_diacritics = c->match_diacritics;
    c->last_match_prefix = c->match_prefix;
    c->last_match_suffix = c->match_suffix;
    c->last_ignore_punctuation = c->ignore_punctuation;
    c->last_ignore_whitespace = c->ignore_whitespace;
    c->last_match_regex = c->match_regex;
    c->last_hide_empty_search_results = c->hide_empty_search_results;
    c->last_size_column = c->size_column;
    c->last_attributes_column = c->attributes_column;
    c->last_date_modified_column = c->date_modified_column;
    c->last_date_created_column = c->date_created_column;
    c->last_path_column = c->path_column;
    c->last_file_list_filename_column = c->file_list_filename_column;
    c->last_date_recently_changed_column = c->date_recently_changed_column;
    c->last_search_text = utf8_string_realloc_utf8_string(c->last_search_text, text_or_empty(c->search_text));
    c->last_filter_search_text =
        utf8_string_realloc_utf8_string(c->last_filter_search_text, text_or_empty(c->filter_search_text));
    c->last_filter_flags = c->filter_flags;
    c->last_sort_property = c->sort_property;
    c->last_sort_ascending = c->sort_ascending;
}

// The reply is marked owed before the host is called, because the host may raise the results
// event from inside the call.
void query_resort(FtpClient* c) {
    c->last_sort_ascending = c->sort_ascending;
    c->results_pending = 1;
    c->query_results_ready = 0;
    c->last_sort_property = c->sort_property;
    db_query_sort(c->query, c->sort_property, c->sort_ascending, 0, 0, 0, 0, 0, 0, 0, 0);
}

void query_search(FtpClient* c) {
    query_copy_options(c);
    c->results_pending = 1;
    c->query_results_ready = 0;
    c->last_query_valid = 1;
    db_query_search2(c->query, c->match_case, c->match_whole_word, c->match_path, c->match_diacritics,
                     c->match_prefix, c->match_suffix, c->ignore_punctuation, c->ignore_whitespace,
                     c->match_regex, c->hide_empty_search_results, 1, 1, text_or_empty(c->search_text),
                     c->filter_flags, text_or_empty(c->filter_search_text), "", 0, 0, 0xFFFFFFFFu, 1,
                     c->sort_property, c->sort_ascending, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     static_cast<uint32_t>(settings.allow_disk_access), 0, 0, 0, 1, 0);
}

// Results of a search or sort that is still running would have to be waited for on this, the
// user-interface thread; they are owed instead, and the completion event sends them.
void query_resend(FtpClient* client) {
    if (client->query_results_ready) {
        query_send_results(client);
    } else {
        client->results_pending = 1;
    }
}

void query_run(FtpClient* client) {
    if (!query_search_unchanged(client)) {
        query_search(client);
    } else if (query_sort_unchanged(client)) {
        query_resend(client);
    } else {
        query_resort(client);
    }
}

void option_apply(FtpClient* client, const OptionWord& option, const char* value) {
    switch (option.kind) {
        case OPTION_FLAG: option_set_flag(client, option, value); return;
        case OPTION_TEXT: option_set_text(client, option, value); return;
        case OPTION_FILTER_BIT: option_set_filter_bit(client, option, value); return;
        case OPTION_SORT: option_set_sort(client, option, value); return;
        case OPTION_WINDOW: option_set_window(client, option, value); return;
        case OPTION_COLUMN: option_set_column(client, option, value); return;
        case OPTION_QUERY: query_run(client); return;
    }
}

}  // namespace

void query_command(FtpClient* client, const char* option_word, const char* value) {
    for (const OptionWord& option : OPTION_WORDS) {
        if (utf8_string_compare_nocase_s_sla(option_word, option.word) == 0) {
            option_apply(client, option, value);
            return;
        }
    }
    client_printf(client, "500 Unknown Sorrelwick command.\r\n");
}
