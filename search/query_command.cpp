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
    uint32_t FtpClient::* number;       // OPTION_FLAG, OPTION_FILTER_BIT, OPTION_WINDOW, OPTION_COLUMN
    uint32_t FtpClient::* last_number;  // its last-search copy; none for the window, which needs no search
    char* FtpClient::* text;            // OPTION_TEXT
    char* FtpClient::* last_text;       // its last-search copy
    uint32_t bits;                      // the bits of `number` the option owns
    const char* reply;
};

constexpr uint32_t ALL_BITS = 0xFFFFFFFFu;

using Number = uint32_t FtpClient::*;
using Text = char* FtpClient::*;

constexpr OptionWord flag(const char* word, Number field, Number last, const char* reply) {
    return {word, OPTION_FLAG, field, last, nullptr, nullptr, ALL_BITS, reply};
}
constexpr OptionWord text(const char* word, Text field, Text last, const char* reply) {
    return {word, OPTION_TEXT, nullptr, nullptr, field, last, 0, reply};
}
constexpr OptionWord filter_bit(const char* word, uint32_t bit, const char* reply) {
    return {word, OPTION_FILTER_BIT, &FtpClient::filter_flags, &FtpClient::last_filter_flags, nullptr, nullptr, bit,
            reply};
}
constexpr OptionWord window(const char* word, Number field, const char* reply) {
    return {word, OPTION_WINDOW, field, nullptr, nullptr, nullptr, ALL_BITS, reply};
}
constexpr OptionWord column(const char* word, Number field, Number last, const char* reply) {
    return {word, OPTION_COLUMN, field, last, nullptr, nullptr, ALL_BITS, reply};
}

// Searched in this order; the first word equal to the option word (ignoring case) decides. A row
// with a last-search copy takes part in deciding whether the query verb searches anew.
constexpr OptionWord OPTION_WORDS[] = {
    flag("case", &FtpClient::match_case, &FtpClient::last_match_case, "200 Case set to (%d).\r\n"),
    flag("whole_word", &FtpClient::match_whole_word, &FtpClient::last_match_whole_word,
         "200 Whole word set to (%d).\r\n"),
    flag("path", &FtpClient::match_path, &FtpClient::last_match_path, "200 Path set to (%d).\r\n"),
    flag("diacritics", &FtpClient::match_diacritics, &FtpClient::last_match_diacritics,
         "200 Diacritics set to (%d).\r\n"),
    flag("prefix", &FtpClient::match_prefix, &FtpClient::last_match_prefix, "200 Prefix set to (%d).\r\n"),
    flag("suffix", &FtpClient::match_suffix, &FtpClient::last_match_suffix, "200 Suffix set to (%d).\r\n"),
    flag("ignore_punctuation", &FtpClient::ignore_punctuation, &FtpClient::last_ignore_punctuation,
         "200 Ignore punctuation set to (%d).\r\n"),
    flag("ignore_whitespace", &FtpClient::ignore_whitespace, &FtpClient::last_ignore_whitespace,
         "200 Ignore whitespace set to (%d).\r\n"),
    flag("regex", &FtpClient::match_regex, &FtpClient::last_match_regex, "200 Regex set to (%d).\r\n"),
    flag("hide_empty_search_results", &FtpClient::hide_empty_search_results,
         &FtpClient::last_hide_empty_search_results, "200 Hide empty search results set to (%d).\r\n"),
    text("search", &FtpClient::search_text, &FtpClient::last_search_text, "200 Search set to (%s).\r\n"),
    text("filter_search", &FtpClient::filter_search_text, &FtpClient::last_filter_search_text,
         "200 Filter search set to (%s).\r\n"),
    filter_bit("filter_case", 0x1, "200 Filter case set to (%d).\r\n"),
    filter_bit("filter_diacritics", 0x8, "200 Filter diacritics set to (%d).\r\n"),
    filter_bit("filter_prefix", 0x20, "200 Filter prefix set to (%d).\r\n"),
    filter_bit("filter_suffix", 0x40, "200 Filter suffix set to (%d).\r\n"),
    filter_bit("filter_ignore_punctuation", 0x80, "200 Filter ignore punctuation set to (%d).\r\n"),
    filter_bit("filter_ignore_whitespace", 0x100, "200 Filter ignore whitespace set to (%d).\r\n"),
    filter_bit("filter_path", 0x4, "200 Filter path set to (%d).\r\n"),
    filter_bit("filter_regex", 0x10, "200 Filter regex set to (%d).\r\n"),
    filter_bit("filter_whole_word", 0x2, "200 Filter whole word set to (%d).\r\n"),
    {"sort", OPTION_SORT, nullptr, nullptr, nullptr, nullptr, 0, "200 Sort set to (%s).\r\n"},
    window("offset", &FtpClient::result_offset, "200 Offset set to (%u).\r\n"),
    window("count", &FtpClient::result_count, "200 Count set to (%u).\r\n"),
    column("size_column", &FtpClient::size_column, &FtpClient::last_size_column, "200 Size column set to (%u).\r\n"),
    column("attributes_column", &FtpClient::attributes_column, &FtpClient::last_attributes_column,
           "200 Attributes column set to (%u).\r\n"),
    column("date_modified_column", &FtpClient::date_modified_column, &FtpClient::last_date_modified_column,
           "200 Date modified column set to (%u).\r\n"),
    column("date_created_column", &FtpClient::date_created_column, &FtpClient::last_date_created_column,
           "200 Date created column set to (%u).\r\n"),
    column("path_column", &FtpClient::path_column, &FtpClient::last_path_column, "200 Path column set to (%u).\r\n"),
    column("file_list_filename_column", &FtpClient::file_list_filename_column,
           &FtpClient::last_file_list_filename_column, "200 File list filename column set to (%u).\r\n"),
    column("date_recently_changed_column", &FtpClient::date_recently_changed_column,
           &FtpClient::last_date_recently_changed_column, "200 Date recently changed column set to (%u).\r\n"),
    {"query", OPTION_QUERY, nullptr, nullptr, nullptr, nullptr, 0, nullptr},
};
static_assert(sizeof(OPTION_WORDS) / sizeof(OPTION_WORDS[0]) == 32);

struct SortRow {
    const char* name;
    int property_number;  // a host built-in property
    uint32_t ascending;
};

// Searched in this order. The inverse_size rows carry the opposite flag of their size twins.
constexpr SortRow SORT_TABLE[] = {
    {"name_ascending", PROPERTY_NAME, 1},
    {"name_descending", PROPERTY_NAME, 0},
    {"path_ascending", PROPERTY_PATH, 1},
    {"path_descending", PROPERTY_PATH, 0},
    {"size_ascending", PROPERTY_SIZE, 1},
    {"size_descending", PROPERTY_SIZE, 0},
    {"inverse_size_ascending", PROPERTY_SIZE, 0},
    {"inverse_size_descending", PROPERTY_SIZE, 1},
    {"extension_ascending", PROPERTY_EXTENSION, 1},
    {"extension_descending", PROPERTY_EXTENSION, 0},
    {"date_created_ascending", PROPERTY_DATE_CREATED, 1},
    {"date_created_descending", PROPERTY_DATE_CREATED, 0},
    {"date_modified_ascending", PROPERTY_DATE_MODIFIED, 1},
    {"date_modified_descending", PROPERTY_DATE_MODIFIED, 0},
    {"attributes_ascending", PROPERTY_ATTRIBUTES, 1},
    {"attributes_descending", PROPERTY_ATTRIBUTES, 0},
    {"file_list_filename_ascending", PROPERTY_FILE_LIST_FILENAME, 1},
    {"file_list_filename_descending", PROPERTY_FILE_LIST_FILENAME, 0},
    {"date_recently_changed_ascending", PROPERTY_DATE_RECENTLY_CHANGED, 1},
    {"date_recently_changed_descending", PROPERTY_DATE_RECENTLY_CHANGED, 0},
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
        client->*option.number |= option.bits;
    } else {
        client->*option.number &= ~option.bits;
    }
    client_printf(client, option.reply, (client->*option.number & option.bits) ? 1 : 0);
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

// Whether the option still has the value the last search was started with; an option without a
// copy (the offset and the count) never asks for a new search.
bool option_unchanged(const FtpClient* c, const OptionWord& option) {
    if (option.last_text) return texts_equal(c->*option.last_text, c->*option.text);
    if (option.last_number) return ((c->*option.number ^ c->*option.last_number) & option.bits) == 0;
    return true;
}

void option_copy(FtpClient* c, const OptionWord& option) {
    if (option.last_text) {
        c->*option.last_text = utf8_string_realloc_utf8_string(c->*option.last_text, text_or_empty(c->*option.text));
    } else if (option.last_number) {
        c->*option.last_number = (c->*option.last_number & ~option.bits) | (c->*option.number & option.bits);
    }
}

// The sort is left out: a new order of the same results is a re-sort (query_sort_unchanged).
int query_search_unchanged(const FtpClient* c) {
    if (c->last_query_valid != 1) return 0;
    for (const OptionWord& option : OPTION_WORDS) {
        if (!option_unchanged(c, option)) return 0;
    }
    return 1;
}

int query_sort_unchanged(const FtpClient* c) {
    return c->sort_property == c->last_sort_property && (c->sort_ascending != 0) == (c->last_sort_ascending != 0);
}

void query_copy_options(FtpClient* c) {
    for (const OptionWord& option : OPTION_WORDS) option_copy(c, option);
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
