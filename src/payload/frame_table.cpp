#include "payload/frame_table.h"

#include "bytes/little_endian.h"

namespace payload {

FrameRecord FrameTable::record(std::uint64_t index) const {
  const std::uint8_t* p = records + index * frame_record_size;
  return {little_endian::load_u64(p), little_endian::load_u64(p + 8), little_endian::load_u64(p + 16), little_endian::load_u64(p + 24)};
}

std::optional<FrameTable> parse_frame_table(std::span<const std::uint8_t> stream) {
  if (stream.size() < frame_table_fixed_size || little_endian::load_u32(stream.data()) != frame_table_magic) return std::nullopt;
  const std::uint64_t content = little_endian::load_u32(stream.data() + 4);
  const std::uint64_t count = little_endian::load_u32(stream.data() + 12);
  // The content size is 32 bits, so neither product nor sum below can wrap.
  if (little_endian::load_u32(stream.data() + 8) != frame_table_version || count == 0 ||
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
  little_endian::store_u32(out, frame_table_magic);
  little_endian::store_u32(out + 4, static_cast<std::uint32_t>(8 + frames.size() * frame_record_size));
  little_endian::store_u32(out + 8, frame_table_version);
  little_endian::store_u32(out + 12, static_cast<std::uint32_t>(frames.size()));
  std::uint8_t* p = out + frame_table_fixed_size;
  for (const FrameRecord& frame : frames) {
    little_endian::store_u64(p, frame.compressed_size);
    little_endian::store_u64(p + 8, frame.decoded_size);
    little_endian::store_u64(p + 16, frame.entry);
    little_endian::store_u64(p + 24, frame.offset);
    p += frame_record_size;
  }
}

}  // namespace payload
