#include "payload/payload_reader.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using test_support::contents;

// One frame per piece, with the given window: the decoder stops at the end of every frame, and a
// small window makes small blocks.
std::string frames_of(const std::string& data, const std::vector<std::size_t>& pieces, int window_log) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 1);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
  std::string stream;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    std::string frame(ZSTD_compressBound(piece), '\0');
    frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), data.data() + at, piece));
    stream += frame;
    at += piece;
  }
  ZSTD_freeCCtx(context);
  return stream;
}

struct Reading {
  const char* name;
  std::vector<std::size_t> pieces;
  int window_log;
  bool ahead;
};

TEST(PayloadReaderTest, GivesTheStreamInOnePiecePerReadAcrossFramesBlocksAndTheRingsEnd) {
  // Frames ending inside and at the end of a 131,072-byte call, one byte before and after it.
  const std::vector<std::size_t> frames = {1, 70000, 131072, 5, 131071, 300000, 2, 262145, 40000};
  const std::size_t reads[] = {1, 32768, 7, 32767, 32768, 2, 30000, 32768, 1};
  const Reading readings[] = {
      {"one frame, window 2^20", {1200000}, 20, true},
      {"one frame, window 2^20, on demand", {1200000}, 20, false},
      // A ring of little more than a call: it wraps every few reads.
      {"one frame, window 2^10", {900000}, 10, true},
      {"one frame, window 2^10, on demand", {900000}, 10, false},
      {"many frames", frames, 17, true},
      {"many frames, on demand", frames, 17, false},
  };
  for (const Reading& r : readings) {
    std::size_t total = 0;
    for (std::size_t piece : r.pieces) total += piece;
    const std::string data = contents(total, 3);
    const std::string stream = frames_of(data, r.pieces, r.window_log);
    auto reader = std::make_unique<payload::PayloadReader>();
    reader->open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    if (r.ahead) reader->decode_ahead();
    std::string got;
    for (std::size_t i = 0; got.size() < total; ++i) {
      const std::size_t n = std::min(reads[i % std::size(reads)], total - got.size());
      const std::uint8_t* bytes = reader->read_payload(n);
      ASSERT_NE(bytes, nullptr) << r.name << " at " << got.size();
      got.append(reinterpret_cast<const char*>(bytes), n);
    }
    reader->close();
    EXPECT_TRUE(got == data) << r.name;
  }
}

// The unpack loop writes a chunk together with the whole chunks decoded behind it, or with the
// rest of its file when all of it is there: the bytes must be the stream's, in whole chunks.
TEST(PayloadReaderTest, TakesOnlyWholeChunksDecodedBehindAReadOrAllThatWasAskedFor) {
  const std::vector<std::size_t> frames = {70000, 131072, 300000, 262145, 40000};
  const Reading readings[] = {
      {"one frame, window 2^20", {1200000}, 20, true},
      {"one frame, window 2^20, on demand", {1200000}, 20, false},
      {"one frame, window 2^10", {900000}, 10, true},
      {"many frames, on demand", frames, 17, false},
  };
  const std::size_t mosts[] = {1, 32768, 50000, 100000, 1000000};
  for (const Reading& r : readings) {
    std::size_t total = 0;
    for (std::size_t piece : r.pieces) total += piece;
    const std::string data = contents(total, 5);
    const std::string stream = frames_of(data, r.pieces, r.window_log);
    payload::PayloadReader reader;
    reader.open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    if (r.ahead) reader.decode_ahead();
    std::size_t at = 0;
    std::size_t taken_behind = 0;
    for (std::size_t i = 0; at + payload::chunk_size <= total; ++i) {
      // As the loop does, a read that has to wait waits for all it would write.
      const std::size_t most = std::min(mosts[i % std::size(mosts)], total - at - payload::chunk_size);
      const std::uint8_t* bytes = reader.read_payload(payload::chunk_size, std::min(payload::chunk_size + most, payload::longest_wait));
      ASSERT_NE(bytes, nullptr) << r.name << " at " << at;
      const std::size_t behind = reader.read_decoded_behind(bytes + payload::chunk_size, most);
      ASSERT_TRUE(behind % payload::chunk_size == 0 || behind == most) << r.name << " at " << at << ": " << behind;
      ASSERT_LE(behind, most) << r.name;
      ASSERT_EQ(std::memcmp(bytes, data.data() + at, payload::chunk_size + behind), 0) << r.name << " at " << at;
      at += payload::chunk_size + behind;
      taken_behind += behind;
    }
    EXPECT_GT(taken_behind, 0u) << r.name;
    reader.close();
  }
}

TEST(PayloadReaderTest, AReadBeyondTheStreamFindsNothingWhereverTheDecodingGot) {
  const std::string data = contents(200000, 4);
  const std::string stream = frames_of(data, {200000}, 20);
  for (const bool ahead : {false, true}) {
    payload::PayloadReader reader;
    reader.open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    if (ahead) reader.decode_ahead();
    for (std::size_t at = 0; at + 30000 <= data.size(); at += 30000) {
      const std::uint8_t* bytes = reader.read_payload(30000);
      ASSERT_NE(bytes, nullptr) << at;
      EXPECT_EQ(std::memcmp(bytes, data.data() + at, 30000), 0) << at;
    }
    // 20,000 bytes are left: a read of 20,001 takes them and finds no more.
    EXPECT_EQ(reader.read_payload(20001), nullptr) << (ahead ? "decoding ahead" : "on demand");
    EXPECT_EQ(reader.read_payload(1), nullptr) << (ahead ? "decoding ahead" : "on demand");
  }
}

}  // namespace
