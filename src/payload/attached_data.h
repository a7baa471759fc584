// The attached data: a 16-byte header (table size T, stream size S), a table of PayloadEntry
// records back to back, then one Zstandard stream holding every file's bytes in table order.
// Everything is read in place, unaligned and little-endian; nothing is copied or allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace payload {

inline constexpr std::uint64_t header_size = 16;
// A record: flags (4 bytes) and size (8), then its strings, each ended by a 0 unit.
inline constexpr std::uint64_t record_fixed_size = 12;
inline constexpr std::uint64_t max_table_size = 0x10000000;  // 268,435,456
inline constexpr std::uint32_t max_flags = 7;
inline constexpr std::uint32_t flag_second_string = 2;
inline constexpr std::uint32_t flag_last = 4;
// A path or second string holds at most this many code units before its terminator.
inline constexpr std::uint32_t max_string_units = 4095;
// The unpack loop joins the unpack directory, "\" and an entry's path in a buffer of this many
// code units, terminator included, and refuses a longer join with the header error.
inline constexpr std::size_t path_capacity = 4096;
// The stream's frame may need a window of at most 2^max_window_log bytes: the launcher creates
// its decoder with the library's default limits, which refuse more.
inline constexpr int max_window_log = 27;

struct AttachedData {
  const std::uint8_t* start;
  std::uint64_t length;
};

struct AttachedDataHeader {
  std::uint64_t table_size;
  std::uint64_t stream_size;
  const std::uint8_t* table;   // [table, table + table_size)
  const std::uint8_t* stream;  // [stream, stream + stream_size)
};

struct PayloadEntry {
  std::uint32_t flags;
  std::uint64_t size;
  const std::uint8_t* path;  // path_length UTF-16LE code units, unaligned, then a 0 unit
  std::uint32_t path_length;
  bool has_second_string;
  const std::uint8_t* end;  // where the next record begins
};

// The header test and the record test as plain results, for tools that report a damaged block
// instead of ending.
std::optional<AttachedDataHeader> parse_attached_data_header(AttachedData data);
std::optional<PayloadEntry> parse_payload_entry(const std::uint8_t* position, const std::uint8_t* table_end);

// Applies the header test; ends the process with the header error on failure.
AttachedDataHeader read_attached_data_header(AttachedData data);
// Applies the record test to the record at position; ends the process with the header error
// on failure.
PayloadEntry next_payload_entry(const std::uint8_t* position, const std::uint8_t* table_end);

// The bytes of a record that holds a path of this many code units and no second string.
constexpr std::uint64_t record_size(std::uint64_t path_units) { return record_fixed_size + 2 * (path_units + 1); }

}  // namespace payload
