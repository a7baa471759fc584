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

void DecodeRing::decode_ahead_loop() {
  for (std::uint64_t index = produced_.load();; ++index) {
    os::enter_monitor(monitor_);
    while (!stop_ && index - released_.load() >= slot_count_) os::wait_in_monitor(monitor_);
    const bool stop = stop_;
    os::leave_monitor(monitor_);
    if (stop) return;

    const std::size_t size = decode_into(index);
    os::enter_monitor(monitor_);
    sizes_[index % slot_count_] = size;
    produced_.store(index + 1);
    os::wake_monitor(monitor_);
    os::leave_monitor(monitor_);
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
    while (produced_.load() <= index) os::wait_in_monitor(monitor_);
    os::leave_monitor(monitor_);
  }
  return {slot_memory(index), sizes_[index % slot_count_]};
}

void DecodeRing::release_below(std::uint64_t index) {
  if (index <= released_.load()) return;
  if (thread_ == nullptr) {
    released_.store(index);
    return;
  }
  os::enter_monitor(monitor_);
  released_.store(index);
  os::wake_monitor(monitor_);
  os::leave_monitor(monitor_);
}

void DecodeRing::close() {
  if (thread_ != nullptr) {
    os::enter_monitor(monitor_);
    stop_ = true;
    os::wake_monitor(monitor_);
    os::leave_monitor(monitor_);
    os::join_thread(thread_);
    thread_ = nullptr;
  }
  if (monitor_ != nullptr) os::destroy_monitor(monitor_);
  monitor_ = nullptr;
  tried_ahead_ = false;
  stop_ = false;
  ZSTD_freeDCtx(context_);
  context_ = nullptr;
  std::free(memory_);
  memory_ = nullptr;
  input_ = {};
  produced_.store(0);
  released_.store(0);
}

}  // namespace payload
