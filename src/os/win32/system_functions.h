// Every system function that the Windows backend looks up at run time instead of importing it.
// The launcher imports kernel32 and the C run-time alone: a static import that a system lacks
// stops the launcher before it starts, and every library imported is loaded at every start, the
// child's included. So these are looked up, each once, on first use, and are null where the
// system has none:
//   kernel32  calls that older systems lack (Vista: the final path, the psapi call in kernel32,
//             the library directories)
//   ntdll     calls that no import library names (opening by a directory handle, the loader
//             lock)
//   security  kernelbase's from Windows 8 on; advapi32 (with sechost, about 2 ms each under Wine)
//             is loaded only where kernelbase lacks one
//   userenv, shell32, user32: loaded from the system directory only when a folder or a message
//             box is asked for
// Exports of modules that are not the system's (a C run-time's _wputenv, a main library's
// entry) are found with find_function where they are used.
#pragma once

#include "os/win32/windows_api.h"

// After windows.h, which it needs.
#include <winternl.h>

namespace os::win32 {

struct Kernel32Functions {
  DWORD(WINAPI* get_final_path_name_by_handle)(HANDLE, LPWSTR, DWORD, DWORD);  // GetFinalPathNameByHandleW
  DWORD(WINAPI* get_module_file_name_ex)(HANDLE, HMODULE, LPWSTR, DWORD);      // K32GetModuleFileNameExW
  DLL_DIRECTORY_COOKIE(WINAPI* add_dll_directory)(PCWSTR);                     // AddDllDirectory
};
const Kernel32Functions& kernel32_functions();

struct NtdllFunctions {
  NTSTATUS(NTAPI* open_file)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, ULONG, ULONG);  // NtOpenFile
  ULONG(NTAPI* status_to_error)(NTSTATUS);                                                          // RtlNtStatusToDosError
  LONG(NTAPI* lock_loader_lock)(ULONG, ULONG*, ULONG_PTR*);                                         // LdrLockLoaderLock
  LONG(NTAPI* unlock_loader_lock)(ULONG, ULONG_PTR);                                                // LdrUnlockLoaderLock
};
const NtdllFunctions& ntdll_functions();

struct SecurityFunctions {
  decltype(&OpenProcessToken) open_process_token;
  decltype(&GetTokenInformation) get_token_information;
  decltype(&InitializeAcl) initialize_acl;
  decltype(&AddAccessAllowedAceEx) add_access_allowed_ace_ex;
  decltype(&InitializeSecurityDescriptor) initialize_security_descriptor;
  decltype(&SetSecurityDescriptorDacl) set_security_descriptor_dacl;
  decltype(&SetSecurityDescriptorControl) set_security_descriptor_control;
  decltype(&GetKernelObjectSecurity) get_kernel_object_security;
  decltype(&GetSecurityDescriptorOwner) get_security_descriptor_owner;
  decltype(&EqualSid) equal_sid;

  // Whether every one was found: the security calls are used together or not at all.
  bool complete() const {
    return open_process_token && get_token_information && initialize_acl && add_access_allowed_ace_ex &&
           initialize_security_descriptor && set_security_descriptor_dacl && set_security_descriptor_control &&
           get_kernel_object_security && get_security_descriptor_owner && equal_sid;
  }
};
const SecurityFunctions& security_functions();

// userenv's GetUserProfileDirectoryW.
using GetUserProfileDirectoryFunction = BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD);
GetUserProfileDirectoryFunction get_user_profile_directory();
// shell32's SHGetFolderPathW.
using GetFolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
GetFolderPathFunction get_folder_path();
// user32's MessageBoxW.
using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
MessageBoxFunction message_box();

// A function that a loaded module exports, by name or ordinal: null when the module or the
// function is missing.
template <typename Function>
Function find_function(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace os::win32
