#include "payload/payload_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/diagnostics.h"

namespace payload {

void PayloadReader::open(const std::uint8_t* stream, std::uint64_t stream_size, std::uint32_t slots) {
  if (!ring_.open(stream, stream_size, slots)) platform::fatal_exit(platform::message::memory);
  slot_ = 0;
  offset_ = 0;
}

// The slot of the read position, moving on when it has been read to its end.
std::span<const std::uint8_t> PayloadReader::current_slot() {
  for (;;) {
    const std::span<const std::uint8_t> slot = ring_.slot(slot_);
    if (slot.empty()) platform::fatal_exit(platform::message::decode);
    if (offset_ < slot.size()) return slot;
    ++slot_;
    offset_ = 0;
    ring_.release_below(slot_);
  }
}

const std::uint8_t* PayloadReader::read_payload(std::size_t n) {
  // What the previous call returned has been used by now.
  ring_.release_below(slot_);
  const std::span<const std::uint8_t> slot = current_slot();
  const std::uint8_t* const start = slot.data() + offset_;
  const std::size_t available = slot.size() - offset_;
  if (available >= n) {
    offset_ += n;
    return start;
  }
  // A full slot ends where the next begins, unless it is the ring's last; the slot stays
  // unreleased until the next call.
  if (slot.size() == slot_size && ring_.next_is_adjacent(slot_)) {
    const std::span<const std::uint8_t> next = ring_.slot(slot_ + 1);
    if (next.empty()) platform::fatal_exit(platform::message::decode);
    if (next.size() >= n - available) {
      ++slot_;
      offset_ = n - available;
      return start;
    }
  }
  std::memcpy(joined_, start, available);
  offset_ = slot.size();
  for (std::size_t filled = available; filled < n;) {
    const std::span<const std::uint8_t> part = current_slot();
    const std::size_t k = std::min(part.size(), n - filled);
    std::memcpy(joined_ + filled, part.data(), k);
    offset_ = k;
    filled += k;
  }
  return joined_;
}

void PayloadReader::close() {
  ring_.close();
  slot_ = 0;
  offset_ = 0;
}

}  // namespace payload
