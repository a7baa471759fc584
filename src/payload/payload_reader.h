// The decoding state of the unpack loop: the attached data's stream, read in place and decoded
// into a ring that the loop writes from directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/decode_ring.h"

namespace payload {

class PayloadReader {
 public:
  PayloadReader() = default;
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;
  ~PayloadReader() { close(); }

  // Creates a decoder with the library's default limits (a window of at most 2^27 bytes); ends
  // the process when memory is short.
  void open(const std::uint8_t* stream, std::uint64_t stream_size);
  // From now on a thread of its own decodes ahead of the reads.
  void decode_ahead() { ring_.decode_ahead(); }
  // The next n bytes (1 to chunk_size) of the decoded stream, in one piece that stays valid
  // until the next call; null when the stream cannot be decoded or ends early. Where it has to
  // wait for the decoder thread, it waits until up to hope bytes (n to longest_wait) are there,
  // for read_decoded_behind to take.
  [[nodiscard]] const std::uint8_t* read_payload(std::size_t n, std::size_t hope = 0);
  // After a read of a whole chunk that ended at end: the whole chunks right behind it that are
  // decoded already and lie in the same piece of the ring, or all of the most bytes when they
  // are there. Their count; they stay valid until the next read.
  std::size_t read_decoded_behind(const std::uint8_t* end, std::size_t most);
  // Stops the decoding and frees the decoder and the ring; nothing to do when already closed.
  void close();

 private:
  DecodeRing ring_;
  std::uint64_t position_ = 0;  // in the decoded stream
  // Holds a read whose bytes do not lie in one piece of the ring: at the ring's end, or after a
  // short piece where a frame ended.
  std::uint8_t joined_[chunk_size] = {};
};

}  // namespace payload
