#include <cstdlib>
#include <cstring>
#include <string_view>

#include "os/os.h"
#include "payload/unpack.h"
#include "platform/diagnostics.h"
#include "path_template/expand_path_template.h"

namespace payload {
namespace {

// The index of the last "\" after the first code unit, or 0 when there is none.
std::size_t last_separator(const char16_t* path, std::size_t length) {
  while (length > 1) {
    if (path[--length] == u'\\') return length;
  }
  return 0;
}

}  // namespace

DirectoryMemo::~DirectoryMemo() {
  for (int i = 0; i < count_; ++i) std::free(const_cast<char16_t*>(paths_[i]));
}

void DirectoryMemo::remember(const char16_t* path) {
  if (count_ >= capacity) return;
  const std::size_t size = (std::u16string_view(path).size() + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::malloc(size));
  if (copy == nullptr) return;  // not remembered: the directory is only asked for again
  std::memcpy(copy, path, size);
  paths_[count_++] = copy;
}

bool DirectoryMemo::remembered(const char16_t* path) const {
  for (int i = 0; i < count_; ++i) {
    if (std::u16string_view(paths_[i]) == path) return true;
  }
  return false;
}

void DirectoryMemo::learn_profile_directory() {
  static constexpr char16_t home_spec[] = u"{HOME}";
  char16_t home[path_capacity] = {};
  if (!path_template::expand_path_template(home, home_spec, path_capacity)) platform::fail_path_template_expansion(home_spec);
  remember(home);
}

bool DirectoryMemo::ensure_directory(const char16_t* path) {
  if (count_ == 0) learn_profile_directory();
  if (remembered(path)) return true;
  if (path[0] != u'\0' && path[1] == u':' && path[2] == u'\0') return true;  // a drive such as "C:"
  if (os::create_directory(path) == os::CreateDirectoryResult::failed) return false;
  remember(path);
  return true;
}

bool DirectoryMemo::create_new_directory(const char16_t* path) {
  ensure_parent_directories(path);
  if (count_ == 0) learn_profile_directory();
  if (os::create_private_directory(path) != os::CreateDirectoryResult::created) return false;
  remember(path);
  return true;
}

// The parent is tried first; only when it cannot be made are its ancestors tried, nearest
// first, and then the missing levels are made top-down. A loop instead of one recursion per
// level keeps the stack small for a path of thousands of levels.
void DirectoryMemo::ensure_parent_directories(const char16_t* path) {
  char16_t directory[path_capacity];
  directory[0] = u'\0';
  platform::append_bounded(directory, path, path_capacity);
  std::size_t length = std::u16string_view(directory).size();

  std::size_t missing = 0;
  bool reached_top = false;
  for (;;) {
    const std::size_t separator = last_separator(directory, length);
    if (separator == 0) {
      reached_top = true;
      break;
    }
    directory[separator] = u'\0';
    length = separator;
    if (ensure_directory(directory)) break;
    ++missing;
  }
  if (missing == 0) return;
  // The topmost level tried had no parent left to make: it is tried once more as it stands.
  if (reached_top) {
    ensure_directory(directory);
    --missing;
  }
  for (; missing > 0; --missing) {
    directory[length] = u'\\';
    length += std::u16string_view(directory + length).size();
    ensure_directory(directory);
  }
}

}  // namespace payload
