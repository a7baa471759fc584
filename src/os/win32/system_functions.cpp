#include "os/win32/system_functions.h"

#include <cstddef>

namespace os::win32 {
namespace {

// A library of the system directory, loaded at run time: null when it cannot be.
HMODULE load_system_library(const wchar_t* name) {
  wchar_t library[MAX_PATH];
  const UINT length = GetSystemDirectoryW(library, MAX_PATH);
  std::size_t name_length = 0;
  while (name[name_length] != L'\0') ++name_length;
  if (length == 0 || length + 1 + name_length >= MAX_PATH) return nullptr;
  library[length] = L'\\';
  for (std::size_t i = 0; i <= name_length; ++i) library[length + 1 + i] = name[i];
  return LoadLibraryW(library);
}

// The module's export of that name into function, or null.
template <typename Function>
void find(Function& function, HMODULE module, const char* name) {
  function = find_function<Function>(module, name);
}

}  // namespace

const Kernel32Functions& kernel32_functions() {
  static const Kernel32Functions functions = [] {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    Kernel32Functions found{};
    find(found.get_final_path_name_by_handle, kernel32, "GetFinalPathNameByHandleW");
    find(found.get_module_file_name_ex, kernel32, "K32GetModuleFileNameExW");
    find(found.add_dll_directory, kernel32, "AddDllDirectory");
    return found;
  }();
  return functions;
}

const NtdllFunctions& ntdll_functions() {
  static const NtdllFunctions functions = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    NtdllFunctions found{};
    find(found.open_file, ntdll, "NtOpenFile");
    find(found.status_to_error, ntdll, "RtlNtStatusToDosError");
    find(found.lock_loader_lock, ntdll, "LdrLockLoaderLock");
    find(found.unlock_loader_lock, ntdll, "LdrUnlockLoaderLock");
    return found;
  }();
  return functions;
}

const SecurityFunctions& security_functions() {
  static const SecurityFunctions functions = [] {
    const HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
    HMODULE advapi32 = nullptr;
    const auto look_up = [&](auto& function, const char* name) {
      find(function, kernelbase, name);
      if (function != nullptr) return;
      if (advapi32 == nullptr) advapi32 = load_system_library(L"advapi32.dll");
      find(function, advapi32, name);
    };
    SecurityFunctions found{};
    look_up(found.open_process_token, "OpenProcessToken");
    look_up(found.get_token_information, "GetTokenInformation");
    look_up(found.initialize_acl, "InitializeAcl");
    look_up(found.add_access_allowed_ace_ex, "AddAccessAllowedAceEx");
    look_up(found.initialize_security_descriptor, "InitializeSecurityDescriptor");
    look_up(found.set_security_descriptor_dacl, "SetSecurityDescriptorDacl");
    look_up(found.set_security_descriptor_control, "SetSecurityDescriptorControl");
    look_up(found.get_kernel_object_security, "GetKernelObjectSecurity");
    look_up(found.get_security_descriptor_owner, "GetSecurityDescriptorOwner");
    look_up(found.equal_sid, "EqualSid");
    return found;
  }();
  return functions;
}

GetUserProfileDirectoryFunction get_user_profile_directory() {
  static const auto function = find_function<GetUserProfileDirectoryFunction>(load_system_library(L"userenv.dll"),
                                                                              "GetUserProfileDirectoryW");
  return function;
}

GetFolderPathFunction get_folder_path() {
  static const auto function = find_function<GetFolderPathFunction>(load_system_library(L"shell32.dll"), "SHGetFolderPathW");
  return function;
}

MessageBoxFunction message_box() {
  static const auto function = find_function<MessageBoxFunction>(load_system_library(L"user32.dll"), "MessageBoxW");
  return function;
}

}  // namespace os::win32
