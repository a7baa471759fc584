#include "platform/remove_tree.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/os.h"
#include "platform/diagnostics.h"

namespace platform {
namespace {

constexpr std::size_t path_capacity = 4096;

// One walk shares a single path buffer, grown and cut back as it descends, and a single name
// buffer, so a level of the tree costs a small frame: a tree thousands of levels deep would
// otherwise exhaust the stack of the thread that removes it.
struct Walk {
  char16_t path[path_capacity];
  std::size_t length;  // of the text in path
  char16_t name[os::find_name_capacity];
  os::FileKind kind;  // of the entry named, as the listing tells it
  const RemovalLimits* limits;  // null: never give up

  // Whether a path of that length and its terminator fit. An unlimited walk ends the process
  // when they do not, as every bounded text does.
  bool fits(std::size_t length) const {
    if (length < path_capacity) return true;
    if (limits == nullptr) abort_on_overflow();
    return false;
  }

  bool given_up() const { return limits != nullptr && limits->reached(); }
};

bool is_dot_or_dot_dot(const char16_t* name) {
  return name[0] == u'.' && (name[1] == u'\0' || (name[1] == u'.' && name[2] == u'\0'));
}

// A file, or a link of either kind, goes as itself: a link's target is never touched.
bool remove_single(const char16_t* path, os::FileKind kind) {
  return kind == os::FileKind::directory_link ? os::remove_directory(path) : os::delete_file(path);
}

bool remove_entry(Walk& walk, os::FileKind kind);

// Removes what walk.path holds, a real directory, and everything below it.
bool remove_directory_tree(Walk& walk) {
  const std::size_t length = walk.length;
  if (!walk.fits(length + 2)) return false;
  append_bounded(walk.path, u"\\*", path_capacity);
  const os::Handle search = os::find_first_file(walk.path, walk.name, &walk.kind);
  walk.path[length] = u'\0';
  if (search == os::invalid_handle) return false;

  bool ok = true;
  do {
    if (is_dot_or_dot_dot(walk.name)) continue;
    if (walk.given_up()) {
      ok = false;
      break;
    }
    const std::size_t name_length = std::char_traits<char16_t>::length(walk.name);
    if (!walk.fits(length + 1 + name_length)) {
      ok = false;
      continue;
    }
    append_bounded(walk.path, u"\\", path_capacity);
    append_bounded(walk.path, walk.name, path_capacity);
    walk.length = length + 1 + name_length;
    // A failed entry does not stop the others.
    ok = remove_entry(walk, walk.kind) && ok;
    walk.length = length;
    walk.path[length] = u'\0';
  } while (os::find_next_file(search, walk.name, &walk.kind));
  os::find_close(search);
  return os::remove_directory(walk.path) && ok;
}

// The listing's kind spares a query per entry. An entry that went away after the listing (the
// console handler and the main thread may both be removing the tree) counts as removed, as it
// would have had it been asked about first.
bool remove_entry(Walk& walk, os::FileKind kind) {
  if (kind == os::FileKind::none) return true;
  if (kind == os::FileKind::unreadable) return false;
  const bool removed = kind == os::FileKind::directory ? remove_directory_tree(walk) : remove_single(walk.path, kind);
  return removed || os::file_kind(walk.path) == os::FileKind::none;
}

bool remove_tree_walk(const char16_t* path, const RemovalLimits* limits) {
  const os::FileKind kind = os::file_kind(path);
  if (kind == os::FileKind::none) return true;
  // Denied access is no proof that the path is gone, and the callers stop retrying on true.
  if (kind == os::FileKind::unreadable) return false;
  // A file or link goes by the path as given, whatever its length.
  if (kind != os::FileKind::directory) return remove_single(path, kind);
  Walk walk;
  walk.limits = limits;
  walk.length = std::char_traits<char16_t>::length(path);
  if (!walk.fits(walk.length)) return false;
  walk.path[0] = u'\0';
  append_bounded(walk.path, path, path_capacity);
  return remove_directory_tree(walk);
}

}  // namespace

bool RemovalLimits::reached() const {
  return (stop != nullptr && stop->load()) || os::monotonic_milliseconds() > deadline;
}

bool remove_tree(const char16_t* path) { return remove_tree_walk(path, nullptr); }

bool remove_tree(const char16_t* path, const RemovalLimits& limits) { return remove_tree_walk(path, &limits); }

}  // namespace platform
