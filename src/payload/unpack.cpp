#include "payload/unpack.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "os/os.h"
#include "payload/payload_reader.h"
#include "platform/diagnostics.h"

namespace payload {

std::atomic<bool> cleanup_needed{false};
char16_t main_library_path[path_capacity];

namespace {

char16_t target_path[path_capacity];
std::uint8_t chunk_buffer[chunk_size];
// Left in place when the child stops at the first entry: the process ends with the application.
PayloadReader reader;

[[noreturn]] void header_error() { platform::fatal_exit(platform::message::header); }

void build_target_path(const char16_t* unpack_directory, const PayloadEntry& entry) {
  target_path[0] = u'\0';
  platform::append_bounded(target_path, unpack_directory, path_capacity);
  platform::append_bounded(target_path, u"\\", path_capacity);
  const std::size_t length = std::char_traits<char16_t>::length(target_path);
  // An entry that does not fit is an inconsistent table, not an overflow of ours.
  if (length + entry.path_length + 1 > path_capacity) header_error();
  for (std::uint32_t i = 0; i < entry.path_length; ++i) target_path[length + i] = read_unit(entry.path + 2 * i);
  target_path[length + entry.path_length] = u'\0';
}

// An entry of size 0 creates an empty file, or empties an existing one, without decoding.
void write_target_file(std::uint64_t size) {
  const os::Handle file = os::create_file_for_writing(target_path);
  if (file == os::invalid_handle) platform::fail_open_for_writing(target_path);
  while (size > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk_size));
    reader.read_payload(chunk_buffer, chunk);
    if (!os::write_file(file, chunk_buffer, static_cast<std::uint32_t>(chunk))) {
      platform::fail_with_system_error(platform::message::unpack_write, os::last_error());
    }
    size -= chunk;
  }
  os::close_handle(file);
}

}  // namespace

UnpackOutcome unpack_attached_data(AttachedData data, const char16_t* unpack_directory, Role role) {
  const AttachedDataHeader header = read_attached_data_header(data);
  cleanup_needed = true;
  const std::uint8_t* position = header.table;
  const std::uint8_t* const table_end = header.table + header.table_size;
  reader.open(header.stream, header.stream_size);

  if (header.table_size != 0) {
    for (;;) {
      const PayloadEntry entry = next_payload_entry(position, table_end);
      position = entry.end;
      build_target_path(unpack_directory, entry);
      if (main_library_path[0] == u'\0') {
        std::copy(std::begin(target_path), std::end(target_path), std::begin(main_library_path));
      }
      // The child only needs to know where the main library lies: it creates, writes and
      // decodes nothing.
      if (role == Role::child) return UnpackOutcome::main_library_known;
      if (entry.has_second_string) header_error();
      ensure_parent_directories(target_path);
      write_target_file(entry.size);
      if ((entry.flags & flag_last) != 0) break;
    }
  }

  if (position != table_end) header_error();
  reader.close();
  return header.table_size == 0 ? UnpackOutcome::empty_table : UnpackOutcome::unpacked;
}

void reset_unpack_state() {
  reader.close();
  main_library_path[0] = u'\0';
  cleanup_needed = false;
  forget_known_directories();
}

}  // namespace payload
