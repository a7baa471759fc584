#include "payload/payload_reader.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using test_support::exited_with_2;

// Bytes that compress somewhat, different for every seed.
std::string contents(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = (state & 3) == 0 ? static_cast<char>(state >> 8) : "decoded ahead "[i % 14];
  }
  return out;
}

// One frame per piece: the decoder stops at the end of every frame, so a piece that ends inside
// a slot leaves that slot short.
std::string frames_of(const std::string& data, const std::vector<std::size_t>& pieces) {
  std::string stream;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    std::string frame(ZSTD_compressBound(piece), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data() + at, piece, 1));
    stream += frame;
    at += piece;
  }
  return stream;
}

struct Reading {
  std::uint32_t slots;
  bool ahead;
};

TEST(PayloadReaderTest, GivesTheStreamInOnePiecePerReadAcrossSlotsFramesAndTheRingsEnd) {
  // Frames ending in the middle of a slot, exactly at its end, one byte before and after it.
  const std::vector<std::size_t> pieces = {1, 70000, 131072, 5, 131071, 300000, 2, 262145, 40000};
  std::size_t total = 0;
  for (std::size_t piece : pieces) total += piece;
  const std::string data = contents(total, 3);
  const std::string stream = frames_of(data, pieces);
  const std::size_t reads[] = {1, 32768, 7, 32767, 32768, 2, 30000, 32768, 1};

  for (const Reading r : {Reading{1, false}, Reading{1, true}, Reading{2, true}, Reading{4, false}, Reading{4, true}}) {
    auto reader = std::make_unique<payload::PayloadReader>();
    reader->open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), r.slots);
    if (r.ahead) reader->decode_ahead();
    std::string got;
    for (std::size_t i = 0; got.size() < total; ++i) {
      const std::size_t n = std::min(reads[i % std::size(reads)], total - got.size());
      got.append(reinterpret_cast<const char*>(reader->read_payload(n)), n);
    }
    reader->close();
    EXPECT_TRUE(got == data) << r.slots << " slots, " << (r.ahead ? "decoding ahead" : "on demand");
  }
}

TEST(PayloadReaderDeathTest, AReadBeyondTheStreamEndsWithTheDecodeErrorWhereverTheDecodingGot) {
  const std::string data = contents(200000, 4);
  const std::string stream = frames_of(data, {200000});
  for (const bool ahead : {false, true}) {
    EXPECT_EXIT(
        {
          payload::PayloadReader reader;
          reader.open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), 4);
          if (ahead) reader.decode_ahead();
          for (std::size_t at = 0; at < data.size(); at += 20000) {
            if (std::memcmp(reader.read_payload(20000), data.data() + at, 20000) != 0) std::exit(1);
          }
          reader.read_payload(1);
          std::exit(0);
        },
        exited_with_2(), "")
        << (ahead ? "decoding ahead" : "on demand");
  }
}

}  // namespace
