// A file of the user alone: its access list is replaced by one entry, full access for the user the
// process runs as, and no longer inherits the folder's entries (which let SYSTEM and the
// administrators in as well).
#include "host/utf16_windows.h"  // first: the security headers need <windows.h>

#include <aclapi.h>

#include <vector>

#include "host/private_file.h"

namespace host {
namespace {

// The process's user as a TOKEN_USER record, empty when the system does not say.
std::vector<unsigned char> process_user() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) user.clear();
    CloseHandle(token);
    return user;
}

}  // namespace

bool file_make_private(const std::string& path) {
    std::vector<unsigned char> user = process_user();
    if (user.empty()) return false;
    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = FILE_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    PACL list = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &list) != ERROR_SUCCESS) return false;
    std::wstring wide = utf16_from_utf8(path);
    DWORD result = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, list, nullptr);
    LocalFree(list);
    return result == ERROR_SUCCESS;
}

}  // namespace host
