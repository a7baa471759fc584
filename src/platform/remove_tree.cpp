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
  char16_t name[os::entry_name_capacity];
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

bool remove_entry(Walk& walk, os::Handle parent, os::FileKind kind);

// Removes everything below the open directory whose path walk.path holds. Every entry is
// opened and removed relative to the directory's handle, never by a path that could lead
// through a directory swapped for a link meanwhile; walk.path only measures the limits.
bool remove_contents(Walk& walk, os::Handle directory) {
  const std::size_t length = walk.length;
  if (!walk.fits(length + 2)) return false;
  const os::Handle listing = os::list_open_directory(directory, walk.name, &walk.kind);
  if (listing == os::invalid_handle) return false;

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
    ok = remove_entry(walk, directory, walk.kind) && ok;
    walk.length = length;
    walk.path[length] = u'\0';
  } while (os::next_entry(listing, walk.name, &walk.kind));
  os::close_listing(listing);
  return ok;
}

// The entry whose name ends walk.path, in the open directory parent. The listing's kind spares
// an open per file; a directory is opened, and what its handle shows decides: a name swapped
// for a file or a link after the listing goes as itself. An entry that went away after the
// listing (the console handler and the main thread may both be removing the tree) counts as
// removed.
bool remove_entry(Walk& walk, os::Handle parent, os::FileKind kind) {
  if (kind == os::FileKind::none) return true;
  if (kind == os::FileKind::unreadable) return false;
  // The recursion writes behind it, never over it.
  const char16_t* name = walk.path + walk.length - std::char_traits<char16_t>::length(walk.name);
  if (kind != os::FileKind::directory) return os::remove_at(parent, name);
  if (!walk.fits(walk.length + 2)) return false;
  os::FileKind found = os::FileKind::none;
  const os::Handle directory = os::open_directory(parent, name, &found);
  if (directory == os::invalid_handle) {
    if (found == os::FileKind::none) return true;
    return found != os::FileKind::unreadable && os::remove_at(parent, name);
  }
  const bool ok = remove_contents(walk, directory);
  os::close_directory(directory);
  return os::remove_at(parent, name) && ok;
}

// The top directory, open as directory, goes by its path once it is empty: a path the caller
// gave.
bool remove_open_tree_walk(os::Handle directory, const char16_t* path, const RemovalLimits* limits) {
  Walk walk;
  walk.limits = limits;
  walk.length = std::char_traits<char16_t>::length(path);
  // A directory that cannot be listed stays, whatever it holds.
  if (!walk.fits(walk.length) || !walk.fits(walk.length + 2)) return false;
  walk.path[0] = u'\0';
  append_bounded(walk.path, path, path_capacity);
  const bool ok = remove_contents(walk, directory);
  return os::remove_directory(path) && ok;
}

bool remove_tree_walk(const char16_t* path, const RemovalLimits* limits) {
  os::FileKind kind = os::FileKind::none;
  const os::Handle directory = os::open_directory(os::invalid_handle, path, &kind);
  if (directory == os::invalid_handle) {
    if (kind == os::FileKind::none) return true;
    // Denied access is no proof that the path is gone, and the callers stop retrying on true.
    if (kind == os::FileKind::unreadable) return false;
    // A file or link goes by the path as given, whatever its length.
    return remove_single(path, kind);
  }
  const bool removed = remove_open_tree_walk(directory, path, limits);
  os::close_directory(directory);
  return removed;
}

}  // namespace

bool RemovalLimits::reached() const {
  return (stop != nullptr && stop->load()) || os::monotonic_milliseconds() > deadline;
}

bool remove_tree(const char16_t* path) { return remove_tree_walk(path, nullptr); }

bool remove_tree(const char16_t* path, const RemovalLimits& limits) { return remove_tree_walk(path, &limits); }

bool remove_open_tree(os::Handle directory, const char16_t* path, const RemovalLimits& limits) {
  return remove_open_tree_walk(directory, path, &limits);
}

}  // namespace platform
