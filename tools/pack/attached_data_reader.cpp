#include "attached_data_reader.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "bytes/little_endian.h"
#include "entry_path.h"
#include "pack_error.h"
#include "pe_image.h"
#include "payload/attached_data.h"
#include "payload/frame_table.h"
#include "payload/linked_attached_data.h"
#include "text/wide_text.h"

namespace pack {
namespace {

constexpr std::uint64_t max_window_size = std::uint64_t{1} << payload::max_window_log;

std::string record_name(std::size_t index, const std::u16string& path) {
  return "record " + std::to_string(index + 1) + " (" + text::to_utf8_replacing(path) + ")";
}

[[noreturn]] void damaged(const std::string& what) { throw InputError("damaged block: " + what); }

std::string describe_bad_record(const std::uint8_t* position, const std::uint8_t* table,
                                const std::uint8_t* table_end, std::size_t index) {
  const std::string where =
      "record " + std::to_string(index + 1) + " at table offset " + std::to_string(position - table);
  const auto left = static_cast<std::uint64_t>(table_end - position);
  if (left < payload::record_fixed_size) {
    return where + " is cut off: " + std::to_string(left) + " bytes left, a record needs at least " +
           std::to_string(payload::record_size(0));
  }
  const std::uint32_t flags = little_endian::load_u32(position);
  if (flags > payload::max_flags) {
    return where + " has flags " + std::to_string(flags) + "; the launcher accepts at most " +
           std::to_string(payload::max_flags);
  }
  return where + " has an empty path, or one without a terminator inside the table within " +
         std::to_string(payload::max_string_units + 1) + " units";
}

struct DecoderDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

std::span<const std::uint8_t> find_attached_data(std::span<const std::uint8_t> executable) {
  PeImage image;
  try {
    image = parse_pe_image(executable);
  } catch (const PeFormatError& error) {
    throw InputError(std::string("not a launcher: ") + error.what());
  }
  const PeSection* section = find_section(image, attached_data_section_name);
  if (!section) {
    throw InputError(std::string("not a launcher built by zamrik-pack: it has no section ") +
                     attached_data_section_name);
  }
  try {
    return section_contents(executable, *section);
  } catch (const PeFormatError& error) {
    damaged(error.what());
  }
}

AttachedDataContents read_attached_data(std::span<const std::uint8_t> data) {
  const std::optional<payload::AttachedDataHeader> header = payload::parse_attached_data_header({data.data(), data.size()});
  if (!header) {
    if (data.size() < payload::header_size) damaged("the section has " + std::to_string(data.size()) + " bytes, less than a header");
    damaged("the header's table size " + std::to_string(little_endian::load_u64(data.data())) + " and stream size " +
            std::to_string(little_endian::load_u64(data.data() + 8)) + " do not fit the section's " +
            std::to_string(data.size()) + " bytes (or the table exceeds " + std::to_string(payload::max_table_size) + ")");
  }
  AttachedDataContents contents;
  contents.length = data.size();
  contents.table_size = header->table_size;
  contents.stream_size = header->stream_size;
  contents.stream = {header->stream, header->stream_size};
  const std::uint8_t* position = header->table;
  const std::uint8_t* table_end = header->table + header->table_size;
  while (position != table_end) {
    const std::optional<payload::PayloadEntry> record = payload::parse_payload_entry(position, table_end);
    if (!record) damaged(describe_bad_record(position, header->table, table_end, contents.entries.size()));
    ListedEntry entry;
    entry.flags = record->flags;
    entry.size = record->size;
    for (std::uint32_t i = 0; i < record->path_length; ++i) entry.path += little_endian::load_u16(record->path + 2 * i);
    if (entry.size > UINT64_MAX - contents.content_size) damaged("the entries' sizes add up to more than 2^64 bytes");
    contents.content_size += entry.size;
    contents.entries.push_back(std::move(entry));
    position = record->end;
    if (record->flags & payload::flag_last) {
      if (position != table_end) {
        damaged(record_name(contents.entries.size() - 1, contents.entries.back().path) +
                " is marked last, but the table goes on for " + std::to_string(table_end - position) + " bytes");
      }
      return contents;
    }
  }
  if (!contents.entries.empty()) damaged("the table ends without a record marked last");
  return contents;
}

std::vector<std::string> table_problems(const AttachedDataContents& contents) {
  std::vector<std::string> problems;
  if (contents.entries.empty()) problems.push_back("the table holds no files, so there is no main library");
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const ListedEntry& entry = contents.entries[i];
    if (entry.flags & payload::flag_second_string) {
      problems.push_back(record_name(i, entry.path) + " carries a second string, which the launcher refuses");
    }
    const std::string problem = entry_path_problem(entry.path);
    if (!problem.empty()) problems.push_back(record_name(i, entry.path) + ": the path " + problem);
  }
  return problems;
}

FrameInfo check_frame(std::span<const std::uint8_t> stream, const std::vector<ListedEntry>* entries) {
  const std::optional<payload::FrameTable> table = payload::parse_frame_table(stream);
  const std::uint64_t count = table ? table->count : 1;
  std::size_t at = table ? static_cast<std::size_t>(table->table_size) : 0;
  FrameInfo info;
  info.checksum = true;
  info.frame_count = count;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string which = table ? "frame " + std::to_string(i + 1) + " of " + std::to_string(count) : "the frame";
    const std::span<const std::uint8_t> rest = stream.subspan(at);
    ZSTD_frameHeader header{};
    const std::size_t result = ZSTD_getFrameHeader(&header, rest.data(), rest.size());
    if (ZSTD_isError(result)) damaged("the stream is not a Zstandard frame: " + std::string(ZSTD_getErrorName(result)));
    if (result > 0) damaged("the stream has " + std::to_string(rest.size()) + " bytes, too few for a frame header");
    if (header.frameType != ZSTD_frame) damaged("the stream starts with a skippable frame that is no sound frame table");
    if (header.windowSize > max_window_size) {
      damaged(which + "'s window is " + std::to_string(header.windowSize) + " bytes; the launcher decodes at most " +
              std::to_string(max_window_size));
    }
    info.window_size = std::max<std::uint64_t>(info.window_size, header.windowSize);
    info.checksum = info.checksum && header.checksumFlag != 0;
    const std::size_t size = ZSTD_findFrameCompressedSize(rest.data(), rest.size());
    if (ZSTD_isError(size)) damaged(which + " is cut off or broken: " + ZSTD_getErrorName(size));
    if (table) {
      const payload::FrameRecord record = table->record(i);
      if (size != record.compressed_size || header.frameContentSize != record.decoded_size) {
        damaged(which + " has " + std::to_string(size) + " bytes decoding to " +
                (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ? std::string("an unstated size")
                                                                      : std::to_string(header.frameContentSize)) +
                "; the frame table says " + std::to_string(record.compressed_size) + " and " +
                std::to_string(record.decoded_size));
      }
    } else if (size != stream.size()) {
      damaged(std::to_string(stream.size() - size) + " bytes of the stream follow its frame");
    }
    info.compressed_size += size;
    at += size;
  }
  if (table && entries &&
      !payload::frame_table_covers(*table, entries->size(), [&](std::uint64_t i) { return (*entries)[i].size; })) {
    damaged("the frame table's frames do not cover the entries as the table lists them");
  }
  return info;
}

void decode_entries(const AttachedDataContents& contents, const EntryBytes& sink) {
  const std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder(ZSTD_createDCtx());
  if (!decoder) throw std::bad_alloc();
  ZSTD_inBuffer input{contents.stream.data(), contents.stream.size(), 0};
  std::vector<std::uint8_t> buffer(ZSTD_DStreamOutSize());
  std::size_t filled = 0;
  std::size_t taken = 0;
  std::size_t result = 1;  // 0 once a frame has been decoded and checked completely
  std::uint64_t decoded = 0;
  const auto decode_more = [&](const std::string& during) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    const std::size_t consumed_before = input.pos;
    result = ZSTD_decompressStream(decoder.get(), &output, &input);
    if (ZSTD_isError(result)) {
      damaged(std::string("the stream does not decode (") + ZSTD_getErrorName(result) + ") " + during);
    }
    if (output.pos == 0 && input.pos == consumed_before) {
      if (decoded >= contents.content_size) damaged("the stream ends before its frame does");
      damaged("the stream ends " + during + ", after " + std::to_string(decoded) + " of " +
              std::to_string(contents.content_size) + " bytes");
    }
    filled = output.pos;
    taken = 0;
    decoded += filled;
  };
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const ListedEntry& entry = contents.entries[i];
    std::uint64_t remaining = entry.size;
    if (remaining == 0) sink(i, {}, true);
    while (remaining > 0) {
      if (taken == filled) decode_more("in " + record_name(i, entry.path));
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(filled - taken, remaining));
      remaining -= piece;
      sink(i, {buffer.data() + taken, piece}, remaining == 0);
      taken += piece;
    }
  }
  // The frame must end here, its checksum (if any) verified, with nothing decoded beyond.
  while (taken == filled && (result != 0 || input.pos < input.size)) decode_more("after the last entry");
  if (taken != filled) {
    damaged("the stream decodes to more than the " + std::to_string(contents.content_size) +
            " bytes that the entries' sizes add up to");
  }
}

}  // namespace pack
