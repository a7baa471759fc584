#include "platform/environment.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "os/os.h"
#include "platform/diagnostics.h"
#include "text/wide_text.h"

namespace platform {
namespace {

constexpr std::size_t entry_name_capacity = 64;
constexpr std::uint32_t read_capacity = 32768;

// Every Microsoft C run-time that may sit in the process with its own copy of the environment.
constexpr const char16_t* runtime_modules[] = {
    u"ucrtbase.dll", u"msvcrt.dll",   u"msvcr80.dll",  u"msvcr90.dll",
    u"msvcr100.dll", u"msvcr110.dll", u"msvcr120.dll",
};

// A run-time may keep the very entry it is given, so entries live as long as the process. Each
// block starts with a link to the one before, which keeps them all in sight of leak checkers.
void* kept_entries = nullptr;

char16_t* allocate_kept_entry(std::size_t units) {
  void** block = static_cast<void**>(std::malloc(sizeof(void*) + units * sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  block[0] = kept_entries;
  kept_entries = block;
  return reinterpret_cast<char16_t*>(block + 1);
}

}  // namespace

void widen_ascii_append(char16_t* destination, const char* source, std::size_t capacity) {
  const std::size_t length = text::bounded_length(destination, capacity);
  if (length == capacity) abort_on_overflow();
  std::size_t room = capacity - length;
  char16_t* out = destination + length;
  for (; *source != '\0'; ++source) {
    const auto byte = static_cast<unsigned char>(*source);
    if (byte >= 0x80) abort_on_fault();
    if (room <= 1) abort_on_overflow();
    *out++ = static_cast<char16_t>(byte);
    *out = u'\0';
    --room;
  }
}

char16_t* get_environment_value(const char16_t* name) {
  char16_t buffer[read_capacity];
  const std::uint32_t length = os::get_environment_variable(name, buffer, read_capacity);
  if (length == 0 || length >= read_capacity) return nullptr;
  auto* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, buffer, (length + 1) * sizeof(char16_t));
  return copy;
}

void set_environment_value(const char* name, const char16_t* value) {
  char16_t wide_name[variable_name_capacity] = {};
  widen_ascii_append(wide_name, name, variable_name_capacity);
  os::set_environment_variable(wide_name, value);
  propagate_to_runtimes(name, value);
}

void remove_environment_value(const char* name) {
  char16_t wide_name[variable_name_capacity] = {};
  widen_ascii_append(wide_name, name, variable_name_capacity);
  os::set_environment_variable(wide_name, nullptr);
  propagate_to_runtimes(name, u"");
}

void propagate_to_runtimes(const char* name, const char16_t* value) {
  char16_t wide_name[entry_name_capacity] = {};
  widen_ascii_append(wide_name, name, entry_name_capacity);
  if (value == nullptr) value = u"";
  const std::size_t name_length = std::char_traits<char16_t>::length(wide_name);
  const std::size_t value_length = std::char_traits<char16_t>::length(value);
  char16_t* entry = allocate_kept_entry(name_length + value_length + 2);
  // Carrying on would leave the run-times with a value that differs from the process's.
  if (entry == nullptr) abort_on_fault();
  std::memcpy(entry, wide_name, name_length * sizeof(char16_t));
  entry[name_length] = u'=';
  std::memcpy(entry + name_length + 1, value, value_length * sizeof(char16_t));
  entry[name_length + 1 + value_length] = u'\0';

  os::runtime_put_environment(entry);
  for (const char16_t* module : runtime_modules) {
    if (os::PutEnvironmentFunction put = os::loaded_runtime_put_environment(module)) put(entry);
  }
}

}  // namespace platform
