#include <filesystem>
#include <system_error>

#include "host/private_file.h"
#include "host/utf8_path.h"

namespace host {

bool file_make_private(const std::string& path) {
    using std::filesystem::perms;
    std::error_code status;
    std::filesystem::permissions(utf8_path(path), perms::owner_read | perms::owner_write, status);
    return !status;
}

}  // namespace host
