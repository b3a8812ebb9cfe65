#include "platform/win32/owner_only.h"

#include "platform/win32/unique_handle.h"

namespace platform {
namespace {

// An explicit DACL with one allowing entry each for the user, SYSTEM and Administrators. Without one
// a named object gets the token's default DACL, which may let in the logon session or, where the
// default has none, everyone.
struct OwnerOnly {
  unsigned char user[SECURITY_MAX_SID_SIZE] = {};
  unsigned char system[SECURITY_MAX_SID_SIZE] = {};
  unsigned char administrators[SECURITY_MAX_SID_SIZE] = {};
  // Room for the header and three entries of the largest SIDs; DWORD-aligned, as an ACL must be.
  alignas(
      DWORD) unsigned char acl[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
  SECURITY_DESCRIPTOR descriptor = {};
  SECURITY_ATTRIBUTES attributes = {};
  bool built = false;

  OwnerOnly() { built = Build(); }

 private:
  bool UserSid() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &got)) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    return ::IsValidSid(sid) && ::CopySid(sizeof user, user, sid);
  }

  bool WellKnown(WELL_KNOWN_SID_TYPE type, unsigned char* out) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    return ::CreateWellKnownSid(type, nullptr, out, &size);
  }

  bool Build() {
    if (!UserSid() || !WellKnown(WinLocalSystemSid, system) ||
        !WellKnown(WinBuiltinAdministratorsSid, administrators))
      return false;
    auto* list = reinterpret_cast<ACL*>(acl);
    if (!::InitializeAcl(list, sizeof acl, ACL_REVISION)) return false;
    for (unsigned char* sid : {user, system, administrators})
      if (!::AddAccessAllowedAce(list, ACL_REVISION, GENERIC_ALL, sid)) return false;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE))
      return false;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return true;
  }
};

}  // namespace

SECURITY_ATTRIBUTES* OwnerOnlyAttributes() {
  // Built on first use (thread-safe), never destroyed: objects made during static destruction still
  // get it.
  static OwnerOnly* const owner_only = new OwnerOnly;
  return owner_only->built ? &owner_only->attributes : nullptr;
}

}  // namespace platform
