#include "client/results_reply.h"

#include <utility>

namespace client {
namespace {

// A name that goes on over lines without end is no name: nothing on a disk is that long.
constexpr size_t RESULT_NAME_MAX_BYTES = 1024 * 1024;

enum class Field { FOLDER_PATH, ATTRIBUTES, SIZE, DATE_MODIFIED, DATE_CREATED, FILE_LIST, RECENTLY_CHANGED, FILE, FOLDER };

struct ResultKey {
    std::string_view key;
    Field field;
};

constexpr ResultKey RESULT_KEYS[] = {
    {"PATH", Field::FOLDER_PATH},
    {"ATTRIBUTES", Field::ATTRIBUTES},
    {"SIZE", Field::SIZE},
    {"DATE_MODIFIED", Field::DATE_MODIFIED},
    {"DATE_CREATED", Field::DATE_CREATED},
    {"FILE_LIST_FILENAME", Field::FILE_LIST},
    {"DATE_RECENTLY_CHANGED", Field::RECENTLY_CHANGED},
    {"FILE", Field::FILE},
    {"FOLDER", Field::FOLDER},
};

bool parse_number(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool store_number(Field field, std::string_view text, ResultRecord* record) {
    uint64_t value = 0;
    if (!parse_number(text, &value)) return false;
    switch (field) {
        case Field::ATTRIBUTES:
            if (value > UINT32_MAX) return false;
            record->attributes = static_cast<uint32_t>(value);
            record->has_attributes = true;
            return true;
        case Field::SIZE: record->size = value; return true;
        case Field::DATE_MODIFIED: record->date_modified = value; return true;
        case Field::DATE_CREATED: record->date_created = value; return true;
        case Field::RECENTLY_CHANGED: record->date_recently_changed = value; return true;
        default: return false;
    }
}

}  // namespace

namespace {

// Moves the record read so far to `complete` and starts an empty one, keeping the strings' room.
void results_take_complete(ResultsParser* parser) {
    std::swap(parser->complete, parser->building);
    ResultRecord& next = parser->building;
    next.folder_path.clear();
    next.name.clear();
    next.is_folder = false;
    next.size = next.date_modified = next.date_created = next.date_recently_changed = UNKNOWN_VALUE;
    next.has_attributes = false;
    next.attributes = 0;
    parser->name_read = false;
}

}  // namespace

ResultLine results_parse_line(ResultsParser* parser, std::string_view line) {
    if (line.empty() || line[0] != ' ') {
        if (!parser->name_read || parser->building.name.size() > RESULT_NAME_MAX_BYTES) return ResultLine::MALFORMED;
        parser->building.name += '\n';
        parser->building.name += line;
        return ResultLine::NONE;
    }
    ResultLine outcome = ResultLine::NONE;
    if (parser->name_read) {
        results_take_complete(parser);
        outcome = ResultLine::RECORD;
    }
    ResultRecord& record = parser->building;
    std::string_view body = line.substr(1);
    size_t blank = body.find(' ');
    std::string_view key = body.substr(0, blank);
    std::string_view value = blank == std::string_view::npos ? std::string_view() : body.substr(blank + 1);
    if (key == "RESULT_COUNT") {
        if (outcome == ResultLine::RECORD || !parse_number(value, &parser->total)) return ResultLine::MALFORMED;
        return ResultLine::TOTAL;
    }
    for (const ResultKey& entry : RESULT_KEYS) {
        if (entry.key != key) continue;
        switch (entry.field) {
            case Field::FILE_LIST: return outcome;
            case Field::FOLDER_PATH: record.folder_path.assign(value); return outcome;
            case Field::FILE:
            case Field::FOLDER:
                record.name.assign(value);
                record.is_folder = entry.field == Field::FOLDER;
                parser->name_read = true;
                return outcome;
            default: return store_number(entry.field, value, &record) ? outcome : ResultLine::MALFORMED;
        }
    }
    return ResultLine::MALFORMED;
}

bool results_parse_finish(ResultsParser* parser) {
    if (!parser->name_read) return false;
    results_take_complete(parser);
    return true;
}

}  // namespace client
