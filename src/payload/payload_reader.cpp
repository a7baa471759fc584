#include "payload/payload_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/diagnostics.h"

namespace payload {

void PayloadReader::open(const std::uint8_t* stream, std::uint64_t stream_size) {
  void* buffer = std::malloc(output_buffer_size);
  if (buffer == nullptr) platform::fatal_exit(platform::message::memory);
  context_ = ZSTD_createDCtx();
  if (context_ == nullptr) platform::fatal_exit(platform::message::memory);
  input_ = {stream, static_cast<std::size_t>(stream_size), 0};
  output_ = {buffer, 0, 0};
}

bool PayloadReader::read_payload(std::uint8_t* destination, std::size_t n) {
  while (n > 0) {
    const std::size_t available = output_.size - output_.pos;
    if (available == 0) {
      // The decoder holds back the last input byte while it still has output to deliver,
      // so consumed input means that nothing is left to decode.
      if (input_.pos >= input_.size) return false;
      ZSTD_outBuffer whole{output_.dst, output_buffer_size, 0};
      const std::size_t result = ZSTD_decompressStream(context_, &whole, &input_);
      if (ZSTD_isError(result)) return false;
      output_.size = whole.pos;
      output_.pos = 0;
      continue;
    }
    const std::size_t k = std::min(available, n);
    std::memcpy(destination, static_cast<const std::uint8_t*>(output_.dst) + output_.pos, k);
    output_.pos += k;
    destination += k;
    n -= k;
  }
  return true;
}

void PayloadReader::close() {
  ZSTD_freeDCtx(context_);
  context_ = nullptr;
  std::free(output_.dst);
  output_ = {};
}

}  // namespace payload
