#include "payload/unpack.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "os/os.h"
#include "payload/contained_path.h"
#include "payload/frame_unpack.h"
#include "platform/diagnostics.h"

namespace payload {
namespace {

[[noreturn]] void header_error() { platform::fatal_exit(platform::message::header); }

// Between two writes: once the console handler asks, the loop closes its file and waits for the
// process to end, so that the handler's removal finds every file closed and no new one comes.
void stop_if_asked(UnpackResult& result, os::Handle file) {
  if (!result.stop_writing.load()) return;
  if (file != os::invalid_handle) os::close_handle(file);
  result.writing.store(false);
  for (;;) os::sleep_milliseconds(1000);
}

}  // namespace

void Unpacker::build_target_path(const char16_t* unpack_directory, const PayloadEntry& entry) {
  // The directory and "\" not fitting would be a fault of ours. An entry that does not fit behind
  // them is an inconsistent table; and though the table is the launcher's own data, nothing may
  // lead a write or the main library's load out of the unpack directory.
  const std::size_t length = std::char_traits<char16_t>::length(unpack_directory);
  if (length + 2 > path_capacity) platform::abort_on_fault();
  if (!join_target_path(unpack_directory, length, entry, target_path_)) header_error();
}

// An entry of size 0 creates an empty file, or empties an existing one, without decoding. A
// failure closes the file before the process ends: the launcher's clean-up could not remove
// a file that is still open.
void Unpacker::write_target_file(std::uint64_t size, UnpackResult& result) {
  const os::Handle file = os::create_file_for_writing(target_path_);
  if (file == os::invalid_handle) platform::fail_open_for_writing(target_path_);
  while (size > 0) {
    stop_if_asked(result, file);
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk_size));
    // The most that one write takes is what a read that has to wait waits for.
    const std::uint8_t* const bytes =
        reader_.read_payload(chunk, static_cast<std::size_t>(std::min<std::uint64_t>(size, longest_wait)));
    if (bytes == nullptr) {
      os::close_handle(file);
      platform::fatal_exit(platform::message::decode);
    }
    // Chunks that are decoded already go out in the same call: fewer calls, and as every byte
    // of them is decoded, a write failure among them comes where the chunk-by-chunk loop met it.
    std::size_t run = chunk;
    if (chunk == chunk_size) {
      const auto most = static_cast<std::size_t>(std::min<std::uint64_t>(size - chunk, longest_wait - chunk));
      run += reader_.read_decoded_behind(bytes + chunk, most);
    }
    if (!os::write_file(file, bytes, static_cast<std::uint32_t>(run))) {
      const std::uint32_t error = os::last_error();
      os::close_handle(file);
      platform::fail_with_system_error(platform::message::unpack_write, error);
    }
    size -= run;
  }
  // Some systems report at the close that written data did not arrive.
  if (!os::close_handle(file)) platform::fail_with_system_error(platform::message::unpack_write, os::last_error());
}

UnpackOutcome Unpacker::unpack_attached_data(AttachedData data, const char16_t* unpack_directory, Role role,
                                             UnpackResult& result) {
  const AttachedDataHeader header = read_attached_data_header(data);
  result.cleanup_needed = true;
  // A stream cut into frames whose table holds together is decoded on every core; anything else
  // goes through the one loop below, which finds damage as it always has.
  if (role == Role::parent && unpack_frames(header, unpack_directory, worker_limit_, directories_, result)) {
    result.writing.store(false);
    return UnpackOutcome::unpacked;
  }
  const std::uint8_t* position = header.table;
  const std::uint8_t* const table_end = header.table + header.table_size;
  reader_.open(header.stream, header.stream_size);

  if (header.table_size != 0) {
    for (;;) {
      const PayloadEntry entry = next_payload_entry(position, table_end);
      position = entry.end;
      build_target_path(unpack_directory, entry);
      if (result.main_library_path[0] == u'\0') {
        std::copy(std::begin(target_path_), std::end(target_path_), std::begin(result.main_library_path));
      }
      // The child only needs to know where the main library lies: it creates, writes and
      // decodes nothing.
      if (role == Role::child) return UnpackOutcome::main_library_known;
      // Decoding runs ahead while this thread creates and writes the files; failures are still
      // met here, in the order of a loop that decodes only what it is about to write.
      reader_.decode_ahead();
      if (entry.has_second_string) header_error();
      // Set before the check, and the handler sets its request before it looks: either the
      // handler waits for this loop, or this loop sees the request.
      result.writing.store(true);
      stop_if_asked(result, os::invalid_handle);
      // Whatever already has the unpack directory's name belongs to someone else: nothing is
      // written through it, and nothing of it is removed later.
      if (!result.directory_created) {
        if (!directories_.create_new_directory(unpack_directory)) platform::fail_open_for_writing(target_path_);
        result.directory_created = true;
      }
      directories_.ensure_parent_directories(target_path_);
      write_target_file(entry.size, result);
      if ((entry.flags & flag_last) != 0) break;
    }
  }
  result.writing.store(false);

  if (position != table_end) header_error();
  reader_.close();
  return header.table_size == 0 ? UnpackOutcome::empty_table : UnpackOutcome::unpacked;
}

}  // namespace payload
