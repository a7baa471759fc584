#include "platform/executable_path.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "os/os.h"
#include "platform/diagnostics.h"
#include "text/wide_text.h"

namespace platform {
namespace {

constexpr char16_t long_prefix[] = u"\\\\?\\";        // "\\?\"
constexpr char16_t unc_prefix[] = u"\\\\?\\UNC\\";    // "\\?\UNC\"
constexpr std::size_t long_prefix_length = std::size(long_prefix) - 1;
constexpr std::size_t unc_prefix_length = std::size(unc_prefix) - 1;

// Stops at the first difference, so a shorter path is never read past its terminator.
bool starts_with(const char16_t* path, const char16_t* prefix) {
  for (; *prefix != u'\0'; ++path, ++prefix) {
    if (*path != *prefix) return false;
  }
  return true;
}

// Moves the text that starts at from, terminator included, to the start of path.
void move_to_start(char16_t* path, std::size_t from, std::size_t capacity) {
  const std::size_t moved = text::bounded_length(path + from, capacity - from);
  if (moved >= capacity) abort_on_overflow();
  std::memmove(path, path + from, (moved + 1) * sizeof(char16_t));
}

char16_t* copy_of(const char16_t* text) {
  const std::size_t size = (text::bounded_length(text, SIZE_MAX) + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

}  // namespace

const char16_t* ExecutablePath::module_file_name() {
  if (module_file_name_[0] == u'\0' && os::module_file_name(module_file_name_, module_file_name_capacity) == 0) {
    abort_on_fault();
  }
  return module_file_name_;
}

const char16_t* ExecutablePath::executable_path(bool canonical) {
  char16_t* path = canonical ? canonical_path_ : plain_path_;
  if (path[0] != u'\0') return path;
  // A failure leaves the buffer empty, both steps keep an empty path as it is, and the next
  // request tries again.
  // A name without a terminator in the buffer makes either step abort.
  os::module_file_name(path, executable_path_capacity);
  if (canonical) resolve_final_path(path, executable_path_capacity);
  shorten_directory_part(path, executable_path_capacity);
  return path;
}

void resolve_final_path(char16_t* path, std::size_t capacity) {
  if (text::bounded_length(path, capacity) >= capacity) abort_on_overflow();
  const os::Handle file = os::open_for_query(path);
  if (file == os::invalid_handle) return;
  const std::uint32_t length = os::final_path(file, path, static_cast<std::uint32_t>(capacity));
  os::close_handle(file);
  if (length >= capacity) abort_on_overflow();
  // "\\?\C:\dir" becomes "C:\dir"; a volume name after the prefix keeps it.
  if (starts_with(path, long_prefix) && path[long_prefix_length] != u'\0' && path[long_prefix_length + 1] == u':') {
    move_to_start(path, long_prefix_length, capacity);
  }
  // "\\?\UNC\server\share" becomes "\\server\share": the text from the prefix's "C" on moves to
  // the start, and that "C" becomes the first of the two backslashes.
  if (starts_with(path, unc_prefix)) {
    move_to_start(path, unc_prefix_length - 2, capacity);
    path[0] = u'\\';
  }
}

void shorten_directory_part(char16_t* path, std::size_t capacity) {
  const std::size_t length = text::bounded_length(path, capacity);
  if (length >= capacity) abort_on_overflow();
  std::size_t separator = length;
  while (separator > 0 && path[separator - 1] != u'\\') --separator;
  char16_t* last_component = nullptr;
  if (separator > 0) {
    // Going on without the last component would turn a file's path into its directory's.
    last_component = copy_of(path + separator);
    if (last_component == nullptr) abort_on_fault();
    path[separator - 1] = u'\0';
  }

  // One query into room for the whole capacity: a short form that does not fit there could not
  // be kept anyway, and under Wine every query walks each level of the path again.
  const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(capacity, UINT32_MAX));
  auto* short_form = static_cast<char16_t*>(std::malloc(std::size_t{room} * sizeof(char16_t)));
  if (short_form == nullptr) abort_on_fault();
  // 0: no short form (the directory may have vanished), and the directory part stays as it was.
  const std::uint32_t short_length = os::short_path_name(path, short_form, room);
  if (short_length >= room) abort_on_overflow();  // the size that a short form too long needs
  if (short_length != 0) {
    std::memcpy(path, short_form, short_length * sizeof(char16_t));
    path[short_length] = u'\0';
  }
  std::free(short_form);

  if (last_component != nullptr) {
    append_bounded(path, u"\\", capacity);
    append_bounded(path, last_component, capacity);
    std::free(last_component);
  }
}

}  // namespace platform
