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

// CreateFileW's answer as the launcher's handles have it: null on failure.
inline HANDLE null_on_failure(HANDLE file) { return file == INVALID_HANDLE_VALUE ? nullptr : file; }

}  // namespace os::win32
