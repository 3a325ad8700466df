// File names on Windows: the characters Windows refuses become "_", as do a trailing dot or blank
// (which Windows would drop), and a device name (CON, NUL, COM1, ...) gets a leading "_".
#include <string_view>

#include "client/local_files.h"

namespace client {
namespace {

constexpr std::string_view REFUSED_CHARACTERS = "<>:\"|?*";
constexpr std::string_view DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                             "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                             "LPT6", "LPT7", "LPT8", "LPT9"};

bool is_device_name(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (std::string_view device : DEVICE_NAMES)
        if (stem == device) return true;
    return false;
}

}  // namespace

bool local_name_fix(std::string* name) {
    if (*name == "." || *name == "..") return false;
    for (char& c : *name)
        if (static_cast<unsigned char>(c) < 0x20 || REFUSED_CHARACTERS.find(c) != std::string_view::npos) c = '_';
    if (name->back() == '.' || name->back() == ' ') name->back() = '_';
    if (is_device_name(*name)) name->insert(0, "_");
    return true;
}

}  // namespace client
