// The user's netrc file, read as FTP clients read it: "machine NAME login USER password TEXT"
// entries, a "default" entry for every other machine, "macdef" bodies skipped.
#pragma once

#include <string>
#include <string_view>

namespace client {

struct NetrcLogin {
    std::string login;     // empty when the entry names none
    std::string password;
    bool has_password = false;
};

// The entry for `machine` in a netrc text: its first "machine" entry whose login is `user` (any
// login when `user` is empty, and an entry without a login fits every user), else the "default"
// entry under the same rule. False when none fits.
bool netrc_find(std::string_view text, std::string_view machine, std::string_view user, NetrcLogin* found);

// Where the netrc file is on this system (~/.netrc, %USERPROFILE%\_netrc on Windows); empty when
// the home folder is not known.
std::string netrc_path();

// The file's text; false when it cannot be read (it is then simply not used).
bool netrc_read(const std::string& path, std::string* text);

}  // namespace client
