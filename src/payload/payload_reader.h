// The decoding state of the unpack loop: the attached data's stream, read in place and decoded
// into a ring of slots that the loop writes from directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/decode_ring.h"

namespace payload {

inline constexpr std::size_t chunk_size = 32768;
static_assert(slot_size % chunk_size == 0);

class PayloadReader {
 public:
  PayloadReader() = default;
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;
  ~PayloadReader() { close(); }

  // Allocates the slots and creates a decoder with the library's default limits (a window of
  // at most 2^27 bytes); ends the process when memory is short.
  void open(const std::uint8_t* stream, std::uint64_t stream_size, std::uint32_t slots);
  // From now on a thread of its own decodes ahead of the reads, as far as the slots allow.
  void decode_ahead() { ring_.decode_ahead(); }
  // The next n bytes (1 to chunk_size) of the decoded stream, in one piece that stays valid
  // until the next call; ends the process when the stream cannot be decoded or ends early.
  const std::uint8_t* read_payload(std::size_t n);
  // Stops the decoding and frees the decoder and the slots; nothing to do when already closed.
  void close();

 private:
  std::span<const std::uint8_t> current_slot();

  DecodeRing ring_;
  std::uint64_t slot_ = 0;   // the slot of the read position
  std::size_t offset_ = 0;   // the read position within it
  // Holds a read that spans slots which do not lie side by side: at the ring's end, or after a
  // short slot where a frame ended.
  std::uint8_t joined_[chunk_size] = {};
};

}  // namespace payload
