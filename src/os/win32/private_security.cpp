#include "os/win32/private_security.h"

namespace os::win32 {

bool make_private_security(PrivateSecurity& security) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const BOOL known = GetTokenInformation(token, TokenUser, &security.token_user, sizeof security.token_user, &size);
  CloseHandle(token);
  if (!known) return false;
  // Without the protection, entries of a shared temporary folder that let others in would be
  // inherited.
  return InitializeAcl(&security.acl.header, sizeof security.acl, ACL_REVISION) &&
         AddAccessAllowedAceEx(&security.acl.header, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                               security.token_user.user.User.Sid) &&
         InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&security.descriptor, TRUE, &security.acl.header, FALSE) &&
         SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace os::win32
