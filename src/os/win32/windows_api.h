// The one place that includes <windows.h>. The core's char16_t text is the W functions'
// wchar_t text (same size, same encoding), so pointers are converted with wide() and text().
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX  // libstdc++ may have set it already
#define NOMINMAX
#endif
#include <windows.h>

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

}  // namespace os::win32
