#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

namespace platform {

// Removes a file, or a directory with everything below it, without following links. True
// when nothing that this call should have removed is left: a path counts as gone only when the
// system says that nothing has its name.
bool remove_tree(const char16_t* path);

// What a removal that must never end the process gives up on: it stops before the next entry
// once *stop is set (when given) or os::monotonic_milliseconds() has passed deadline, and it
// leaves any part of the tree whose path does not fit its buffer.
struct RemovalLimits {
  const std::atomic<bool>* stop = nullptr;
  std::uint64_t deadline = UINT64_MAX;

  bool reached() const;
};
// remove_tree within the limits: false as well when it gave up on something.
bool remove_tree(const char16_t* path, const RemovalLimits& limits);
// remove_tree within the limits for a directory that the caller opened and checked
// (os::open_directory): what lies below it goes through the handle, which stays the caller's,
// and then the directory by its path.
bool remove_open_tree(os::Handle directory, const char16_t* path, const RemovalLimits& limits);

}  // namespace platform
