// The unpack loop: decodes the attached data's stream and writes every entry as a file below
// the unpack directory, creating directories on the way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "payload/attached_data.h"

namespace payload {

enum class Role { parent, child };

// Set once the header is accepted, before anything is created; never reset. Read by the
// parent's console handler on another thread.
extern std::atomic<bool> cleanup_needed;
// The first entry's full path; empty until it is known.
extern char16_t main_library_path[path_capacity];

enum class UnpackOutcome {
  unpacked,             // parent role: every entry written, the reader freed
  main_library_known,   // child role: stopped at the first entry, nothing created or decoded
  empty_table,          // either role: the table holds no entry
};

// Every failure ends the process with the launcher's own message.
UnpackOutcome unpack_attached_data(AttachedData data, const char16_t* unpack_directory, Role role);

// For a driver that runs many unpacks in one process (the fuzz targets), where an ending did not
// end the process: frees the reader that the ended run left open and forgets main_library_path,
// cleanup_needed and the directories known to exist. The launcher never calls it.
void reset_unpack_state();
void forget_known_directories();

bool ensure_directory(const char16_t* path);
void ensure_parent_directories(const char16_t* path);

}  // namespace payload
