#include "payload/attached_data.h"

#include "bytes/little_endian.h"
#include "platform/diagnostics.h"

namespace payload {
namespace {

[[noreturn]] void header_error() { platform::fatal_exit(platform::message::header); }

// Scans a terminated string at q: its length in code units, or 0 when its terminator does not
// lie wholly inside the table and among the first 4096 units, or when the string is empty.
std::uint32_t scan_string(const std::uint8_t* q, const std::uint8_t* table_end) {
  const auto room = static_cast<std::uint64_t>(table_end - q);
  for (std::uint32_t i = 0;; ++i) {
    if (room < 2 * (std::uint64_t{i} + 1)) return 0;
    if (little_endian::load_u16(q + 2 * std::uint64_t{i}) == 0) return i;
    if (i + 1 == max_string_units + 1) return 0;
  }
}

}  // namespace

std::optional<AttachedDataHeader> parse_attached_data_header(AttachedData data) {
  // The order keeps every subtraction from wrapping.
  if (data.length < header_size) return std::nullopt;
  const std::uint64_t table_size = little_endian::load_u64(data.start);
  const std::uint64_t stream_size = little_endian::load_u64(data.start + 8);
  if (table_size > data.length - header_size) return std::nullopt;
  if (table_size > max_table_size) return std::nullopt;
  if (stream_size > data.length - header_size - table_size) return std::nullopt;
  const std::uint8_t* table = data.start + header_size;
  return AttachedDataHeader{table_size, stream_size, table, table + table_size};
}

std::optional<PayloadEntry> parse_payload_entry(const std::uint8_t* position, const std::uint8_t* table_end) {
  if (table_end - position < static_cast<std::ptrdiff_t>(record_fixed_size)) return std::nullopt;
  PayloadEntry entry{};
  entry.flags = little_endian::load_u32(position);
  if (entry.flags > max_flags) return std::nullopt;
  entry.path = position + record_fixed_size;
  entry.path_length = scan_string(entry.path, table_end);
  if (entry.path_length == 0) return std::nullopt;
  entry.end = entry.path + 2 * (std::uint64_t{entry.path_length} + 1);
  entry.has_second_string = (entry.flags & flag_second_string) != 0;
  if (entry.has_second_string) {
    const std::uint32_t second_length = scan_string(entry.end, table_end);
    if (second_length == 0) return std::nullopt;
    entry.end += 2 * (std::uint64_t{second_length} + 1);
  }
  entry.size = little_endian::load_u64(position + 4);
  return entry;
}

AttachedDataHeader read_attached_data_header(AttachedData data) {
  const std::optional<AttachedDataHeader> header = parse_attached_data_header(data);
  if (!header) header_error();
  return *header;
}

PayloadEntry next_payload_entry(const std::uint8_t* position, const std::uint8_t* table_end) {
  const std::optional<PayloadEntry> entry = parse_payload_entry(position, table_end);
  if (!entry) header_error();
  return *entry;
}

}  // namespace payload
