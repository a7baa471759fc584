// Reads the attached data back out of a built launcher, for list, verify and extract. It
// applies the launcher's own header and record tests, but reports what it finds instead of
// ending the process.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace pack {

struct ListedEntry {
  std::u16string path;
  std::uint64_t size = 0;
  std::uint32_t flags = 0;
};

struct AttachedDataContents {
  std::uint64_t length = 0;  // of the section that holds the attached data
  std::uint64_t table_size = 0;
  std::uint64_t stream_size = 0;
  std::uint64_t content_size = 0;  // the entries' sizes added up
  std::vector<ListedEntry> entries;
  std::span<const std::uint8_t> stream;
};

struct FrameInfo {
  std::uint64_t window_size = 0;  // the largest among the frames
  bool checksum = false;          // every frame carries one
  std::uint64_t compressed_size = 0;  // of the frames, the frame table left out
  std::uint64_t frame_count = 0;
};

// The attached data inside a launcher: the contents of its section ".zamrik". Throws InputError.
std::span<const std::uint8_t> find_attached_data(std::span<const std::uint8_t> executable);

// Header and table as the launcher walks them: records up to the one marked last, which must end
// the table. Throws InputError.
AttachedDataContents read_attached_data(std::span<const std::uint8_t> data);

// What the launcher would refuse, or what would leave the unpack directory, among the records
// that its record test lets through. Empty when the table is sound.
std::vector<std::string> table_problems(const AttachedDataContents& contents);

// The frame headers, within the launcher's window limit: one Zstandard frame that fills the
// stream, or a frame table and the frames it lists, each of the size the table says. With
// entries, also that the table's frames cover exactly the entries. Throws InputError.
FrameInfo check_frame(std::span<const std::uint8_t> stream, const std::vector<ListedEntry>* entries = nullptr);

// Decodes the stream and hands out each entry's bytes in table order (in pieces; an empty entry
// gets one call with no bytes). Throws InputError when the stream is damaged, decodes to fewer
// or more bytes than the sizes add up to, or fails its checksum.
using EntryBytes = std::function<void(std::size_t entry, std::span<const std::uint8_t> bytes, bool last_piece)>;
void decode_entries(const AttachedDataContents& contents, const EntryBytes& sink);

}  // namespace pack
