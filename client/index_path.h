// Index paths (backslash separators, no leading one: "share\docs") in the form that FTP commands
// and ftp:// URLs take ("/share/docs"), as the server itself shows them.
#pragma once

#include <string>
#include <string_view>

namespace client {

// The FTP path of the entry `name` in the folder `folder_path`: a leading "/", the backslashes
// after any that open the path (a network path's "\\server") turned into "/".
void ftp_path_of(std::string_view folder_path, std::string_view name, std::string* out);

}  // namespace client
