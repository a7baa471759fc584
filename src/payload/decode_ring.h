// The decoded stream in a ring of slots. Every slot holds what one decoder call produced when
// it was offered a whole slot, so the decoder sees exactly the calls that a single output
// buffer of slot_size bytes would give it, and fails at the same call. A thread of its own may
// decode ahead into the free slots; without it a slot is decoded when it is asked for.
#pragma once

#include <zstd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "os/os.h"

namespace payload {

inline constexpr std::size_t slot_size = 131072;
inline constexpr std::uint32_t most_slots = 16;

class DecodeRing {
 public:
  DecodeRing() = default;
  DecodeRing(const DecodeRing&) = delete;
  DecodeRing& operator=(const DecodeRing&) = delete;
  ~DecodeRing() { close(); }

  // Allocates the slots (1 to most_slots) in one block and creates the decoder with the
  // library's default limits; false when memory is short.
  bool open(const std::uint8_t* stream, std::uint64_t stream_size, std::uint32_t slots);
  // Starts the decoder thread, once; when it cannot be started, decoding stays on demand.
  void decode_ahead();
  // The bytes of slot number index (0 is the first), waiting for them if need be: empty when
  // the stream failed or ended there. Only the slot after the last one asked for, or a slot
  // asked for before and not yet released, may be asked for.
  std::span<const std::uint8_t> slot(std::uint64_t index);
  // True when slot index + 1 starts where slot index ends in memory.
  bool next_is_adjacent(std::uint64_t index) const { return (index + 1) % slot_count_ != 0; }
  // The slots below index are read: the decoder may fill them again.
  void release_below(std::uint64_t index);
  // Stops the decoder thread, then frees the decoder and the slots; nothing to do when closed.
  void close();

 private:
  static void run_decoder(void* ring);
  void decode_ahead_loop();
  // One slot's worth of decoder calls: the size produced, 0 on failure or when the input is used up.
  std::size_t decode_into(std::uint64_t index);
  std::uint8_t* slot_memory(std::uint64_t index) const { return memory_ + (index % slot_count_) * slot_size; }

  ZSTD_DCtx* context_ = nullptr;
  ZSTD_inBuffer input_{};
  std::uint8_t* memory_ = nullptr;
  std::uint32_t slot_count_ = 1;
  std::array<std::size_t, most_slots> sizes_{};
  // Slots below produced_ are filled (sizes_ holds their sizes); slots below released_ are free.
  std::atomic<std::uint64_t> produced_{0};
  std::atomic<std::uint64_t> released_{0};
  // The decoder thread waits in the monitor for free slots, the reader for a filled one; each
  // says what it waits for, so that the other wakes it only then.
  os::Handle monitor_ = nullptr;
  std::atomic<std::uint64_t> decoder_waits_for_{0};  // the released_ it waits for; 0: not waiting
  std::atomic<bool> reader_waits_{false};
  std::atomic<bool> stop_{false};
  os::Handle thread_ = nullptr;
  bool tried_ahead_ = false;
};

}  // namespace payload
