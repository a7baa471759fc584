#include "payload/payload_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/diagnostics.h"

namespace payload {

void PayloadReader::open(const std::uint8_t* stream, std::uint64_t stream_size) {
  if (!ring_.open(stream, stream_size)) platform::fatal_exit(platform::message::memory);
  position_ = 0;
}

const std::uint8_t* PayloadReader::read_payload(std::size_t n, std::size_t hope) {
  // What the previous call returned has been written by now.
  ring_.release_below(position_);
  std::span<const std::uint8_t> piece = ring_.wait_for(position_, n, hope);
  if (piece.size() >= n) {
    position_ += n;
    return piece.data();
  }
  for (std::size_t filled = 0;;) {
    if (piece.empty()) return nullptr;
    const std::size_t k = std::min(piece.size(), n - filled);
    std::memcpy(joined_ + filled, piece.data(), k);
    filled += k;
    position_ += k;
    if (filled == n) return joined_;
    ring_.release_below(position_);
    piece = ring_.wait_for(position_, n - filled, n - filled);
  }
}

std::size_t PayloadReader::read_decoded_behind(const std::uint8_t* end, std::size_t most) {
  const std::span<const std::uint8_t> piece = ring_.decoded_piece(position_);
  if (piece.empty() || piece.data() != end) return 0;
  std::size_t n = std::min(piece.size(), most);
  if (n < most) n -= n % chunk_size;
  position_ += n;
  return n;
}

void PayloadReader::close() {
  ring_.close();
  position_ = 0;
}

}  // namespace payload
