#include "payload/frame_table.h"

#include "payload/attached_data.h"

namespace payload {
namespace {

void put(std::uint8_t* out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

FrameRecord FrameTable::record(std::uint64_t index) const {
  const std::uint8_t* p = records + index * frame_record_size;
  return {read_u64(p), read_u64(p + 8), read_u64(p + 16), read_u64(p + 24)};
}

std::optional<FrameTable> parse_frame_table(std::span<const std::uint8_t> stream) {
  if (stream.size() < frame_table_fixed_size || read_u32(stream.data()) != frame_table_magic) return std::nullopt;
  const std::uint64_t content = read_u32(stream.data() + 4);
  const std::uint64_t count = read_u32(stream.data() + 12);
  // The content size is 32 bits, so neither product nor sum below can wrap.
  if (read_u32(stream.data() + 8) != frame_table_version || count == 0 ||
      content != 8 + count * frame_record_size || 8 + content > stream.size()) {
    return std::nullopt;
  }
  FrameTable table{stream.data() + frame_table_fixed_size, count, 8 + content};
  std::uint64_t left = stream.size() - table.table_size;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t size = table.record(i).compressed_size;
    if (size == 0 || size > left) return std::nullopt;
    left -= size;
  }
  if (left != 0) return std::nullopt;
  return table;
}

std::uint64_t frame_table_bytes(std::uint64_t count) { return frame_table_fixed_size + count * frame_record_size; }

void encode_frame_table(std::span<const FrameRecord> frames, std::uint8_t* out) {
  put(out, frame_table_magic, 4);
  put(out + 4, 8 + frames.size() * frame_record_size, 4);
  put(out + 8, frame_table_version, 4);
  put(out + 12, frames.size(), 4);
  std::uint8_t* p = out + frame_table_fixed_size;
  for (const FrameRecord& frame : frames) {
    put(p, frame.compressed_size, 8);
    put(p + 8, frame.decoded_size, 8);
    put(p + 16, frame.entry, 8);
    put(p + 24, frame.offset, 8);
    p += frame_record_size;
  }
}

}  // namespace payload
