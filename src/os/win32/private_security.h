// The security of a directory that only the user running the process may open, apart so that
// the Windows tests can check what is passed to the system even where the system (Wine) keeps
// no access lists.
#pragma once

#include "os/win32/windows_api.h"

namespace os::win32 {

// A descriptor whose one access entry lets this user do everything and is handed down to what
// is made below, and which takes nothing from the directory above. It points into itself, so
// it stays where it was made.
struct PrivateSecurity {
  struct {
    TOKEN_USER user;
    unsigned char sid[SECURITY_MAX_SID_SIZE];
  } token_user;
  struct {
    ACL header;
    ACCESS_ALLOWED_ACE entry;
    unsigned char sid[SECURITY_MAX_SID_SIZE];
  } acl;
  SECURITY_DESCRIPTOR descriptor;

  PrivateSecurity() = default;
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;
};

// Fills security for the user of the process token; false when that cannot be done.
bool make_private_security(PrivateSecurity& security);

// Whether the object's owner is the user of the process token; false when either cannot be read.
bool owned_by_process_user(HANDLE object);

}  // namespace os::win32
