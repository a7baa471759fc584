// Host side: writes attached data that the launcher accepts. Header, table (flags 0, the last
// record 4), the Zstandard stream with a window of at most 2^max_window_log bytes, then one 0x00
// byte, zero padding to a multiple of 8, and an 8-byte trailer that holds its own offset. The
// stream is one frame without a content size field, or, with a frame target, a frame table (see
// frame_table.h) followed by independent frames that each carry their content size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/attached_data.h"

namespace payload {

struct AttachedFile {
  std::u16string path;  // relative to the unpack directory, "\" as separator
  std::string contents;  // used when source is empty
  std::filesystem::path source;  // when set, the file's bytes are streamed from here
};

// The packer's level when none is given: fast enough for a large application (a minute for
// 1.35 GB on two cores), where 19 packs a tenth smaller in fifteen times as long.
inline constexpr int default_level = 9;

// The content that one frame takes before the next begins: the launcher decodes frames on every
// core. At level 9 frames of 16 MiB cost 0.01 % in size against one frame (32 and 64 MiB hardly
// less), and within the launcher's memory bound they let up to seven threads decode at once.
inline constexpr std::uint64_t default_frame_target = std::uint64_t{16} << 20;

struct AttachedDataOptions {
  int level = default_level;
  int threads = 0;  // compressing threads (0: one)
  bool checksum = false;
  int window_log = max_window_log;
  // 0: one frame. Otherwise a frame ends before the entry that would take it past this many
  // bytes, and an entry larger than this is cut at every multiple of it.
  std::uint64_t frame_target = default_frame_target;
  // Called as the stream grows: bytes of content compressed so far, and in all.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

class AttachedDataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AttachedDataSummary {
  std::uint64_t table_size = 0;
  std::uint64_t stream_size = 0;
  std::uint64_t content_size = 0;
  std::uint64_t total_size = 0;  // padding and trailer included
  std::uint64_t frame_count = 0;
};

// Writes the attached data to out, which must be seekable (the stream size is known only at the end).
// Throws AttachedDataError for input the launcher would refuse or a source that cannot be read.
AttachedDataSummary write_attached_data(const std::vector<AttachedFile>& entries, const AttachedDataOptions& options, std::ostream& out);
std::vector<std::uint8_t> build_attached_data(const std::vector<AttachedFile>& entries, const AttachedDataOptions& options = {});

// The record bytes of one table entry; throws AttachedDataError for a path the launcher would refuse.
std::string encode_record(const std::u16string& path, std::uint32_t flags, std::uint64_t size);

}  // namespace payload
