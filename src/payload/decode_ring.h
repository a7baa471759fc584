// The decoded stream in a ring that the unpack loop writes from directly.
//
// An ordinary first frame is decoded block by block straight into the ring, which then is also
// the decoder's window: the decoder may run ahead of the writes by nearly a window, and needs no
// buffer besides it. Whatever follows that frame, and a first frame of any other kind, goes
// through the streaming decoder in calls that are offered call_size bytes of the ring each.
//
// Either way the loop sees exactly the bytes that a loop calling the streaming decoder with one
// buffer of call_size bytes would have got, and meets a failure at the same byte. Such a loop
// gets nothing of a call that fails, and a call goes on to the next block as soon as it has
// handed out the previous one, even when that filled its buffer. So the bytes of a block-decoded
// frame are published a whole call's worth at a time, once every block that such a call would
// have started has decoded.
#pragma once

#include <zstd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "os/os.h"

namespace payload {

inline constexpr std::size_t call_size = 131072;
// The most that one read asks for: the unpack loop's writes.
inline constexpr std::size_t chunk_size = 32768;
// The most that a read that has to wait waits for: the unpack loop's longest write.
inline constexpr std::size_t longest_wait = 32 * chunk_size;

class DecodeRing {
 public:
  DecodeRing() = default;
  DecodeRing(const DecodeRing&) = delete;
  DecodeRing& operator=(const DecodeRing&) = delete;
  ~DecodeRing() { close(); }

  // Creates the decoder; the ring is allocated when the first frame's header is known. False
  // when memory is short.
  bool open(const std::uint8_t* stream, std::uint64_t stream_size);
  // Starts the decoder thread, once; when it cannot be started, decoding stays on demand.
  void decode_ahead();
  // The decoded bytes from stream offset at on that lie in one piece of the ring, once there
  // are want of them, or as many as the decoder can get ahead of at, or the piece reaches the
  // ring's end, or no more will come; want is at most chunk_size. Empty when the stream failed
  // or ended at at. Every byte below at must have been released. When it has to wait for the
  // decoder thread, it waits for as many as hope (want to longest_wait) in the same way: a
  // reader that keeps up with the decoder is woken once for that many, not for every call.
  std::span<const std::uint8_t> wait_for(std::uint64_t at, std::size_t want, std::size_t hope);
  // The decoded bytes from at on that lie in one piece of the ring now, without waiting.
  std::span<const std::uint8_t> decoded_piece(std::uint64_t at) const {
    bool cut = false;
    return published_piece(at, &cut);
  }
  // The bytes below at are written: the decoder may use their room again.
  void release_below(std::uint64_t at);
  // Stops the decoder thread, then frees the decoder and the ring; nothing to do when closed.
  void close();

 private:
  // A stretch of the stream that lies in one piece of the ring.
  struct Segment {
    std::uint64_t stream_start;
    std::size_t ring_start;
  };
  static constexpr std::uint32_t segment_capacity = 8;

  static void run_decoder(void* ring);
  void decode_ahead_loop();
  // One step of decoding; false when nothing more will be published.
  bool step();
  bool start_first_frame();
  bool start_calls();
  bool decode_block_step();
  bool decode_call_step();
  // The room for the next output: wraps to the ring's start when fewer than size bytes are left.
  std::uint8_t* output_room(std::size_t size);
  bool has_room() const;
  void publish(std::uint64_t end);
  bool finish();  // nothing more will be published
  // Whether the piece from at on holds target bytes, or all the decoder can get ahead of at, or
  // ends where the next segment begins, or no more will come.
  bool reader_served(std::uint64_t at, std::size_t target) const;
  // Wakes the reader once what it waits for is there.
  void wake_reader();
  // The published bytes from at on in one piece of the ring; cut when the piece ends where the
  // next segment begins.
  std::span<const std::uint8_t> published_piece(std::uint64_t at, bool* cut) const;

  ZSTD_DCtx* context_ = nullptr;
  ZSTD_inBuffer input_{};
  enum class Mode { first_frame, blocks, calls, finished } mode_ = Mode::first_frame;

  // Written by the decoder before it publishes the bytes they hold; read by the reader.
  std::uint8_t* ring_ = nullptr;
  std::size_t ring_size_ = 0;
  std::size_t block_size_ = 0;   // the largest block of the frame decoded block by block
  std::uint64_t window_ = 0;     // the history that frame needs
  std::uint64_t lead_ = 0;       // how far the decoded bytes may run ahead of the released ones
  Segment segments_[segment_capacity] = {};
  std::atomic<std::uint64_t> segment_count_{0};

  // The decoder's own.
  std::size_t write_at_ = 0;     // ring offset of the next output
  std::uint64_t decoded_ = 0;    // stream bytes decoded, published or not

  std::atomic<std::uint64_t> published_{0};
  // What the reader may wait for beyond its position. Zero until open: an object whose every
  // member starts as zero stays out of the image's initialized data.
  std::atomic<std::uint64_t> reachable_{0};
  std::atomic<bool> final_{false};
  std::atomic<std::uint64_t> released_{0};

  // The decoder thread waits in the monitor for released room, the reader for published bytes;
  // each says so first, so that the other wakes it only then.
  os::Handle monitor_ = nullptr;
  std::atomic<std::uint64_t> decoder_waits_for_{0};  // the released_ it waits for; 0: not waiting
  std::atomic<bool> reader_waits_{false};
  std::atomic<std::uint64_t> reader_at_{0};      // where the waiting reader reads
  std::atomic<std::size_t> reader_target_{0};    // and how much it waits for
  std::atomic<bool> stop_{false};
  os::Handle thread_ = nullptr;
  bool tried_ahead_ = false;
};

}  // namespace payload
