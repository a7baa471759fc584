// The one place that includes <windows.h>. The core's char16_t text is the W functions'
// wchar_t text (same size, same encoding), so pointers are converted with wide() and text().
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX  // libstdc++ may have set it already
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

namespace os::win32 {

inline wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline char16_t* text(wchar_t* wide_text) { return reinterpret_cast<char16_t*>(wide_text); }

// A function of a loaded module, looked up at run time: null when the module or the function is
// missing.
template <typename Function>
Function find_function(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A library of the system directory, loaded at run time: null when it cannot be.
inline HMODULE load_system_library(const wchar_t* name) {
  wchar_t library[MAX_PATH];
  const UINT length = GetSystemDirectoryW(library, MAX_PATH);
  std::size_t name_length = 0;
  while (name[name_length] != L'\0') ++name_length;
  if (length == 0 || length + 1 + name_length >= MAX_PATH) return nullptr;
  library[length] = L'\\';
  for (std::size_t i = 0; i <= name_length; ++i) library[length + 1 + i] = name[i];
  return LoadLibraryW(library);
}

// A function of the security API, such as decltype(&OpenProcessToken). Importing advapi32 would
// cost every start of the launcher, the child's too, two more library loads (it brings sechost):
// about 2 ms each under Wine. kernelbase, in every process, has these functions since Windows 8;
// advapi32 is loaded only where it lacks one.
template <typename Function>
Function find_security_function(const char* name) {
  if (const auto function = find_function<Function>(GetModuleHandleW(L"kernelbase.dll"), name)) return function;
  return find_function<Function>(load_system_library(L"advapi32.dll"), name);
}

}  // namespace os::win32
