#include "client/index_path.h"

namespace client {

void ftp_path_of(std::string_view folder_path, std::string_view name, std::string* out) {
    out->clear();
    out->push_back('/');
    out->append(folder_path);
    if (!folder_path.empty()) out->push_back('\\');
    out->append(name);
    size_t at = 1;
    while (at < out->size() && (*out)[at] == '\\') ++at;
    for (; at < out->size(); ++at)
        if ((*out)[at] == '\\') (*out)[at] = '/';
}

}  // namespace client
