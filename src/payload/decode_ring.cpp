#define ZSTD_STATIC_LINKING_ONLY  // the block-by-block decoder
#include "payload/decode_ring.h"

#include <algorithm>
#include <cstdlib>

namespace payload {
namespace {

// The streaming decoder's default limit, which the launcher keeps.
constexpr std::uint64_t largest_window = (std::uint64_t{1} << ZSTD_WINDOWLOG_LIMIT_DEFAULT) + 1;

// The first byte of the call that starts the block beginning at start: the bytes from there on
// are lost with that call when the block fails.
std::uint64_t call_start_before(std::uint64_t start) { return start == 0 ? 0 : (start - 1) / call_size * call_size; }

}  // namespace

bool DecodeRing::open(const std::uint8_t* stream, std::uint64_t stream_size) {
  context_ = ZSTD_createDCtx();
  input_ = {stream, static_cast<std::size_t>(stream_size), 0};
  mode_ = Mode::first_frame;
  reachable_.store(call_size);
  return context_ != nullptr;
}

void DecodeRing::decode_ahead() {
  if (tried_ahead_) return;
  tried_ahead_ = true;
  monitor_ = os::create_monitor();
  if (monitor_ == nullptr) return;
  thread_ = os::start_joinable_thread(run_decoder, this);
  if (thread_ != nullptr) return;
  os::destroy_monitor(monitor_);
  monitor_ = nullptr;
}

void DecodeRing::run_decoder(void* ring) { static_cast<DecodeRing*>(ring)->decode_ahead_loop(); }

// The two threads meet in the monitor only when one of them has to wait. A waiting side says so
// in an atomic before it looks at the other side's counter once more, and the other side looks
// at that flag after it has moved its counter, so one of the two always sees the other.
void DecodeRing::decode_ahead_loop() {
  for (;;) {
    if (!has_room()) {
      // Waiting until half the lead is free again costs one wake-up for many writes, but the
      // reader may itself be waiting for bytes that are not published yet: it is sure to
      // release only up to the most it waits for below what is published.
      const std::uint64_t reader_reaches = published_.load() - std::min<std::uint64_t>(longest_wait, reachable_.load());
      const std::uint64_t resume = std::min(decoded_ - lead_ / 2, reader_reaches);
      os::enter_monitor(monitor_);
      decoder_waits_for_.store(resume);
      while (!stop_ && released_.load() < resume) os::wait_in_monitor(monitor_);
      decoder_waits_for_.store(0);
      os::leave_monitor(monitor_);
    }
    if (stop_.load() || !step()) return;
  }
}

bool DecodeRing::step() {
  switch (mode_) {
    case Mode::first_frame: return start_first_frame();
    case Mode::blocks: return decode_block_step();
    case Mode::calls: return decode_call_step();
    case Mode::finished: break;
  }
  return false;
}

bool DecodeRing::start_calls() {
  if (ring_ == nullptr) {
    ring_size_ = 3 * call_size;
    ring_ = static_cast<std::uint8_t*>(std::malloc(ring_size_));
    // As the streaming decoder's own buffer would, a failed allocation fails the first call.
    if (ring_ == nullptr) return finish();
    segments_[0] = {0, 0};
    segment_count_.store(1);
  }
  ZSTD_DCtx_reset(context_, ZSTD_reset_session_only);
  lead_ = ring_size_ - 2 * call_size;
  reachable_.store(lead_);
  mode_ = Mode::calls;
  return true;
}

bool DecodeRing::start_first_frame() {
  const auto* const start = static_cast<const std::uint8_t*>(input_.src);
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, start, input_.size) != 0 || header.frameType != ZSTD_frame) return start_calls();
  // The streaming decoder decodes a frame whose whole content fits its first call in one pass,
  // without a look at the window; every other frame must keep to the limit.
  const bool known_size = header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN;
  const bool one_pass = known_size && header.frameContentSize <= call_size &&
                        ZSTD_findFrameCompressedSize(start, input_.size) <= input_.size;
  const std::uint64_t window = std::max<std::uint64_t>(header.windowSize, std::uint64_t{1} << ZSTD_WINDOWLOG_MIN);
  if (!one_pass && window > largest_window) return finish();
  // No match reaches further back than the content goes.
  window_ = known_size ? std::max<std::uint64_t>(std::min<std::uint64_t>(window, header.frameContentSize), 1) : window;
  block_size_ = header.blockSizeMax;
  // The decoded bytes may run ahead of the released ones by the window, or by a call and a block
  // at least, so that a whole call's worth can always be published. The ring holds that, the
  // block being decoded and what is left unused at the ring's end.
  lead_ = std::max<std::uint64_t>(window_, call_size + block_size_);
  ring_size_ = static_cast<std::size_t>(std::max<std::uint64_t>(lead_ + 2 * block_size_, 3 * call_size));
  ring_ = static_cast<std::uint8_t*>(std::malloc(ring_size_));
  if (ring_ == nullptr) return finish();
  segments_[0] = {0, 0};
  segment_count_.store(1);
  if (ZSTD_isError(ZSTD_decompressBegin(context_))) return finish();
  reachable_.store(lead_ - call_size);
  mode_ = Mode::blocks;
  return true;
}

bool DecodeRing::decode_block_step() {
  const std::size_t needed = ZSTD_nextSrcSizeToDecompress(context_);
  if (needed == 0) {
    publish(decoded_);
    return input_.pos < input_.size ? start_calls() : finish();
  }
  // Input that ends inside the frame: the streaming decoder keeps it, hands out all it has
  // decoded, and the next call finds nothing left.
  if (input_.size - input_.pos < needed) {
    publish(decoded_);
    return finish();
  }
  const ZSTD_nextInputType_e type = ZSTD_nextInputType(context_);
  const bool block = type == ZSTDnit_block || type == ZSTDnit_lastBlock;
  std::uint8_t* const output = block ? output_room(block_size_) : ring_ + write_at_;
  const std::size_t produced = ZSTD_decompressContinue(context_, output, block ? block_size_ : 0,
                                                       static_cast<const std::uint8_t*>(input_.src) + input_.pos, needed);
  // Published already: everything before the call that would have met this failure.
  if (ZSTD_isError(produced)) return finish();
  input_.pos += needed;
  if (produced > 0) {
    write_at_ += produced;
    decoded_ += produced;
    publish(call_start_before(decoded_));
  }
  return true;
}

bool DecodeRing::decode_call_step() {
  // The decoder holds back the last input byte while it still has output to deliver, so
  // consumed input means that nothing is left to decode.
  if (input_.pos >= input_.size) return finish();
  ZSTD_outBuffer whole{output_room(call_size), call_size, 0};
  if (ZSTD_isError(ZSTD_decompressStream(context_, &whole, &input_))) return finish();
  // A call may produce nothing yet, for instance when it only reads a frame header.
  if (whole.pos > 0) {
    write_at_ += whole.pos;
    decoded_ += whole.pos;
    publish(decoded_);
  }
  return true;
}

std::uint8_t* DecodeRing::output_room(std::size_t size) {
  if (ring_size_ - write_at_ < size) {
    write_at_ = 0;
    const std::uint64_t count = segment_count_.load();
    segments_[count % segment_capacity] = {decoded_, 0};
    segment_count_.store(count + 1);
  }
  return ring_ + write_at_;
}

// Blocks: the unreleased bytes stay within the lead, so the new block and the gap at the ring's
// end fit beside them and beside the window. Calls: a call's room and the gap fit beside them.
bool DecodeRing::has_room() const {
  const std::uint64_t ahead = decoded_ - released_.load();
  if (mode_ == Mode::blocks) return ahead <= lead_;
  if (mode_ == Mode::calls) return ahead + 2 * call_size <= ring_size_;
  return true;
}

void DecodeRing::publish(std::uint64_t end) {
  if (end <= published_.load()) return;
  published_.store(end);
  wake_reader();
}

bool DecodeRing::finish() {
  mode_ = Mode::finished;
  final_.store(true);
  wake_reader();
  return false;
}

bool DecodeRing::reader_served(std::uint64_t at, std::size_t target) const {
  bool cut = false;
  const std::uint64_t enough = std::min<std::uint64_t>(target, reachable_.load());
  return published_piece(at, &cut).size() >= enough || cut || final_.load();
}

// A reader waits only while there is a decoder thread. thread_ is not read here: it is set after
// the decoder thread has started, which may be running this already.
void DecodeRing::wake_reader() {
  if (!reader_waits_.load() || !reader_served(reader_at_.load(), reader_target_.load())) return;
  os::enter_monitor(monitor_);
  os::wake_monitor(monitor_);
  os::leave_monitor(monitor_);
}

std::span<const std::uint8_t> DecodeRing::published_piece(std::uint64_t at, bool* cut) const {
  const std::uint64_t published = published_.load();
  const std::uint64_t count = segment_count_.load();
  *cut = false;
  if (at >= published || count == 0) return {};
  // The live bytes lie in the last few segments; older entries may be being reused.
  std::uint64_t index = count - 1;
  while (index > 0 && count - index < segment_capacity && segments_[index % segment_capacity].stream_start > at) --index;
  const Segment& segment = segments_[index % segment_capacity];
  std::uint64_t end = published;
  if (index + 1 < count && segments_[(index + 1) % segment_capacity].stream_start < end) {
    end = segments_[(index + 1) % segment_capacity].stream_start;
    *cut = true;
  }
  return {ring_ + segment.ring_start + (at - segment.stream_start), static_cast<std::size_t>(end - at)};
}

std::span<const std::uint8_t> DecodeRing::wait_for(std::uint64_t at, std::size_t want, std::size_t hope) {
  if (thread_ == nullptr) {
    // Never short of room here: every byte below at has been released.
    while (!reader_served(at, want) && has_room()) step();
  } else if (!reader_served(at, want)) {
    os::enter_monitor(monitor_);
    const std::size_t target = std::clamp(hope, want, longest_wait);
    reader_at_.store(at);
    reader_target_.store(target);
    reader_waits_.store(true);
    while (!reader_served(at, target)) os::wait_in_monitor(monitor_);
    reader_waits_.store(false);
    os::leave_monitor(monitor_);
  }
  bool cut = false;
  return published_piece(at, &cut);
}

void DecodeRing::release_below(std::uint64_t at) {
  if (at <= released_.load()) return;
  released_.store(at);
  const std::uint64_t waits_for = decoder_waits_for_.load();
  if (waits_for != 0 && at >= waits_for) {
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
  std::free(ring_);
  ring_ = nullptr;
  input_ = {};
  mode_ = Mode::first_frame;
  ring_size_ = block_size_ = write_at_ = 0;
  window_ = lead_ = decoded_ = 0;
  segment_count_.store(0);
  published_.store(0);
  released_.store(0);
  reachable_.store(0);
  final_.store(false);
}

}  // namespace payload
