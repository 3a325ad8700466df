// File system paths from and to the host's UTF-8 texts. A std::filesystem::path made from a plain
// std::string takes the C library's locale on Windows, which is not UTF-8 even when the process's
// code page is; char8_t texts are read as UTF-8 everywhere.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace host {

inline std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string utf8_path_text(const std::filesystem::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace host
