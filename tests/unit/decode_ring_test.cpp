#include "payload/decode_ring.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "support/zstd_frames.h"

namespace {

using test_support::contents;

std::string streamed_frame(const std::string& data, int window_log) {
  return test_support::streamed_frame(data, window_log, 1, true);
}

// With its content size in the header.
std::string sized_frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}

// What the unpack loop's single-threaded form got from the stream: the output of every call of
// the streaming decoder, offered 131,072 bytes each time, until a call failed or the input ran out.
std::string handed_out_by_calls(const std::string& stream) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_inBuffer input{stream.data(), stream.size(), 0};
  std::vector<char> buffer(payload::call_size);
  std::string out;
  while (input.pos < input.size) {
    ZSTD_outBuffer whole{buffer.data(), buffer.size(), 0};
    if (ZSTD_isError(ZSTD_decompressStream(context, &whole, &input))) break;
    out.append(buffer.data(), whole.pos);
  }
  ZSTD_freeDCtx(context);
  return out;
}

// A slow reader takes at most 30,000 bytes at a time, as a loop writing files of any size does,
// and pauses before each read: the decoder fills its lead and waits for room each time.
enum class Pace { fast, slow };

std::string handed_out_by_ring(const std::string& stream, bool ahead, Pace pace = Pace::fast) {
  payload::DecodeRing ring;
  EXPECT_TRUE(ring.open(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()));
  if (ahead) ring.decode_ahead();
  std::string out;
  for (;;) {
    if (pace == Pace::slow) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ring.release_below(out.size());
    const std::span<const std::uint8_t> piece = ring.wait_for(out.size(), 32768, ahead ? payload::longest_wait : 32768);
    if (piece.empty()) break;
    const std::size_t taken = pace == Pace::slow ? std::min<std::size_t>(piece.size(), 30000) : piece.size();
    out.append(reinterpret_cast<const char*>(piece.data()), taken);
  }
  ring.close();
  return out;
}

struct Stream {
  const char* name;
  std::string bytes;
};

// Decoding ahead and block by block must not change which bytes the loop gets before a failure:
// for damaged streams of every kind, the ring hands out exactly what the calls did, whether it
// decodes ahead on its own thread or when asked.
TEST(DecodeRingTest, HandsOutWhatTheStreamingCallsDidUpToTheSameFailure) {
  const std::string data = contents(700000, 5);
  const std::vector<Stream> streams = {
      {"streamed frame", streamed_frame(data, 20)},
      {"streamed frame, 2^10 window", streamed_frame(data.substr(0, 300000), 10)},
      // Rings of 393,216 bytes, which these wrap.
      {"streamed frame, 2^10 window, wrapping", streamed_frame(data.substr(0, 500000), 10)},
      {"two frames, wrapping in the second", streamed_frame(data.substr(0, 100000), 10) + sized_frame(data.substr(0, 400000))},
      {"sized frame", sized_frame(data.substr(0, 400000))},
      {"sized frame within one call", sized_frame(data.substr(0, 100000))},
      {"two frames", streamed_frame(data.substr(0, 262144), 18) + sized_frame(data.substr(0, 150000))},
  };
  for (const Stream& s : streams) {
    std::vector<std::pair<std::string, std::string>> damaged = {{"intact", s.bytes}};
    for (std::size_t i = 1; i <= 40; ++i) {
      const std::size_t at = s.bytes.size() * i / 41;
      std::string flipped = s.bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
      damaged.push_back({"byte " + std::to_string(at) + " flipped", flipped});
      damaged.push_back({"cut at " + std::to_string(at), s.bytes.substr(0, at)});
    }
    for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5}}) {
      std::string flipped = s.bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
      damaged.push_back({"header byte " + std::to_string(at) + " flipped", flipped});
    }
    std::string checksum = s.bytes;
    checksum.back() = static_cast<char>(checksum.back() ^ 0x01);
    damaged.push_back({"last byte flipped", checksum});
    damaged.push_back({"cut before the last byte", s.bytes.substr(0, s.bytes.size() - 1)});
    damaged.push_back({"garbage after", s.bytes + std::string(9, '\x7f')});
    for (const auto& [what, bytes] : damaged) {
      const std::string want = handed_out_by_calls(bytes);
      for (const bool ahead : {false, true}) {
        const std::string got = handed_out_by_ring(bytes, ahead);
        EXPECT_EQ(got.size(), want.size()) << s.name << ", " << what << (ahead ? ", decoding ahead" : ", on demand");
        EXPECT_TRUE(got == want) << s.name << ", " << what << (ahead ? ", decoding ahead" : ", on demand");
      }
    }
  }
}

// Ends the test program when the reading it guards is not done within a minute: a reader and a
// decoder that each wait for the other would otherwise wait for ever.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : thread_([this, what] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!done_cv_.wait_for(lock, std::chrono::minutes(1), [this] { return done_; })) {
        std::fprintf(stderr, "%s: still waiting after a minute\n", what);
        std::abort();
      }
    }) {}
  ~Watchdog() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

// The decoder publishes a block-decoded frame a whole call at a time, so with a small window the
// reader can catch up with what is published while the decoder waits for room: the decoder must
// resume once the reader has released what it can, or both wait for ever.
TEST(DecodeRingTest, AReaderSlowerThanTheDecoderGetsEveryByte) {
  const std::string data = contents(1000000, 6);
  const std::vector<Stream> streams = {
      {"2^10 window", streamed_frame(data, 10)},
      {"2^17 window", streamed_frame(data, 17)},
      {"2^10 window, damaged", streamed_frame(data, 10).substr(0, 400000)},
  };
  for (const Stream& s : streams) {
    const Watchdog watchdog(s.name);
    EXPECT_TRUE(handed_out_by_ring(s.bytes, true, Pace::slow) == handed_out_by_calls(s.bytes)) << s.name;
  }
}

}  // namespace
