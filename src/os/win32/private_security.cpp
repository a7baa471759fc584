#include "os/win32/private_security.h"
#include "os/win32/system_functions.h"

namespace os::win32 {

bool make_private_security(PrivateSecurity& security) {
  const SecurityFunctions& call = security_functions();
  if (!call.complete()) return false;

  HANDLE token = nullptr;
  if (!call.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const BOOL known = call.get_token_information(token, TokenUser, &security.token_user, sizeof security.token_user, &size);
  CloseHandle(token);
  if (!known) return false;
  // Without the protection, entries of a shared temporary folder that let others in would be
  // inherited.
  return call.initialize_acl(&security.acl.header, sizeof security.acl, ACL_REVISION) &&
         call.add_access_allowed_ace_ex(&security.acl.header, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                        FILE_ALL_ACCESS, security.token_user.user.User.Sid) &&
         call.initialize_security_descriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         call.set_security_descriptor_dacl(&security.descriptor, TRUE, &security.acl.header, FALSE) &&
         call.set_security_descriptor_control(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool owned_by_process_user(HANDLE object) {
  const SecurityFunctions& call = security_functions();
  if (!call.complete()) return false;
  struct {
    TOKEN_USER user;
    unsigned char sid[SECURITY_MAX_SID_SIZE];
  } token_user;
  HANDLE token = nullptr;
  if (!call.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const BOOL known = call.get_token_information(token, TokenUser, &token_user, sizeof token_user, &size);
  CloseHandle(token);
  if (!known) return false;
  // An owner and no access list: a few hundred bytes at most.
  alignas(8) unsigned char descriptor[1024];
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return call.get_kernel_object_security(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &size) &&
         call.get_security_descriptor_owner(descriptor, &owner, &defaulted) && owner != nullptr &&
         call.equal_sid(owner, token_user.user.User.Sid);
}

}  // namespace os::win32
