// The unpack loop: decodes the attached data's stream and writes every entry as a file below
// the unpack directory, creating directories on the way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "payload/attached_data.h"
#include "payload/payload_reader.h"

namespace payload {

enum class Role { parent, child };

// What the parent writes at the top of the unpack directory when the child runs outside any job
// and so may outlive the parent: the child's process id, in decimal. A later run's sweep leaves
// the directory while that child lives. The packer refuses a file of that name.
inline constexpr char16_t child_outside_job_name[] = u"zamrik-child.id";

enum class UnpackOutcome {
  unpacked,             // parent role: every entry written, the reader freed
  main_library_known,   // child role: stopped at the first entry, nothing created or decoded
  empty_table,          // either role: the table holds no entry
};

// What the run keeps of the unpack.
struct UnpackResult {
  // Set the moment the header is accepted, before anything is created; never reset. Read by the
  // parent's console handler on another thread.
  std::atomic<bool> cleanup_needed{false};
  // Parent role: set once the unpack directory has been made as a new directory, before the
  // first file is written. Only then is there a directory of this run's own to remove.
  std::atomic<bool> directory_created{false};
  // Parent role: set while the loop may create or write anything. Once the console handler sets
  // stop_writing, the loop closes its file between two writes, clears writing and writes
  // nothing more: the event's default course then ends the process.
  std::atomic<bool> writing{false};
  std::atomic<bool> stop_writing{false};
  // Parent role: how many threads decoded frames side by side; 0 when the one-stream loop did.
  std::atomic<std::uint32_t> decoding_threads{0};
  // The first entry's full path; empty until it is known.
  char16_t main_library_path[path_capacity] = {};
};

// The directories known to exist, in insertion order, the first of them the user's profile
// directory: at most 1024 heap copies, freed with the memo.
class DirectoryMemo {
 public:
  DirectoryMemo() = default;
  DirectoryMemo(const DirectoryMemo&) = delete;
  DirectoryMemo& operator=(const DirectoryMemo&) = delete;
  ~DirectoryMemo();

  // True when the directory exists or has been made. The first call learns the profile
  // directory, and ends the process when it cannot be found.
  bool ensure_directory(const char16_t* path);
  // Makes sure that the directory holding path exists, creating missing ancestors; reports
  // nothing.
  void ensure_parent_directories(const char16_t* path);
  // Makes path as a new directory that only the user may open, its missing ancestors as
  // ensure_parent_directories makes them; false when anything of that name exists already or
  // it cannot be made.
  bool create_new_directory(const char16_t* path);

 private:
  static constexpr int capacity = 1024;

  void learn_profile_directory();
  void remember(const char16_t* path);
  bool remembered(const char16_t* path) const;

  const char16_t* paths_[capacity] = {};
  int count_ = 0;
};

// The loop's working state: the decoder, the current entry's path and the directories known to
// exist. Its fixed buffers take some 50 KiB.
class Unpacker {
 public:
  // Writes the entries below unpack_directory, or in the child role only learns the main
  // library's path, and reports into result as it goes. Every failure ends the process with
  // the launcher's own message. In the child role the reader stays open until the unpacker goes.
  UnpackOutcome unpack_attached_data(AttachedData data, const char16_t* unpack_directory, Role role, UnpackResult& result);
  // A stream cut into frames is decoded by at most this many threads; 0: one per processor.
  void limit_workers(std::uint32_t workers) { worker_limit_ = workers; }

 private:
  void build_target_path(const char16_t* unpack_directory, const PayloadEntry& entry);
  void write_target_file(std::uint64_t size, UnpackResult& result);

  PayloadReader reader_;
  DirectoryMemo directories_;
  char16_t target_path_[path_capacity] = {};
  std::uint32_t worker_limit_ = 0;
};

}  // namespace payload
