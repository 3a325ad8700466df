// A file of the user alone: its access list is replaced by one entry, full access for the user the
// process runs as, and no longer inherits the folder's entries (which let SYSTEM and the
// administrators in as well).
#include "host/utf16_windows.h"  // first: the security headers need <windows.h>

#include <sddl.h>

#include <vector>

#include "host/private_file.h"

namespace host {
namespace {

// The process's user as a SID in text form ("S-1-5-21-..."), empty when the system does not say.
std::wstring process_user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    wchar_t* text = nullptr;
    bool named = size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
                 ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text);
    CloseHandle(token);
    std::wstring sid = named ? text : L"";
    if (named) LocalFree(text);
    return sid;
}

}  // namespace

bool file_make_private(const std::string& path) {
    std::wstring sid = process_user_sid();
    if (sid.empty()) return false;
    // A protected list ("P": nothing inherited) with one entry: file access for this user.
    std::wstring list = L"D:P(A;;FA;;;" + sid + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(list.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    BOOL set = SetFileSecurityW(utf16_from_utf8(path).c_str(),
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return set != FALSE;
}

}  // namespace host
