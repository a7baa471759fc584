#include <cstdint>
#include <string_view>

#include "os/os.h"
#include "os/win32/loaded_module.h"
#include "os/win32/system_functions.h"
#include "os/win32/windows_api.h"
#include "text/wide_text.h"

#include <winternl.h>  // after windows_api.h, which settles how <windows.h> is included

namespace os {

using win32::wide;

namespace {

// GCC 12 takes the read of the thread's block at gs:0x30 for an access through a null pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
[[gnu::noinline]] const PEB* own_process_block() { return NtCurrentTeb()->ProcessEnvironmentBlock; }
#pragma GCC diagnostic pop

}  // namespace

HMODULE win32::loaded_module_by_name(const char16_t* file_name) { return GetModuleHandleW(wide(file_name)); }

// Asking the loader by name makes Wine search the disk for each run-time that is not loaded: the
// seven names took 1.9 to 2.1 ms, at every setting of a variable, where the list takes a few
// microseconds. The list relies on what is not documented to stay: ntdll's LdrLockLoaderLock and
// LdrUnlockLoaderLock (exported since Windows XP, used by debuggers and profilers), and the
// loader's data as winternl.h declares it (the process block's Ldr, its InMemoryOrderModuleList,
// each entry's FullDllName and DllBase). Without the lock calls, or when the lock fails, the
// documented call answers instead.
HMODULE win32::loaded_module(const char16_t* file_name) {
  const win32::NtdllFunctions& ntdll = win32::ntdll_functions();
  ULONG_PTR cookie = 0;
  if (ntdll.lock_loader_lock == nullptr || ntdll.unlock_loader_lock == nullptr || ntdll.lock_loader_lock(0, nullptr, &cookie) != 0) {
    return loaded_module_by_name(file_name);
  }
  HMODULE found = nullptr;
  const LIST_ENTRY* const modules = &own_process_block()->Ldr->InMemoryOrderModuleList;
  for (const LIST_ENTRY* link = modules->Flink; link != modules && found == nullptr; link = link->Flink) {
    const auto* module = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    const std::u16string_view path(reinterpret_cast<const char16_t*>(module->FullDllName.Buffer),
                                   module->FullDllName.Length / sizeof(char16_t));
    const std::size_t separator = path.find_last_of(u'\\');
    const std::u16string_view file = separator == std::u16string_view::npos ? path : path.substr(separator + 1);
    if (text::equal_ignoring_case(file, file_name)) found = static_cast<HMODULE>(module->DllBase);
  }
  ntdll.unlock_loader_lock(0, cookie);
  return found;
}

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity) {
  return GetEnvironmentVariableW(wide(name), wide(buffer), capacity);
}

void set_environment_variable(const char16_t* name, const char16_t* value) {
  SetEnvironmentVariableW(wide(name), wide(value));
}

void runtime_put_environment(const char16_t* entry) { _wputenv(wide(entry)); }

PutEnvironmentFunction loaded_runtime_put_environment(const char16_t* module_name) {
  return win32::find_function<PutEnvironmentFunction>(win32::loaded_module(module_name), "_wputenv");
}

}  // namespace os
