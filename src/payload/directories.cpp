#include <cstdlib>
#include <cstring>
#include <string_view>

#include "os/os.h"
#include "payload/unpack.h"
#include "platform/diagnostics.h"
#include "path_template/expand_path_template.h"

namespace payload {
namespace {

// Directories known to exist, in insertion order; the first is the user's profile directory.
// Entries are never removed or freed.
constexpr int directory_memo_capacity = 1024;
const char16_t* directory_memo[directory_memo_capacity];
int directory_memo_count = 0;

void remember(const char16_t* path) {
  if (directory_memo_count >= directory_memo_capacity) return;
  const std::size_t size = (std::u16string_view(path).size() + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::malloc(size));
  if (copy == nullptr) return;  // not remembered: the directory is only asked for again
  std::memcpy(copy, path, size);
  directory_memo[directory_memo_count++] = copy;
}

bool remembered(const char16_t* path) {
  for (int i = 0; i < directory_memo_count; ++i) {
    if (std::u16string_view(directory_memo[i]) == path) return true;
  }
  return false;
}

// The index of the last "\" after the first code unit, or 0 when there is none.
std::size_t last_separator(const char16_t* path, std::size_t length) {
  while (length > 1) {
    if (path[--length] == u'\\') return length;
  }
  return 0;
}

}  // namespace

bool ensure_directory(const char16_t* path) {
  if (directory_memo_count == 0) {
    static constexpr char16_t home_spec[] = u"{HOME}";
    char16_t home[path_capacity] = {};
    if (!path_template::expand_path_template(home, home_spec, path_capacity)) platform::fail_path_template_expansion(home_spec);
    remember(home);
  }
  if (remembered(path)) return true;
  if (path[0] != u'\0' && path[1] == u':' && path[2] == u'\0') return true;  // a drive such as "C:"
  if (os::create_directory(path) == os::CreateDirectoryResult::failed) return false;
  remember(path);
  return true;
}

// The parent is tried first; only when it cannot be made are its ancestors tried, nearest
// first, and then the missing levels are made top-down. A loop instead of one recursion per
// level keeps the stack small for a path of thousands of levels.
void ensure_parent_directories(const char16_t* path) {
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

void forget_known_directories() {
  for (int i = 0; i < directory_memo_count; ++i) std::free(const_cast<char16_t*>(directory_memo[i]));
  directory_memo_count = 0;
}

}  // namespace payload
