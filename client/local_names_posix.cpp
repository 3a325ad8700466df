// File names on POSIX systems: any name but "." and "..".
#include "client/local_files.h"

namespace client {

bool local_name_fix(std::string* name) { return *name != "." && *name != ".."; }

}  // namespace client
