// Files only their owner may use, on Windows: a protected access list that
// names this user alone (no entry inherited from the folder).
#include "platform/private_files.h"

#include "platform/windows/win_helpers.h"

#include <aclapi.h>

#include <vector>

namespace launcher {

bool restrictToOwner(const std::filesystem::path& file) {
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  std::string owner;
  if (!win::ownedByThisUser(file, owner)) return false;
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const win::Handle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return false;
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  PACL acl = nullptr;
  if (::SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return false;
  std::wstring name = file.native();
  const DWORD rc = ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr);
  ::LocalFree(acl);
  return rc == ERROR_SUCCESS;
}

}  // namespace launcher
