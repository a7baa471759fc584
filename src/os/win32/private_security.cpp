#include "os/win32/private_security.h"

namespace os::win32 {

bool make_private_security(PrivateSecurity& security) {
  const auto open_process_token = find_security_function<decltype(&OpenProcessToken)>("OpenProcessToken");
  const auto get_token_information = find_security_function<decltype(&GetTokenInformation)>("GetTokenInformation");
  const auto initialize_acl = find_security_function<decltype(&InitializeAcl)>("InitializeAcl");
  const auto add_allowed_entry = find_security_function<decltype(&AddAccessAllowedAceEx)>("AddAccessAllowedAceEx");
  const auto initialize_descriptor =
      find_security_function<decltype(&InitializeSecurityDescriptor)>("InitializeSecurityDescriptor");
  const auto set_descriptor_dacl = find_security_function<decltype(&SetSecurityDescriptorDacl)>("SetSecurityDescriptorDacl");
  const auto set_descriptor_control =
      find_security_function<decltype(&SetSecurityDescriptorControl)>("SetSecurityDescriptorControl");
  if (open_process_token == nullptr || get_token_information == nullptr || initialize_acl == nullptr ||
      add_allowed_entry == nullptr || initialize_descriptor == nullptr || set_descriptor_dacl == nullptr ||
      set_descriptor_control == nullptr) {
    return false;
  }

  HANDLE token = nullptr;
  if (!open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const BOOL known = get_token_information(token, TokenUser, &security.token_user, sizeof security.token_user, &size);
  CloseHandle(token);
  if (!known) return false;
  // Without the protection, entries of a shared temporary folder that let others in would be
  // inherited.
  return initialize_acl(&security.acl.header, sizeof security.acl, ACL_REVISION) &&
         add_allowed_entry(&security.acl.header, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                           security.token_user.user.User.Sid) &&
         initialize_descriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         set_descriptor_dacl(&security.descriptor, TRUE, &security.acl.header, FALSE) &&
         set_descriptor_control(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool owned_by_process_user(HANDLE object) {
  const auto open_process_token = find_security_function<decltype(&OpenProcessToken)>("OpenProcessToken");
  const auto get_token_information = find_security_function<decltype(&GetTokenInformation)>("GetTokenInformation");
  const auto get_object_security = find_security_function<decltype(&GetKernelObjectSecurity)>("GetKernelObjectSecurity");
  const auto get_owner = find_security_function<decltype(&GetSecurityDescriptorOwner)>("GetSecurityDescriptorOwner");
  const auto equal_sid = find_security_function<decltype(&EqualSid)>("EqualSid");
  if (open_process_token == nullptr || get_token_information == nullptr || get_object_security == nullptr ||
      get_owner == nullptr || equal_sid == nullptr) {
    return false;
  }
  struct {
    TOKEN_USER user;
    unsigned char sid[SECURITY_MAX_SID_SIZE];
  } token_user;
  HANDLE token = nullptr;
  if (!open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const BOOL known = get_token_information(token, TokenUser, &token_user, sizeof token_user, &size);
  CloseHandle(token);
  if (!known) return false;
  // An owner and no access list: a few hundred bytes at most.
  alignas(8) unsigned char descriptor[1024];
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return get_object_security(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &size) &&
         get_owner(descriptor, &owner, &defaulted) && owner != nullptr && equal_sid(owner, token_user.user.User.Sid);
}

}  // namespace os::win32
