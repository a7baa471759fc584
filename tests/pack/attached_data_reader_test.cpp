#include "attached_data_reader.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "bytes/little_endian.h"
#include "pack_error.h"
#include "payload/attached_data_writer.h"
#include "payload/frame_table.h"
#include "support/test_directory.h"

namespace {

using testing::HasSubstr;

using Bytes = std::vector<std::uint8_t>;

// A file that spans several of the decoder's output buffers, so that entries start and end in
// the middle of them.
std::string pattern(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += std::to_string(i * 7919 % 100003) + ",";
  text.resize(size);
  return text;
}

const std::vector<payload::AttachedFile> sample = {
    {u"main.dll", "MZ pretend library", {}},
    {u"empty.txt", "", {}},
    {u"data\\big.bin", pattern(300000), {}},
    {u"data\\tail.txt", "the end", {}},
};

Bytes block_of(const std::vector<payload::AttachedFile>& entries, bool checksum = true) {
  payload::AttachedDataOptions options;
  options.level = 3;
  options.checksum = checksum;
  options.frame_target = 0;  // one frame without a table, as everything packed before frames were cut
  return payload::build_attached_data(entries, options);
}

void put_u64(Bytes& block, std::size_t at, std::uint64_t value) { little_endian::store_u64(&block[at], value); }

std::string problem_in(const Bytes& block) {
  try {
    const pack::AttachedDataContents contents = pack::read_attached_data(block);
    pack::check_frame(contents.stream);
    pack::decode_entries(contents, [](std::size_t, std::span<const std::uint8_t>, bool) {});
  } catch (const pack::InputError& error) {
    return error.what();
  }
  return "";
}

TEST(AttachedDataReader, ReadsBackWhatTheBuilderWrote) {
  for (bool checksum : {true, false}) {
    const Bytes block = block_of(sample, checksum);
    const pack::AttachedDataContents contents = pack::read_attached_data(block);
    ASSERT_EQ(contents.entries.size(), sample.size());
    std::map<std::size_t, std::string> decoded;
    std::vector<std::size_t> completed;
    pack::decode_entries(contents, [&](std::size_t entry, std::span<const std::uint8_t> bytes, bool last_piece) {
      decoded[entry].append(bytes.begin(), bytes.end());
      if (last_piece) completed.push_back(entry);
    });
    EXPECT_THAT(completed, testing::ElementsAre(0, 1, 2, 3));
    for (std::size_t i = 0; i < sample.size(); ++i) {
      EXPECT_EQ(contents.entries[i].path, sample[i].path);
      EXPECT_EQ(contents.entries[i].size, sample[i].contents.size());
      EXPECT_EQ(contents.entries[i].flags, i + 1 == sample.size() ? 4u : 0u);
      EXPECT_EQ(decoded[i], sample[i].contents) << i;
    }
    EXPECT_EQ(contents.content_size, 300000u + 18 + 7);
    const pack::FrameInfo frame = pack::check_frame(contents.stream);
    EXPECT_EQ(frame.checksum, checksum);
    EXPECT_LE(frame.window_size, std::uint64_t{1} << 27);
    EXPECT_TRUE(pack::table_problems(contents).empty());
  }
}

TEST(AttachedDataReader, ReportsADamagedHeaderOrTable) {
  const Bytes good = block_of(sample);
  const std::size_t table_size = little_endian::load_u64(good.data());
  struct Case {
    const char* label;
    Bytes block;
    const char* problem;
  };
  std::vector<Case> cases;
  cases.push_back({"too short", Bytes(good.begin(), good.begin() + 15), "less than a header"});
  Bytes table_too_big = good;
  put_u64(table_too_big, 0, good.size());
  cases.push_back({"table past the end", table_too_big, "do not fit the section"});
  Bytes stream_too_big = good;
  put_u64(stream_too_big, 8, good.size());
  cases.push_back({"stream past the end", stream_too_big, "do not fit the section"});
  Bytes bad_flags = good;
  bad_flags[16] = 8;
  cases.push_back({"flags", bad_flags, "record 1 at table offset 0 has flags 8"});
  Bytes unterminated = good;
  put_u64(unterminated, 0, 12 + 2 * 4);  // cuts the first path before its terminator
  cases.push_back({"unterminated", unterminated, "record 1 at table offset 0 has an empty path, or one without"});
  Bytes no_last = good;
  no_last[16 + table_size - 2 * 14 - 12] = 0;  // the last record, "data\tail.txt", loses flag 4
  cases.push_back({"no last", no_last, "the table ends without a record marked last"});
  Bytes early_last = good;
  early_last[16] = 4;
  cases.push_back({"early last", early_last, "record 1 (main.dll) is marked last, but the table goes on for"});
  for (const Case& c : cases) EXPECT_THAT(problem_in(c.block), HasSubstr(c.problem)) << c.label;
}

TEST(AttachedDataReader, ReportsAStreamThatDoesNotDecodeToTheTable) {
  const Bytes good = block_of(sample);
  const std::size_t table_size = little_endian::load_u64(good.data());
  const std::size_t stream_size = little_endian::load_u64(good.data() + 8);
  const std::size_t stream_start = 16 + table_size;
  struct Case {
    const char* label;
    Bytes block;
    const char* problem;
  };
  std::vector<Case> cases;
  Bytes bad_checksum = good;
  bad_checksum[stream_start + stream_size - 1] ^= 0x01;
  cases.push_back({"checksum", bad_checksum, "checksum"});
  Bytes flipped = good;
  flipped[stream_start + stream_size / 2] ^= 0xFF;
  cases.push_back({"flipped byte", flipped, "damaged block: "});
  Bytes cut = good;
  put_u64(cut, 8, stream_size - 10);
  cases.push_back({"cut", cut, "the frame is cut off or broken"});
  Bytes magic = good;
  magic[stream_start] ^= 0xFF;
  cases.push_back({"magic", magic, "the stream is not a Zstandard frame"});

  std::vector<payload::AttachedFile> shorter = sample;
  shorter[2].contents += "more";  // the sizes now claim four bytes more than the block holds
  Bytes claims_more = block_of(shorter);
  const Bytes actual = block_of(sample);
  const std::size_t shorter_table = little_endian::load_u64(claims_more.data());
  claims_more.resize(16 + shorter_table);
  claims_more.insert(claims_more.end(), actual.begin() + 16 + table_size, actual.end());
  put_u64(claims_more, 8, stream_size);
  cases.push_back({"fewer bytes", claims_more, "the stream ends in record 4 (data\\tail.txt), after 300025 of 300029"});

  std::vector<payload::AttachedFile> longer = sample;
  longer[2].contents.resize(299990);  // the sizes now claim ten bytes less than the block holds
  Bytes claims_less = block_of(longer);
  const std::size_t longer_table = little_endian::load_u64(claims_less.data());
  claims_less.resize(16 + longer_table);
  claims_less.insert(claims_less.end(), actual.begin() + 16 + table_size, actual.end());
  put_u64(claims_less, 8, stream_size);
  cases.push_back({"more bytes", claims_less, "decodes to more than the 300015 bytes"});
  for (const Case& c : cases) EXPECT_THAT(problem_in(c.block), HasSubstr(c.problem)) << c.label;
}

TEST(AttachedDataReader, RefusesFramesTheLauncherCannotDecode) {
  const std::string content = pattern(1000);
  std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 28);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  ZSTD_outBuffer out{frame.data(), frame.size(), 0};
  ZSTD_inBuffer in{content.data(), content.size(), 0};
  // Fed in two steps, the encoder cannot shrink the window to the content it has seen.
  ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
  ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
  ZSTD_freeCCtx(context);
  frame.resize(out.pos);
  const auto span_of = [](const std::string& text) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  try {
    pack::check_frame(span_of(frame));
    ADD_FAILURE() << "a window of 2^28 bytes passed";
  } catch (const pack::InputError& error) {
    EXPECT_THAT(error.what(), HasSubstr("the frame's window is 268435456 bytes; the launcher decodes at most 134217728"));
  }

  const Bytes block = block_of(sample);
  const pack::AttachedDataContents contents = pack::read_attached_data(block);
  std::string two_frames(contents.stream.begin(), contents.stream.end());
  two_frames += two_frames;
  try {
    pack::check_frame(span_of(two_frames));
    ADD_FAILURE() << "a second frame passed";
  } catch (const pack::InputError& error) {
    EXPECT_THAT(error.what(), HasSubstr(std::to_string(contents.stream.size()) + " bytes of the stream follow its frame"));
  }
}

TEST(AttachedDataReader, NamesRecordsThatTheLauncherOrTheRulesRefuse) {
  std::vector<payload::AttachedFile> entries = {{u"main.dll", "m", {}}, {u"..\\outside.txt", "x", {}},
                                              {u"C:\\Windows\\x.dll", "y", {}}};
  pack::AttachedDataContents contents = pack::read_attached_data(block_of(entries));
  contents.entries[0].flags |= 2;
  EXPECT_THAT(pack::table_problems(contents),
              testing::ElementsAre(HasSubstr("record 1 (main.dll) carries a second string"),
                                   HasSubstr("record 2 (..\\outside.txt): the path holds '..'"),
                                   HasSubstr("record 3 (C:\\Windows\\x.dll): the path starts with a drive letter")));
  EXPECT_THAT(pack::table_problems(pack::AttachedDataContents{}), testing::ElementsAre(HasSubstr("holds no files")));
}

}  // namespace

namespace {

namespace fs = std::filesystem;

Bytes cut_block(const std::vector<payload::AttachedFile>& entries, std::uint64_t frame_target, int threads = 1) {
  payload::AttachedDataOptions options;
  options.level = 3;
  options.checksum = true;
  options.threads = threads;
  options.frame_target = frame_target;
  return payload::build_attached_data(entries, options);
}

std::string stream_text(const pack::AttachedDataContents& contents) { return {contents.stream.begin(), contents.stream.end()}; }

}  // namespace

TEST(AttachedDataReader, FramesAreCutAtEntryBoundariesAndInsideALargeEntry) {
  const Bytes block = cut_block(sample, 100000);
  const pack::AttachedDataContents contents = pack::read_attached_data(block);
  const std::optional<payload::FrameTable> table = payload::parse_frame_table(contents.stream);
  ASSERT_TRUE(table);
  // main.dll alone, the empty entry in no frame, big.bin at every 100,000 bytes, tail.txt alone
  // as it would take the last frame past the target.
  struct Want { std::uint64_t decoded, entry, offset; };
  const Want want[] = {{18, 0, 0}, {100000, 2, 0}, {100000, 2, 100000}, {100000, 2, 200000}, {7, 3, 0}};
  ASSERT_EQ(table->count, std::size(want));
  std::size_t at = table->table_size;
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const payload::FrameRecord frame = table->record(i);
    EXPECT_EQ(frame.decoded_size, want[i].decoded) << i;
    EXPECT_EQ(frame.entry, want[i].entry) << i;
    EXPECT_EQ(frame.offset, want[i].offset) << i;
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, contents.stream.data() + at, contents.stream.size() - at), 0u) << i;
    EXPECT_EQ(header.frameContentSize, want[i].decoded) << i;
    EXPECT_LE(header.windowSize, std::max<std::uint64_t>(want[i].decoded, 1024)) << "window beyond the content " << i;
    EXPECT_EQ(header.checksumFlag, 1u) << i;
    at += frame.compressed_size;
  }
  const pack::FrameInfo info = pack::check_frame(contents.stream, &contents.entries);
  EXPECT_EQ(info.frame_count, std::size(want));
  EXPECT_TRUE(info.checksum);
  std::string decoded;
  pack::decode_entries(contents, [&](std::size_t, std::span<const std::uint8_t> bytes, bool) { decoded.append(bytes.begin(), bytes.end()); });
  std::string all;
  for (const auto& entry : sample) all += entry.contents;
  EXPECT_TRUE(decoded == all);
  // The worker count changes nothing in the output.
  EXPECT_TRUE(cut_block(sample, 100000, 2) == block);
  EXPECT_TRUE(cut_block(sample, 100000, 4) == block);
}

TEST(AttachedDataReader, TheReferenceDecoderGivesExactlyTheContents) {
#ifdef _WIN32
  GTEST_SKIP() << "the reference decoder is the host's zstd program, run natively";
#endif
  const Bytes block = cut_block(sample, 64 * 1024);
  const pack::AttachedDataContents contents = pack::read_attached_data(block);
  ASSERT_GT(payload::parse_frame_table(contents.stream)->count, 1u);
  const test_support::TestDirectory scratch;
  const fs::path& directory = scratch.path();
  {
    std::ofstream(directory / "stream.zst", std::ios::binary) << stream_text(contents);
  }
  const std::string command = "zstd -q -d -f -o '" + (directory / "decoded").string() + "' '" + (directory / "stream.zst").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(directory / "decoded", std::ios::binary);
  const std::string decoded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string all;
  for (const auto& entry : sample) all += entry.contents;
  EXPECT_TRUE(decoded == all) << decoded.size() << " bytes against " << all.size();
}

TEST(AttachedDataReader, RefusesAFrameTableThatDoesNotMatch) {
  const Bytes block = cut_block(sample, 100000);
  const pack::AttachedDataContents contents = pack::read_attached_data(block);
  const std::size_t table_at = payload::header_size + contents.table_size;
  const std::size_t first_record = table_at + payload::frame_table_fixed_size;
  struct Case { std::size_t at; std::uint8_t add; const char* want; };
  const Case cases[] = {
      {table_at + 12, 1, "skippable frame that is no sound frame table"},   // one frame more than there are
      {first_record, 1, "skippable frame that is no sound frame table"},    // compressed sizes no longer fill the stream
      {first_record + 8, 1, "frame 1 of 5 has"},                           // decoded size against the frame header
      {first_record + 32 + 24, 1, "do not cover the entries"},            // a frame starting one byte later
  };
  for (const Case& c : cases) {
    Bytes damaged = block;
    damaged[c.at] = static_cast<std::uint8_t>(damaged[c.at] + c.add);
    try {
      const pack::AttachedDataContents read = pack::read_attached_data(damaged);
      pack::check_frame(read.stream, &read.entries);
      ADD_FAILURE() << "passed: " << c.want;
    } catch (const pack::InputError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.want));
    }
  }
}
