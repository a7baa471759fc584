// The decoding state of the unpack loop: the attached data's stream, read in place, and a
// fixed output buffer that every entry shares.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <cstdint>

namespace payload {

inline constexpr std::size_t output_buffer_size = 131072;
inline constexpr std::size_t chunk_size = 32768;

class PayloadReader {
 public:
  PayloadReader() = default;
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;
  ~PayloadReader() { close(); }

  // Allocates the output buffer and creates a decoder with the library's default limits (a
  // window of at most 2^27 bytes); ends the process when memory is short.
  void open(const std::uint8_t* stream, std::uint64_t stream_size);
  // Places exactly the next n bytes (1 to chunk_size) of the decoded stream at destination;
  // false when the stream cannot be decoded or ends early.
  [[nodiscard]] bool read_payload(std::uint8_t* destination, std::size_t n);
  // Frees the decoder and the buffer; nothing to do when they are already free.
  void close();

 private:
  ZSTD_DCtx* context_ = nullptr;
  ZSTD_inBuffer input_{};
  // Between decoder calls, size is the fill level and pos the read position.
  ZSTD_outBuffer output_{};
};

}  // namespace payload
