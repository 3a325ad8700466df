#include "host/error_words.h"

namespace host {
namespace {

struct ErrorWords {
    DWORD error;
    const char* words;
};

constexpr ErrorWords ERROR_WORDS[] = {
    {ERROR_FILE_NOT_FOUND, "it does not exist"},
    {ERROR_PATH_NOT_FOUND, "a part of its path is not a folder"},
    {4, "too many files are open"},  // ERROR_TOO_MANY_OPEN_FILES
    {ERROR_ACCESS_DENIED, "permission denied"},
    {32, "another program is using it"},           // ERROR_SHARING_VIOLATION
    {112, "the disk is full"},                     // ERROR_DISK_FULL
    {123, "the name is not valid here"},           // ERROR_INVALID_NAME
    {ERROR_MOD_NOT_FOUND, "it or a library it needs is missing"},
    {ERROR_ALREADY_EXISTS, "a file of that name is in the way"},
    {ERROR_BAD_EXE_FORMAT, "it is no library for this machine"},
    {206, "the name is too long"},                 // ERROR_FILENAME_EXCED_RANGE
    {223, "the file has reached the size limit"},  // ERROR_FILE_TOO_LARGE
    {1117, "input/output error"},                  // ERROR_IO_DEVICE
    {1295, "the disk quota is used up"},           // ERROR_DISK_QUOTA_EXCEEDED
};

}  // namespace

std::string error_words(DWORD error) {
    std::string number = "error " + std::to_string(error);
    for (const ErrorWords& entry : ERROR_WORDS)
        if (entry.error == error) return std::string(entry.words) + " (" + number + ")";
    return number;
}

}  // namespace host
