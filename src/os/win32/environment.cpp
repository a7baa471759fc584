#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "os/os.h"
#include "os/win32/windows_api.h"

namespace os {

using win32::wide;

namespace {

// Every setting asks for each C run-time of a list, most of which are not loaded, and asking for
// a module that is not loaded costs about 0.1 ms under Wine (it searches the disk): some
// milliseconds of every start. So answers are kept, and forgotten whenever the loader reports that
// a library came or went.
struct KnownRuntime {
  char16_t name[16];
  std::uint64_t generation;  // of the modules when looked up; 0 for a free slot
  PutEnvironmentFunction put;
};

constexpr int known_capacity = 8;
KnownRuntime known[known_capacity];
SRWLOCK known_lock = SRWLOCK_INIT;
// Starts at 1 and counts every load and unload reported; 0 while no report can come.
std::atomic<std::uint64_t> module_generation{0};
bool watch_tried = false;

void CALLBACK on_module_change(ULONG, const void*, void*) { module_generation.fetch_add(1); }

// Under known_lock, once.
void watch_module_changes() {
  if (watch_tried) return;
  watch_tried = true;
  using DllNotification = void(CALLBACK*)(ULONG, const void*, void*);
  using RegisterDllNotification = LONG(NTAPI*)(ULONG, DllNotification, void*, void**);
  const auto register_notification =
      win32::find_function<RegisterDllNotification>(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification");
  void* cookie = nullptr;  // kept registered for the life of the process
  if (register_notification != nullptr && register_notification(0, on_module_change, nullptr, &cookie) == 0) {
    module_generation.fetch_add(1);
  }
}

PutEnvironmentFunction look_up(const char16_t* module_name) {
  return win32::find_function<PutEnvironmentFunction>(GetModuleHandleW(wide(module_name)), "_wputenv");
}

}  // namespace

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, std::uint32_t capacity) {
  return GetEnvironmentVariableW(wide(name), wide(buffer), capacity);
}

void set_environment_variable(const char16_t* name, const char16_t* value) {
  SetEnvironmentVariableW(wide(name), wide(value));
}

void runtime_put_environment(const char16_t* entry) { _wputenv(wide(entry)); }

PutEnvironmentFunction loaded_runtime_put_environment(const char16_t* module_name) {
  using Traits = std::char_traits<char16_t>;
  const std::size_t length = Traits::length(module_name);
  if (length >= sizeof known[0].name / sizeof(char16_t)) return look_up(module_name);
  AcquireSRWLockExclusive(&known_lock);
  watch_module_changes();
  // Read before the lookup: a library that comes during it makes the answer stale at once.
  const std::uint64_t generation = module_generation.load();
  if (generation == 0) {  // no reports come: every answer may be stale
    ReleaseSRWLockExclusive(&known_lock);
    return look_up(module_name);
  }
  KnownRuntime* slot = nullptr;
  for (KnownRuntime& entry : known) {
    if (entry.generation != 0 && Traits::compare(entry.name, module_name, length + 1) == 0) {
      slot = &entry;
      break;
    }
    if (slot == nullptr && entry.generation == 0) slot = &entry;
  }
  PutEnvironmentFunction put = nullptr;
  if (slot != nullptr && slot->generation == generation) {
    put = slot->put;
  } else {
    put = look_up(module_name);
    if (slot != nullptr) {
      Traits::copy(slot->name, module_name, length + 1);
      slot->generation = generation;
      slot->put = put;
    }
  }
  ReleaseSRWLockExclusive(&known_lock);
  return put;
}

}  // namespace os
