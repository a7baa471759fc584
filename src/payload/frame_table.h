// The frame table: a skippable frame at the start of a stream that is cut into independent
// frames. Every decoder that ignores skippable frames still decodes the stream to the files'
// contents in table order; the table lets a reader find each frame without decoding the others.
//
// Layout, little-endian: magic (u32), content size (u32, as skippable frames count it), version
// (u32, 1), frame count (u32), then per frame, in stream order: compressed size, decoded size,
// index of the entry where the frame's bytes begin, and offset inside that entry (u64 each).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace payload {

inline constexpr std::uint32_t frame_table_magic = 0x184D2A5B;
inline constexpr std::uint32_t frame_table_version = 1;
inline constexpr std::uint64_t frame_table_fixed_size = 16;  // magic, size, version, count
inline constexpr std::uint64_t frame_record_size = 32;

struct FrameRecord {
  std::uint64_t compressed_size;
  std::uint64_t decoded_size;
  std::uint64_t entry;   // index of the entry holding the frame's first byte
  std::uint64_t offset;  // within that entry
};

struct FrameTable {
  const std::uint8_t* records;  // count records of frame_record_size bytes, unaligned
  std::uint64_t count;
  std::uint64_t table_size;  // the skippable frame's whole length: the first frame lies behind it
  FrameRecord record(std::uint64_t index) const;
};

// The table at the stream's start, when it is one and its frames' compressed sizes fill exactly
// the rest of the stream; none for a stream without a table (everything packed before frames
// were cut) and for a table that does not hold together.
std::optional<FrameTable> parse_frame_table(std::span<const std::uint8_t> stream);

// Whether the frames cover the entries exactly: each frame begins where the previous one ended,
// none is empty, none starts on an empty entry or past its end, and the last ends with the
// last entry. entry_size(i) gives entry i's size; count the number of entries.
template <typename EntrySize>
bool frame_table_covers(const FrameTable& table, std::uint64_t entry_count, EntrySize entry_size);

// The skippable frame for count frames, with the records given.
std::uint64_t frame_table_bytes(std::uint64_t count);
void encode_frame_table(std::span<const FrameRecord> frames, std::uint8_t* out);

template <typename EntrySize>
bool frame_table_covers(const FrameTable& table, std::uint64_t entry_count, EntrySize entry_size) {
  std::uint64_t entry = 0;
  std::uint64_t offset = 0;
  for (std::uint64_t i = 0; i < table.count; ++i) {
    // Empty entries between frames belong to no frame's bytes: skip them as a decoder would.
    while (entry < entry_count && offset == entry_size(entry)) {
      ++entry;
      offset = 0;
    }
    const FrameRecord frame = table.record(i);
    if (entry == entry_count || frame.entry != entry || frame.offset != offset || frame.decoded_size == 0) return false;
    std::uint64_t left = frame.decoded_size;
    while (left > 0) {
      if (entry == entry_count) return false;
      const std::uint64_t here = entry_size(entry) - offset;
      if (left < here) {
        offset += left;
        left = 0;
      } else {
        left -= here;
        ++entry;
        offset = 0;
      }
    }
  }
  while (entry < entry_count && entry_size(entry) == offset) {
    ++entry;
    offset = 0;
  }
  return entry == entry_count;
}

}  // namespace payload
