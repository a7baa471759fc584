#include "payload/unpack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "payload/attached_data_writer.h"
#include "payload/frame_table.h"
#include "path_template/expand_path_template.h"
#include "support/test_directory.h"
#include "support/test_support.h"
#include "support/zstd_frames.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;
using payload::AttachedFile;
using payload::Role;
using payload::UnpackOutcome;
using test_support::aborted;
using test_support::contents;
using test_support::exited_with_2;
using test_support::read_file;
using test_support::show_standard_output_at_exit;
using test_support::TestDirectory;
using test_support::write_file;
using testing::Eq;

std::u16string widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::vector<std::uint8_t> block_of(const std::vector<AttachedFile>& entries, std::uint64_t frame_target = 0,
                                   bool checksum = false) {
  payload::AttachedDataOptions options;
  options.level = 1;
  options.frame_target = frame_target;
  options.checksum = checksum;
  return payload::build_attached_data(entries, options);
}

struct Unpacked {
  UnpackOutcome outcome;
  bool cleanup_needed;
  std::u16string main_library_path;
  std::uint32_t decoding_threads;
};

// One unpack with state of its own, as the launcher runs it once per process; frames are decoded
// by at most workers threads (0: one per processor).
Unpacked unpack(const std::vector<std::uint8_t>& block, const std::u16string& directory, Role role = Role::parent,
                std::uint32_t workers = 0) {
  auto unpacker = std::make_unique<payload::Unpacker>();
  unpacker->limit_workers(workers);
  payload::UnpackResult result;
  const UnpackOutcome outcome = unpacker->unpack_attached_data({block.data(), block.size()}, directory.c_str(), role, result);
  return {outcome, result.cleanup_needed, result.main_library_path, result.decoding_threads};
}

// The header, a table of the given records, and the stream as given: for blocks that the
// builder refuses to write.
std::vector<std::uint8_t> raw_block(const std::string& table, const std::string& stream) {
  std::string bytes;
  for (std::uint64_t value : {std::uint64_t{table.size()}, std::uint64_t{stream.size()}}) {
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>(value >> (8 * i));
  }
  bytes += table + stream;
  return {bytes.begin(), bytes.end()};
}

std::string compressed(const std::string& data, int window_log = 20) {
  return test_support::streamed_frame(data, window_log, ZSTD_CLEVEL_DEFAULT, false);
}

TEST(UnpackTest, WritesEveryEntryByteForByteInNestedDirectories) {
  TestDirectory scratch;
  std::vector<AttachedFile> entries;
  const std::size_t sizes[] = {0, 19, 32767, 32768, 32769, 131072 + 5000, 6 * 1024 * 1024 + 123};
  entries.push_back({u"main.dll", contents(70000, 1), {}});  // ends in the middle of the output buffer
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    entries.push_back({u"sizes\\file" + widen(std::to_string(sizes[i])), contents(sizes[i], 10 + i), {}});
  }
  for (int i = 0; i < 300; ++i) {
    std::u16string path = u"lib";
    for (int level = 0; level <= i % 4; ++level) path += u"\\d" + widen(std::to_string((i / 7 + level) % 10));
    path += u"\\f" + widen(std::to_string(i)) + u".bin";
    entries.push_back({path, contents(static_cast<std::size_t>(i * 37 % 3000), 100 + i), {}});
  }
  // One frame as packed so far, and a stream cut into frames behind a frame table, inside the
  // 6 MiB entry too.
  for (const std::uint64_t frame_target : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
    const auto block = block_of(entries, frame_target);
    // Neither the unpack directory nor its parent exists yet.
    const fs::path below = fs::path("not yet " + std::to_string(frame_target)) / "unpacked";
    const std::u16string directory = scratch.launcher(below);

    const Unpacked unpacked = unpack(block, directory);

    EXPECT_EQ(unpacked.outcome, UnpackOutcome::unpacked);
    EXPECT_TRUE(unpacked.cleanup_needed);
    EXPECT_EQ(unpacked.main_library_path, directory + u"\\main.dll");
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(scratch.path() / below)) files += item.is_regular_file();
    EXPECT_EQ(files, entries.size());
    for (const AttachedFile& entry : entries) {
      const fs::path file = test_support::native_path(directory + u"\\" + entry.path);
      ASSERT_EQ(fs::file_size(file), entry.contents.size()) << file;
      EXPECT_TRUE(read_file(file) == entry.contents) << file;
    }
  }
}

// Frames cut at entry boundaries and inside a large entry, decoded by one to three threads; the
// reference decoder reads the same stream as the files' contents in table order.
TEST(UnpackTest, FramesAreDecodedSideBySideIntoTheSameFiles) {
  TestDirectory scratch;
  std::vector<AttachedFile> entries{{u"main.dll", contents(70000, 1), {}}, {u"empty.txt", "", {}}};
  for (int i = 0; i < 40; ++i) entries.push_back({u"d" + widen(std::to_string(i % 3)) + u"\\f" + widen(std::to_string(i)), contents(30000 + 977 * i, 20 + i), {}});
  entries.push_back({u"big\\large.bin", contents(3 * 1024 * 1024 + 123, 3), {}});
  entries.push_back({u"last.txt", "last", {}});
  const std::uint64_t target = 256 * 1024;
  const auto block = block_of(entries, target, true);
  const std::uint64_t stream_size = little_endian::load_u64(block.data() + 8);
  const auto frames = payload::parse_frame_table({block.data() + payload::header_size + little_endian::load_u64(block.data()), stream_size});
  ASSERT_TRUE(frames.has_value());
  ASSERT_GT(frames->count, 12u);
  bool cut_inside = false;
  for (std::uint64_t i = 0; i < frames->count; ++i) cut_inside |= frames->record(i).offset != 0;
  EXPECT_TRUE(cut_inside) << "the large entry spans several frames";

  for (const std::uint32_t workers : {1u, 2u, 3u}) {
    const std::u16string directory = scratch.launcher("unpacked-" + std::to_string(workers));
    const Unpacked unpacked = unpack(block, directory, Role::parent, workers);
    EXPECT_EQ(unpacked.outcome, UnpackOutcome::unpacked);
    EXPECT_EQ(unpacked.decoding_threads, workers);
    EXPECT_EQ(unpacked.main_library_path, directory + u"\\main.dll");
    for (const AttachedFile& entry : entries) {
      EXPECT_TRUE(read_file(test_support::native_path(directory + u"\\" + entry.path)) == entry.contents) << test_support::narrow(entry.path);
    }
  }

#ifndef _WIN32
  std::string all;
  for (const AttachedFile& entry : entries) all += entry.contents;
  const fs::path stream = scratch.path() / "stream.zst";
  const std::size_t stream_start = static_cast<std::size_t>(payload::header_size + little_endian::load_u64(block.data()));
  write_file(stream, std::string(block.begin() + stream_start, block.begin() + stream_start + stream_size));
  const fs::path decoded = scratch.path() / "decoded";
  ASSERT_EQ(std::system(("zstd -d -q -f '" + stream.string() + "' -o '" + decoded.string() + "'").c_str()), 0);
  EXPECT_TRUE(read_file(decoded) == all);
#endif
}

TEST(UnpackTest, AnEntryThatComesAgainEmptiesAndRewritesTheFile) {
  TestDirectory scratch;
  const auto block = block_of({{u"main.dll", contents(100000, 1), {}},
                               {u"data\\empty.txt", "left over", {}},
                               {u"main.dll", "nineteen bytes long", {}},
                               {u"data\\empty.txt", "", {}}});

  EXPECT_EQ(unpack(block, scratch.launcher("unpacked")).outcome, UnpackOutcome::unpacked);

  EXPECT_EQ(read_file(scratch.path() / "unpacked" / "main.dll"), "nineteen bytes long");
  EXPECT_EQ(fs::file_size(scratch.path() / "unpacked" / "data" / "empty.txt"), 0u);
}

TEST(UnpackTest, ChildRoleStopsAtTheFirstRecord) {
  TestDirectory scratch;
  // Everything after the first record is unreadable: a second record that fails the record
  // test and a stream that is no frame at all. Touching either would end the process.
  const std::string table = payload::encode_record(u"bin\\main.dll", 0, 1000) + std::string(5, '\x7f');
  const auto block = raw_block(table, std::string(64, '\xff'));
  const std::u16string directory = scratch.launcher("unpacked");

  const Unpacked unpacked = unpack(block, directory, Role::child);

  EXPECT_EQ(unpacked.outcome, UnpackOutcome::main_library_known);
  EXPECT_TRUE(unpacked.cleanup_needed);
  EXPECT_EQ(unpacked.main_library_path, directory + u"\\bin\\main.dll");
  EXPECT_FALSE(fs::exists(scratch.path() / "unpacked"));
}

TEST(UnpackTest, AJoinOfExactly4095UnitsIsTaken) {
  // The child only joins; a path this long could not be made on disk anyway.
  const auto block = raw_block(payload::encode_record(u"x", payload::flag_last, 0), "");
  const std::u16string directory(4093, u'd');
  const Unpacked unpacked = unpack(block, directory, Role::child);
  EXPECT_EQ(unpacked.outcome, UnpackOutcome::main_library_known);
  EXPECT_EQ(unpacked.main_library_path.size(), 4095u);
  EXPECT_EQ(unpacked.main_library_path, directory + u"\\x");
}

TEST(UnpackTest, EmptyTableWritesNothingInEitherRole) {
  TestDirectory scratch;
  const auto block = raw_block("", "");
  for (Role role : {Role::parent, Role::child}) {
    const Unpacked unpacked = unpack(block, scratch.launcher("unpacked"), role);
    EXPECT_EQ(unpacked.outcome, UnpackOutcome::empty_table);
    EXPECT_TRUE(unpacked.cleanup_needed);
    EXPECT_EQ(unpacked.main_library_path, u"");
  }
  EXPECT_FALSE(fs::exists(scratch.path() / "unpacked"));
}

TEST(UnpackTest, DirectoriesBeyondTheMemoAreStillCreated) {
  TestDirectory scratch;
  std::vector<AttachedFile> entries;
  for (int i = 0; i < 1030; ++i) entries.push_back({u"d" + widen(std::to_string(i)) + u"\\f", "", {}});
  const auto block = block_of(entries);

  EXPECT_EQ(unpack(block, scratch.launcher("unpacked")).outcome, UnpackOutcome::unpacked);

  for (int i = 0; i < 1030; ++i) {
    EXPECT_TRUE(fs::is_regular_file(scratch.path() / "unpacked" / ("d" + std::to_string(i)) / "f")) << i;
  }
}

TEST(EnsureDirectoryTest, CreatesOrFindsDirectoriesAndReportsFailure) {
  TestDirectory scratch;
  write_file(scratch.path() / "plain file", "x");
  struct Case {
    const char* name;
    bool want;
    bool exists_after;
  };
  const Case cases[] = {
      {"new", true, true},
      {"new", true, true},                    // already there
      {"plain file", true, true},             // a file counts as existing; opening below it fails later
      {"missing parent/child", false, false},  // only the parent is tried, not its ancestors
  };
  payload::DirectoryMemo memo;
  for (const Case& c : cases) {
    EXPECT_EQ(memo.ensure_directory(scratch.launcher(c.name).c_str()), c.want) << c.name;
    EXPECT_EQ(fs::exists(scratch.path() / c.name), c.exists_after) << c.name;
  }
  // A drive is taken as it is, without asking the system (which on POSIX would make "Q:" in
  // the current directory).
  const fs::path current = fs::current_path();
  fs::current_path(scratch.path());
  EXPECT_TRUE(memo.ensure_directory(u"Q:"));
  fs::current_path(current);
#ifndef _WIN32
  EXPECT_FALSE(fs::exists(scratch.path() / "Q:"));
#endif
}

TEST(EnsureParentDirectoriesTest, CreatesMissingAncestorsTopDown) {
  TestDirectory scratch;
  payload::DirectoryMemo memo;
  memo.ensure_parent_directories(scratch.launcher(fs::path("a") / "b" / "c" / "file.txt").c_str());
  EXPECT_TRUE(fs::is_directory(scratch.path() / "a" / "b" / "c"));
  EXPECT_FALSE(fs::exists(scratch.path() / "a" / "b" / "c" / "file.txt"));
}

#ifdef _WIN32
constexpr char home_variable[] = "USERPROFILE";
#else
constexpr char home_variable[] = "HOME";
#endif

// Sets or removes the variable that names the profile directory; true when {HOME} then fails.
bool set_home(const char* value) {
#ifdef _WIN32
  _putenv((std::string(home_variable) + "=" + (value != nullptr ? value : "")).c_str());
#else
  value != nullptr ? setenv(home_variable, value, 1) : unsetenv(home_variable);
#endif
  char16_t home[payload::path_capacity];
  return !path_template::expand_path_template(home, u"{HOME}", payload::path_capacity);
}

TEST(EnsureDirectoryDeathTest, FirstCallEndsWhenTheProfileDirectoryIsUnknown) {
  const char* current = std::getenv(home_variable);
  const std::string saved = current != nullptr ? current : "";
  const bool can_fail = set_home(nullptr);
  set_home(current != nullptr ? saved.c_str() : nullptr);
  if (!can_fail) GTEST_SKIP() << "this system finds the profile directory without " << home_variable;

  TestDirectory scratch;
  payload::DirectoryMemo memo;
  // Whatever is asked about, even a directory that exists.
  EXPECT_EXIT((set_home(nullptr), memo.ensure_directory(scratch.launcher().c_str())), aborted(),
              Eq("Error, couldn't runtime expand spec '{HOME}'.\n"));
}

class UnpackDeathTest : public testing::Test {
 protected:
  TestDirectory scratch;
  // The unpack directory, which the loop makes.
  const fs::path unpacked = scratch.path() / "unpacked";
  const std::u16string directory = scratch.launcher("unpacked");
  const std::string first = contents(40000, 1);
  const std::string second = contents(400000, 2);
};

// A stream cut into frames of 100,000 bytes: first.bin alone, then second.bin's four pieces.
struct CutBlock {
  std::vector<std::uint8_t> bytes;
  std::size_t frame_table;  // offset in the block
  std::vector<std::size_t> frames;  // offset of each frame in the block
};

CutBlock cut_frames_of(std::vector<std::uint8_t> bytes) {
  CutBlock block{std::move(bytes), 0, {}};
  block.frame_table = static_cast<std::size_t>(payload::header_size + little_endian::load_u64(block.bytes.data()));
  const std::uint64_t stream_size = little_endian::load_u64(block.bytes.data() + 8);
  const auto table = payload::parse_frame_table({block.bytes.data() + block.frame_table, stream_size});
  std::size_t at = block.frame_table + static_cast<std::size_t>(table.value().table_size);
  for (std::uint64_t i = 0; i < table->count; ++i) {
    block.frames.push_back(at);
    at += static_cast<std::size_t>(table->record(i).compressed_size);
  }
  block.frames.push_back(at);  // the stream's end
  return block;
}

CutBlock cut_block(const std::string& first, const std::string& second) {
  CutBlock block = cut_frames_of(block_of({{u"first.bin", first, {}}, {u"second.bin", second, {}}}, 100000));
  block.frames.pop_back();
  return block;
}

TEST_F(UnpackDeathTest, AFrameTableThatDoesNotMatchTheEntriesChangesNothing) {
  const std::size_t records = payload::frame_table_fixed_size;
  struct Case {
    const char* name;
    std::function<void(CutBlock&)> damage;
  };
  const Case cases[] = {
      // Every frame's decoded size, entry and offset made up; the frames themselves are sound.
      {"made-up records",
       [](CutBlock& block) {
         for (std::size_t i = 0; i < block.frames.size(); ++i) {
           const std::size_t record = block.frame_table + records + i * payload::frame_record_size;
           for (std::size_t b = 8; b < payload::frame_record_size; ++b) block.bytes[record + b] = static_cast<std::uint8_t>(7 * i + b);
         }
       }},
      // A table cut short: one frame fewer than the stream holds.
      {"a frame left out", [](CutBlock& block) { block.bytes[block.frame_table + 12] -= 1; }},
      // Two frames' compressed sizes swapped: the sum holds, the frames' ends do not.
      {"frames' sizes swapped",
       [](CutBlock& block) {
         const std::size_t a = block.frame_table + records + 0 * payload::frame_record_size;
         const std::size_t b = block.frame_table + records + 1 * payload::frame_record_size;
         for (std::size_t i = 0; i < 8; ++i) std::swap(block.bytes[a + i], block.bytes[b + i]);
       }},
      // A decoded size that the frame's header contradicts, the entries still covered.
      {"a header that disagrees",
       [](CutBlock& block) {
         const std::size_t first = block.frame_table + records + 0 * payload::frame_record_size;
         const std::size_t second = first + payload::frame_record_size;
         block.bytes[first + 8] += 1;   // 40,001 bytes
         block.bytes[second + 24] += 1;  // from second.bin's byte 1 on, 99,999 bytes
         block.bytes[second + 8] -= 1;
       }},
  };
  for (const Case& c : cases) {
    CutBlock block = cut_block(first, second);
    ASSERT_EQ(block.frames.size(), 5u);
    c.damage(block);
    const Unpacked run = unpack(block.bytes, directory, Role::parent, 2);
    EXPECT_EQ(run.outcome, UnpackOutcome::unpacked) << c.name;
    EXPECT_EQ(run.decoding_threads, 0u) << c.name;
    EXPECT_EQ(read_file(unpacked / "first.bin"), first) << c.name;
    EXPECT_TRUE(read_file(unpacked / "second.bin") == second) << c.name;
    fs::remove_all(unpacked);
  }
  // A path that comes twice is rewritten in table order, which only the one loop keeps.
  const auto twice = block_of({{u"main.dll", first, {}}, {u"x.bin", second, {}}, {u"main.dll", "again", {}}}, 100000);
  EXPECT_EQ(unpack(twice, directory, Role::parent, 2).decoding_threads, 0u);
  EXPECT_EQ(read_file(unpacked / "main.dll"), "again");
}

// With frames decoded side by side, a frame that does not decode ends the unpack as the one loop
// does; everything before it is written, nothing of it.
TEST_F(UnpackDeathTest, ADamagedFrameDecodedSideBySideEndsWithTheDecodeError) {
  CutBlock block{block_of({{u"first.bin", first, {}}, {u"second.bin", second, {}}}, 100000, true), 0, {}};
  block = cut_frames_of(std::move(block.bytes));
  ASSERT_EQ(block.frames.size(), 6u);
  // The third frame's checksum: its header and block sizes are sound, its content is not.
  block.bytes[block.frames[3] - 1] ^= 0xFF;
  for (const std::uint32_t workers : {1u, 3u}) {
    EXPECT_EXIT((show_standard_output_at_exit(), unpack(block.bytes, directory, Role::parent, workers)), exited_with_2(),
                Eq("Error, couldn't decode attached data.\n"))
        << workers;
    EXPECT_EQ(read_file(unpacked / "first.bin"), first);
    const std::string partial = read_file(unpacked / "second.bin");
    // No ASSERT here: on Windows each death test's child runs the loop again up to its own turn.
    EXPECT_GE(partial.size(), 100000u) << "the frame before the damaged one is written";
    EXPECT_TRUE(second.compare(0, 100000, partial, 0, std::min<std::size_t>(partial.size(), 100000)) == 0);
    if (partial.size() > 100000) {
      EXPECT_EQ(partial.substr(100000, 100000), std::string(std::min<std::size_t>(partial.size() - 100000, 100000), '\0'))
          << "nothing of the damaged frame";
    }
    fs::remove_all(unpacked);
  }
}

// Failures of several kinds in different frames: the one that the one loop meets first is reported,
// however the threads come upon them.
TEST_F(UnpackDeathTest, OfFailuresInSeveralFramesTheFirstInStreamOrderIsReported) {
  const std::string open_failure =
      "Error, failed to open '" + test_support::narrow(directory + u"\\blocker\\sub\\x.bin") + "' for writing.\n";
  const std::vector<AttachedFile> open_first{
      {u"first.bin", first, {}}, {u"blocker", "", {}}, {u"blocker\\sub\\x.bin", "x", {}}, {u"second.bin", second, {}}};
  const std::vector<AttachedFile> damage_first{
      {u"second.bin", second, {}}, {u"first.bin", first, {}}, {u"blocker", "", {}}, {u"blocker\\sub\\x.bin", "x", {}}};
  struct Case {
    const char* name;
    const std::vector<AttachedFile>& entries;
    std::size_t damaged_frame;
    std::string want;
  };
  const Case cases[] = {
      {"a failed open, then a damaged frame", open_first, 3, open_failure},
      {"a damaged frame, then a failed open", damage_first, 1, "Error, couldn't decode attached data.\n"},
  };
  for (const Case& c : cases) {
    CutBlock block = cut_frames_of(block_of(c.entries, 100000, true));
    ASSERT_EQ(block.frames.size(), 6u) << c.name;
    block.bytes[block.frames[c.damaged_frame + 1] - 1] ^= 0xFF;
    for (const std::uint32_t workers : {2u, 4u}) {
      EXPECT_EXIT((show_standard_output_at_exit(), unpack(block.bytes, directory, Role::parent, workers)), exited_with_2(),
                  Eq(c.want))
          << c.name << ", " << workers;
      fs::remove_all(unpacked);
    }
  }
}

TEST_F(UnpackDeathTest, ADamagedFrameInTheMiddleEndsWithTheDecodeError) {
  CutBlock block = cut_block(first, second);
  ASSERT_EQ(block.frames.size(), 5u);
  // The third frame (second.bin from 100,000 on) no longer starts with a frame's magic number.
  block.bytes[block.frames[2]] ^= 0xFF;

  EXPECT_EXIT((show_standard_output_at_exit(), unpack(block.bytes, directory)), exited_with_2(),
              Eq("Error, couldn't decode attached data.\n"));
  EXPECT_EQ(read_file(unpacked / "first.bin"), first);
  const std::string partial = read_file(unpacked / "second.bin");
  EXPECT_LE(partial.size(), 100000u) << "nothing decoded after the damaged frame";
  EXPECT_EQ(partial.size() % 32768, 0u) << "whole chunks only";
  EXPECT_TRUE(second.compare(0, partial.size(), partial) == 0);
}

// The loop itself leaves the files of a failed unpack (the launcher removes them before it
// ends): each file whole up to the last chunk that decoded, and nothing after the failure.
TEST_F(UnpackDeathTest, ADamagedStreamEndsWithTheDecodeErrorAfterTheChunksThatDecoded) {
  using payload::encode_record;
  constexpr std::size_t chunk = 32768;
  // The second file's first five chunks end a frame; the next frame breaks off in its first block.
  const std::string whole_chunks = second.substr(0, 5 * chunk);
  const std::string cut_frame = compressed(second.substr(whole_chunks.size())).substr(0, 100);
  const std::string large_window = compressed(first, 28);
  ZSTD_frameHeader frame;
  ASSERT_EQ(ZSTD_getFrameHeader(&frame, large_window.data(), large_window.size()), 0u);
  ASSERT_EQ(frame.windowSize, std::uint64_t{1} << 28);
  const std::string two_records = encode_record(u"first.bin", 0, first.size()) +
                                  encode_record(u"second.bin", payload::flag_last, second.size());
  struct Case {
    const char* name;
    std::string table;
    std::string stream;
    std::size_t first_size, second_size;  // what each file holds afterwards
  };
  const Case cases[] = {
      {"truncated", two_records, compressed(first + whole_chunks) + cut_frame, first.size(), 5 * chunk},
      // A good frame for the first file, then bytes that are no frame at all.
      {"corrupt", two_records, compressed(first) + std::string(64, '\xff'), first.size(), 0},
      {"window above the decoder's limit", encode_record(u"first.bin", payload::flag_last, first.size()), large_window, 0,
       std::string::npos},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT((show_standard_output_at_exit(), unpack(raw_block(c.table, c.stream), directory)), exited_with_2(),
                Eq("Error, couldn't decode attached data.\n"))
        << c.name;
    EXPECT_EQ(read_file(unpacked / "first.bin"), first.substr(0, c.first_size)) << c.name;
    if (c.second_size == std::string::npos) {
      EXPECT_FALSE(fs::exists(unpacked / "second.bin")) << c.name;
    } else {
      EXPECT_EQ(read_file(unpacked / "second.bin"), second.substr(0, c.second_size)) << c.name;
    }
    fs::remove_all(unpacked);
  }
}

TEST_F(UnpackDeathTest, TableThatGoesOnAfterTheLastEntryFailsAfterThatEntry) {
  auto block = block_of({{u"first.bin", first, {}}, {u"second.bin", "2", {}}});
  block[payload::header_size] = payload::flag_last;  // the first record claims to be the last

  EXPECT_EXIT((show_standard_output_at_exit(), unpack(block, directory)), exited_with_2(),
              Eq("Error, couldn't find attached data header.\n"));
  EXPECT_EQ(read_file(unpacked / "first.bin"), first);
  EXPECT_FALSE(fs::exists(unpacked / "second.bin"));
}

// Every regular file below root, relative to it, in the launcher's spelling.
std::vector<std::u16string> files_below(const fs::path& root) {
  std::vector<std::u16string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_directory()) files.push_back(test_support::launcher_path(item.path().lexically_relative(root)));
  }
  return files;
}

TEST_F(UnpackDeathTest, AnEntryPathThatLeavesTheUnpackDirectoryIsRefusedBeforeAnythingIsWrittenForIt) {
  // Below two levels, so that ".." and "..\.." land inside the scratch directory.
  const std::u16string directory = scratch.launcher(fs::path("a") / "b" / "unpacked");
  const std::u16string ways_out[] = {
      u"..\\x.txt", u"..\\..\\dir\\x.txt", u"sub\\..\\..\\x.txt", u"\\x.txt", u"C:x.txt", u"C:\\x.txt",
      u"..\\", u".\\x.txt", u"sub\\\\x.txt", u"../x.txt", u"sub/../../x.txt", u". .\\x.txt", u"NUL",
  };
  for (const std::u16string& path : ways_out) {
    const auto block = block_of({{u"main.dll", first, {}}, {path, "escaped", {}}});
    EXPECT_EXIT((show_standard_output_at_exit(), unpack(block, directory)), exited_with_2(),
                Eq("Error, couldn't find attached data header.\n"))
        << test_support::narrow(path);
    EXPECT_THAT(files_below(scratch.path()), testing::ElementsAre(u"a\\b\\unpacked\\main.dll")) << test_support::narrow(path);
    fs::remove_all(scratch.path() / "a");

    // The child, which writes nothing, must not load a main library from outside either.
    const auto as_main_library = block_of({{path, "escaped", {}}});
    EXPECT_EXIT((show_standard_output_at_exit(), unpack(as_main_library, directory, Role::child)), exited_with_2(),
                Eq("Error, couldn't find attached data header.\n"))
        << test_support::narrow(path);
  }
}

TEST_F(UnpackDeathTest, WhateverHasTheUnpackDirectorysNameIsNeitherUsedNorChanged) {
  // Planted by someone else, it would be written through, and later emptied by the removal.
  const auto block = block_of({{u"main.dll", first, {}}});
  const auto fails_to_open = Eq("Error, failed to open '" + test_support::narrow(directory) + "\\main.dll' for writing.\n");

  write_file(unpacked / "planted.txt", "planted");
  EXPECT_EXIT(unpack(block, directory), exited_with_2(), fails_to_open);
  EXPECT_THAT(files_below(unpacked), testing::ElementsAre(u"planted.txt"));
  fs::remove_all(unpacked);

  write_file(unpacked, "a file");
  EXPECT_EXIT(unpack(block, directory), exited_with_2(), fails_to_open);
  EXPECT_EQ(read_file(unpacked), "a file");
  fs::remove(unpacked);

#ifndef _WIN32  // Wine makes no directory links
  write_file(scratch.path() / "elsewhere" / "kept.txt", "kept");
  fs::create_directory_symlink(scratch.path() / "elsewhere", unpacked);
  EXPECT_EXIT(unpack(block, directory), exited_with_2(), fails_to_open);
  EXPECT_THAT(files_below(scratch.path() / "elsewhere"), testing::ElementsAre(u"kept.txt"));
#endif
}

TEST_F(UnpackDeathTest, ParentDirectoryThatCannotBeCreatedFailsToOpenWithThePath) {
  // "blocker" is a file, so nothing can be made below it.
  const auto block = block_of({{u"blocker", "file", {}}, {u"blocker\\sub\\x.bin", "x", {}}});
  const std::u16string target = directory + u"\\blocker\\sub\\x.bin";

  EXPECT_EXIT((show_standard_output_at_exit(), unpack(block, directory)), exited_with_2(),
              Eq("Error, failed to open '" + test_support::narrow(target) + "' for writing.\n"));
  EXPECT_EQ(read_file(unpacked / "blocker"), "file");
}

TEST_F(UnpackDeathTest, RecordsThatTheParentRefuses) {
  // A second string is for another kind of launcher.
  const auto second_string = raw_block(payload::encode_record(u"first.bin", payload::flag_second_string | payload::flag_last, 0) +
                                           std::string("x\0\0\0", 4),
                                       compressed(""));
  EXPECT_EXIT((show_standard_output_at_exit(), unpack(second_string, directory)), exited_with_2(),
              Eq("Error, couldn't find attached data header.\n"));

  // The unpack directory, "\" and the path must leave room for a terminator: one unit more
  // than the 4095 that UnpackTest.AJoinOfExactly4095UnitsIsTaken joins.
  const auto block = block_of({{u"x", "1", {}}});
  const std::u16string room_for_backslash_only(4094, u'd');
  EXPECT_EXIT((show_standard_output_at_exit(), unpack(block, room_for_backslash_only)), exited_with_2(),
              Eq("Error, couldn't find attached data header.\n"));
  EXPECT_EXIT((show_standard_output_at_exit(), unpack(block, room_for_backslash_only, Role::child)), exited_with_2(),
              Eq("Error, couldn't find attached data header.\n"));
  const std::u16string no_room(4095, u'd');
  EXPECT_EXIT(unpack(block, no_room), aborted(), Eq(""));
}

// Decoding runs ahead of the writes, so it meets damage further on before the loop gets there;
// the failure reported must still be the one that the loop meets first in table order.
TEST_F(UnpackDeathTest, OfTwoFailuresTheOneMetFirstInTableOrderIsReported) {
  using payload::encode_record;
  using payload::flag_last;
  const std::string open_failure =
      "Error, failed to open '" + test_support::narrow(directory + u"\\blocker\\sub\\x.bin") + "' for writing.\n";
  const testing::Matcher<const std::string&> decode_failure = Eq("Error, couldn't decode attached data.\n");
  struct Case {
    const char* name;
    std::string table;
    std::string stream;
    testing::Matcher<const std::string&> want;
    bool small_file_size_limit;  // every write past 1,000 bytes of a file fails
    const char* present;         // the last file the loop made, checked after the failure
    const char* absent;          // the next one, never made
  };
  // Decodes to 80,000 bytes, then fails.
  const std::string damaged = compressed(first + first) + std::string(64, '\xff');
  const Case cases[] = {
      {"a failed write before the damage",
       encode_record(u"big.bin", 0, 40000) + encode_record(u"second.bin", flag_last, 400000), damaged,
       testing::StartsWith("Error, couldn't unpack file to target path. ("), true, "big.bin", "second.bin"},
      {"the damage before a failed write",
       encode_record(u"small.bin", 0, 500) + encode_record(u"big.bin", flag_last, 400000),
       compressed(first.substr(0, 1500)) + std::string(64, '\xff'), decode_failure, true, "big.bin", nullptr},
      {"a failed open before the damage",
       encode_record(u"first.bin", 0, 80000) + encode_record(u"blocker", 0, 0) +
           encode_record(u"blocker\\sub\\x.bin", flag_last, 100),
       damaged, Eq(open_failure), false, "blocker", nullptr},
      {"the damage before a failed open",
       encode_record(u"first.bin", 0, 40000) + encode_record(u"second.bin", 0, 400000) + encode_record(u"blocker", 0, 0) +
           encode_record(u"blocker\\sub\\x.bin", flag_last, 100),
       damaged, decode_failure, false, "second.bin", "blocker"},
      {"an empty file before the damage",
       encode_record(u"first.bin", 0, 80000) + encode_record(u"empty.bin", 0, 0) + encode_record(u"second.bin", flag_last, 10),
       damaged, decode_failure, false, "empty.bin", nullptr},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    if (c.small_file_size_limit) {
      std::printf("skipped: %s (no file size limit to set here)\n", c.name);
      continue;
    }
    const auto limit_file_size = [] {};
#else
    const auto limit_file_size = [&c] {
      if (!c.small_file_size_limit) return;
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{1000, 1000};
      setrlimit(RLIMIT_FSIZE, &limit);
    };
#endif
    const auto block = raw_block(c.table, c.stream);
    EXPECT_EXIT((show_standard_output_at_exit(), limit_file_size(), unpack(block, directory)), exited_with_2(), c.want)
        << c.name;
    if (c.present != nullptr) {
      EXPECT_TRUE(fs::exists(unpacked / c.present)) << c.name;
    }
    if (c.absent != nullptr) {
      EXPECT_FALSE(fs::exists(unpacked / c.absent)) << c.name;
    }
    fs::remove_all(unpacked);
  }
}

#ifndef _WIN32
TEST_F(UnpackDeathTest, WriteFailureReportsTheSystemError) {
  // A file size limit lets the open succeed and makes the write past the limit fail.
  const auto block = block_of({{u"big.bin", first, {}}});
  const auto with_small_file_size_limit = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  EXPECT_EXIT((show_standard_output_at_exit(), with_small_file_size_limit(), unpack(block, directory)), exited_with_2(),
              Eq("Error, couldn't unpack file to target path. ([Error 27] File too large)\n"));
}
#endif

}  // namespace
