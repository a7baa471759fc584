#include "payload/decode_ring.h"

#include <cstdlib>

namespace payload {

bool DecodeRing::open(const std::uint8_t* stream, std::uint64_t stream_size, std::uint32_t slots) {
  slot_count_ = slots;
  memory_ = static_cast<std::uint8_t*>(std::malloc(slots * slot_size));
  if (memory_ == nullptr) return false;
  context_ = ZSTD_createDCtx();
  if (context_ == nullptr) return false;
  input_ = {stream, static_cast<std::size_t>(stream_size), 0};
  return true;
}

void DecodeRing::decode_ahead() {
  if (tried_ahead_) return;
  tried_ahead_ = true;
  monitor_ = os::create_monitor();
  if (monitor_ == nullptr) return;
  thread_ = os::start_thread(run_decoder, this);
  if (thread_ != nullptr) return;
  os::destroy_monitor(monitor_);
  monitor_ = nullptr;
}

void DecodeRing::run_decoder(void* ring) { static_cast<DecodeRing*>(ring)->decode_ahead_loop(); }

// The two threads meet in the monitor only when one of them has to wait. A waiting side says so
// in an atomic before it looks at the other side's counter once more, and the other side looks
// at that flag after it has moved its counter, so one of the two always sees the other.
void DecodeRing::decode_ahead_loop() {
  for (std::uint64_t index = produced_.load();; ++index) {
    if (index - released_.load() >= slot_count_) {
      // A full ring waits until half of it is free again: one wake-up for several slots while
      // the writes are the slower side.
      const std::uint64_t resume = index - slot_count_ / 2;
      os::enter_monitor(monitor_);
      decoder_waits_for_.store(resume);
      while (!stop_ && released_.load() < resume) os::wait_in_monitor(monitor_);
      decoder_waits_for_.store(0);
      os::leave_monitor(monitor_);
    }
    if (stop_.load()) return;

    const std::size_t size = decode_into(index);
    sizes_[index % slot_count_] = size;
    produced_.store(index + 1);
    if (reader_waits_.load()) {
      os::enter_monitor(monitor_);
      os::wake_monitor(monitor_);
      os::leave_monitor(monitor_);
    }
    // A failure is final: the reader stops there, if it ever gets that far.
    if (size == 0) return;
  }
}

std::size_t DecodeRing::decode_into(std::uint64_t index) {
  for (;;) {
    // The decoder holds back the last input byte while it still has output to deliver, so
    // consumed input means that nothing is left to decode.
    if (input_.pos >= input_.size) return 0;
    ZSTD_outBuffer whole{slot_memory(index), slot_size, 0};
    if (ZSTD_isError(ZSTD_decompressStream(context_, &whole, &input_))) return 0;
    // A call may produce nothing yet, for instance when it only reads a frame header.
    if (whole.pos > 0) return whole.pos;
  }
}

std::span<const std::uint8_t> DecodeRing::slot(std::uint64_t index) {
  if (thread_ == nullptr) {
    if (produced_.load() == index) {
      sizes_[index % slot_count_] = decode_into(index);
      produced_.store(index + 1);
    }
  } else if (produced_.load() <= index) {
    os::enter_monitor(monitor_);
    reader_waits_.store(true);
    while (produced_.load() <= index) os::wait_in_monitor(monitor_);
    reader_waits_.store(false);
    os::leave_monitor(monitor_);
  }
  return {slot_memory(index), sizes_[index % slot_count_]};
}

void DecodeRing::release_below(std::uint64_t index) {
  if (index <= released_.load()) return;
  released_.store(index);
  const std::uint64_t waits_for = decoder_waits_for_.load();
  if (waits_for != 0 && index >= waits_for) {
    os::enter_monitor(monitor_);
    os::wake_monitor(monitor_);
    os::leave_monitor(monitor_);
  }
}

void DecodeRing::close() {
  if (thread_ != nullptr) {
    os::enter_monitor(monitor_);
    stop_.store(true);
    os::wake_monitor(monitor_);
    os::leave_monitor(monitor_);
    os::join_thread(thread_);
    thread_ = nullptr;
  }
  if (monitor_ != nullptr) os::destroy_monitor(monitor_);
  monitor_ = nullptr;
  tried_ahead_ = false;
  stop_.store(false);
  ZSTD_freeDCtx(context_);
  context_ = nullptr;
  std::free(memory_);
  memory_ = nullptr;
  input_ = {};
  produced_.store(0);
  released_.store(0);
}

}  // namespace payload
