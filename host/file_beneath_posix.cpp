// Opening a file below its folder through CreateFileBeneathA, which resolves the path without
// following any symbolic link.
#include <algorithm>

#include "host/file_beneath.h"

namespace host {

HANDLE file_open_beneath(const std::string& root_folder, const std::string& relative_path) {
    std::string relative = relative_path;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return CreateFileBeneathA(root_folder.c_str(), relative.c_str());
}

}  // namespace host
