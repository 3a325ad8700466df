// Index paths: joining a name to a folder and the canonical form ("." and ".." resolved).
#include <cstring>
#include <string_view>
#include <vector>

#include "host/services.h"
#include "host/text_buffers.h"

namespace host {

void utf8_buf_path_cat_filename(Utf8Buf* buffer, const char* path, const char* name) {
    // Built aside: path or name may be the buffer's own text.
    ScopedUtf8Buf joined;
    size_t path_length = std::strlen(path);
    utf8_buf_append(joined.get(), path, path_length);
    if (path_length != 0 && path[path_length - 1] != '\\') utf8_buf_append(joined.get(), "\\", 1);
    utf8_buf_append(joined.get(), name, std::strlen(name));
    utf8_buf_take(buffer, joined.get());
}

void utf8_buf_path_canonicalize(Utf8Buf* buffer) {
    std::string_view path = utf8_buf_view(*buffer);
    // A leading pair of separators names a network share and stays; any other empty segment goes.
    bool share = path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
    std::vector<std::string_view> segments;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view segment = path.substr(start, end - start);
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }

    ScopedUtf8Buf canonical;
    if (share && !segments.empty()) utf8_buf_append(canonical.get(), "\\\\", 2);
    for (size_t index = 0; index < segments.size(); ++index) {
        if (index != 0) utf8_buf_append(canonical.get(), "\\", 1);
        utf8_buf_append(canonical.get(), segments[index].data(), segments[index].size());
    }
    utf8_buf_take(buffer, canonical.get());
}

}  // namespace host
