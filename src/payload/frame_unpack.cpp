#define ZSTD_STATIC_LINKING_ONLY  // frame headers and the block-by-block decoder
#include "payload/frame_unpack.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "bytes/little_endian.h"
#include "os/os.h"
#include "payload/contained_path.h"
#include "payload/decode_ring.h"
#include "payload/frame_table.h"
#include "payload/unpack.h"
#include "platform/diagnostics.h"

namespace payload {
namespace {

// What a worker thread holds besides its frame buffer and decoder: its stack as far as it is
// touched, and the system's own bookkeeping.
constexpr std::uint64_t thread_allowance = 256 * 1024;
// Files open at once: enough to keep every worker writing, few enough for any descriptor limit.
constexpr std::uint64_t open_file_limit = 256;
// The largest positional write; the request to stop is looked at between two.
constexpr std::uint64_t largest_write = 8 * 1024 * 1024;

// Where a failure lies in the one-stream loop's course: at a byte of the decoded stream, in the
// entry that the loop is at, and what the loop does there. At one byte the loop closes the
// previous file, opens the next, reads, then writes.
enum class Step : std::uint8_t { open = 0, close_or_decode = 1, write = 2 };
struct Place {
  std::uint64_t at;
  std::uint64_t entry;
  Step step;
  friend bool operator<(const Place& a, const Place& b) {
    if (a.at != b.at) return a.at < b.at;
    if (a.entry != b.entry) return a.entry < b.entry;
    return a.step < b.step;
  }
};
constexpr Place nowhere{~std::uint64_t{0}, ~std::uint64_t{0}, Step::write};

enum class Failure { none, decode, open, write };

struct Entry {
  const std::uint8_t* record;
  std::uint64_t size;
  std::uint64_t start;  // in the decoded stream
  os::Handle file;      // set by the main thread before it counts the entry as open
  std::atomic<std::uint64_t> unwritten;
};

struct Frame {
  const std::uint8_t* source;
  std::uint64_t compressed_size;
  std::uint64_t decoded_size;
  std::uint64_t start;        // in the decoded stream
  std::uint64_t first_entry;  // the entry holding its first byte
};

// The start of the call of a one-stream loop that meets a failure in the block beginning at start
// (counted from the frame's start, where such a loop's calls start afresh): that call's bytes,
// and everything after them, it never gets.
std::uint64_t call_start_before(std::uint64_t start) { return start == 0 ? 0 : (start - 1) / call_size * call_size; }

class FrameUnpack {
 public:
  FrameUnpack(const char16_t* unpack_directory, DirectoryMemo& directories, UnpackResult& result)
      : directory_(unpack_directory), directory_length_(std::char_traits<char16_t>::length(unpack_directory)),
        directories_(directories), result_(result) {}
  FrameUnpack(const FrameUnpack&) = delete;
  FrameUnpack& operator=(const FrameUnpack&) = delete;
  ~FrameUnpack();

  bool prepare(const AttachedDataHeader& header, std::uint32_t worker_limit);
  std::uint32_t start_workers();
  void run();
  // Ends the process before anything is written: as asked by the console handler when
  // failed_path is null, else with the failure to open it.
  [[noreturn]] void abandon(const char16_t* failed_path);

 private:
  struct Worker {
    FrameUnpack* unpack;
    os::Handle thread;
    ZSTD_DCtx* context;
    std::uint8_t* buffer;
  };

  static void run_worker(void* worker);
  void work(Worker& worker);
  // False when the frame cannot be decoded; failed_at is then the first byte that a one-stream loop
  // would never get.
  bool decode(Worker& worker, const Frame& frame, std::uint64_t* failed_at);
  // False when this worker is to stop.
  bool write_frame(const Frame& frame, const std::uint8_t* bytes);
  bool may_name_one_file_twice(const std::uint8_t* table_end) const;
  bool wait_until_open(std::uint64_t entry, const Place& place);
  void record_failure(const Place& place, Failure kind, std::uint32_t error);
  std::uint64_t entry_at(std::uint64_t at, std::uint64_t from) const;
  void open_entry(std::uint64_t index);
  void close_entry(std::uint64_t index, bool check);
  void target_path_of(std::uint64_t index);
  void stop_workers();
  [[noreturn]] void report();
  [[noreturn]] void stop_as_asked();

  const char16_t* directory_;
  std::size_t directory_length_;
  DirectoryMemo& directories_;
  UnpackResult& result_;
  char16_t target_path_[path_capacity] = {};

  const std::uint8_t* table_end_ = nullptr;
  Entry* entries_ = nullptr;
  std::uint64_t entry_count_ = 0;
  Frame* frames_ = nullptr;
  std::uint64_t frame_count_ = 0;
  std::uint64_t largest_frame_ = 0;
  Worker* workers_ = nullptr;
  std::uint32_t worker_count_ = 0;

  // Guarded by the monitor: the workers wait in it for opened files, the main thread for written
  // ones, for frames taken or for a worker that has ended. Each side changes what the other waits
  // for inside it, then wakes it.
  os::Handle monitor_ = nullptr;
  std::uint64_t next_frame_ = 0;       // the next frame that a worker takes
  std::uint32_t running_ = 0;          // workers that have not ended
  std::uint64_t* written_ = nullptr;   // entries completely written, to be closed; open_file_limit
  std::uint64_t written_count_ = 0;
  Place failure_ = nowhere;            // the first failure in the loop's course
  Failure failure_kind_ = Failure::none;
  std::uint32_t failure_error_ = 0;
  std::uint64_t failure_entry_ = 0;
  // Read outside the monitor too: the workers write a file once it is counted here, and stop
  // when told to stop.
  std::atomic<std::uint64_t> opened_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};  // set with the first failure, before it is released

  // The main thread's own.
  std::uint64_t open_count_ = 0;
  std::uint64_t closed_ = 0;
};

FrameUnpack::~FrameUnpack() {
  if (workers_ != nullptr) {
    for (std::uint32_t i = 0; i < worker_count_; ++i) {
      ZSTD_freeDCtx(workers_[i].context);
      std::free(workers_[i].buffer);
    }
  }
  delete[] workers_;
  delete[] written_;
  delete[] frames_;
  delete[] entries_;
  if (monitor_ != nullptr) os::destroy_monitor(monitor_);
}

// Everything is checked before anything is made, so that a table that is not trusted leaves the
// whole unpack to the one-stream loop.
bool FrameUnpack::prepare(const AttachedDataHeader& header, std::uint32_t worker_limit) {
  const auto table = parse_frame_table({header.stream, static_cast<std::size_t>(header.stream_size)});
  if (!table || header.table_size == 0 || directory_length_ + 1 >= path_capacity) return false;

  // The entries: every record sound, none that the parent refuses, the last one ending the table.
  const std::uint8_t* const table_end = header.table + header.table_size;
  table_end_ = table_end;
  std::uint64_t count = 0;
  for (const std::uint8_t* position = header.table;;) {
    const auto entry = parse_payload_entry(position, table_end);
    if (!entry || entry->has_second_string || !join_target_path(directory_, directory_length_, *entry, target_path_)) return false;
    ++count;
    position = entry->end;
    if ((entry->flags & flag_last) != 0) {
      if (position != table_end) return false;
      break;
    }
  }
  // The index of entries and frames comes out of the budget before the frame buffers.
  const std::uint64_t index_size = count * (sizeof(Entry) + sizeof(std::uint64_t)) + table->count * sizeof(Frame);
  if (index_size >= frame_memory_budget) return false;
  entries_ = new (std::nothrow) Entry[count];
  frames_ = new (std::nothrow) Frame[table->count];
  written_ = new (std::nothrow) std::uint64_t[open_file_limit];
  if (entries_ == nullptr || frames_ == nullptr || written_ == nullptr) return false;
  entry_count_ = count;
  std::uint64_t start = 0;
  const std::uint8_t* position = header.table;
  for (std::uint64_t i = 0; i < count; ++i) {
    const PayloadEntry entry = *parse_payload_entry(position, table_end);
    entries_[i].record = position;
    entries_[i].size = entry.size;
    entries_[i].start = start;
    entries_[i].file = os::invalid_handle;
    entries_[i].unwritten.store(entry.size);
    if (entry.size > ~std::uint64_t{0} - start) return false;
    start += entry.size;
    position = entry.end;
  }
  if (!frame_table_covers(*table, count, [this](std::uint64_t i) { return entries_[i].size; })) return false;
  if (may_name_one_file_twice(table_end)) return false;

  // Each frame as its table record says: one frame of its own size, its window within it, nothing
  // that the one-stream loop's decoder would read differently.
  frame_count_ = table->count;
  const std::uint8_t* source = header.stream + table->table_size;
  for (std::uint64_t i = 0; i < frame_count_; ++i) {
    const FrameRecord record = table->record(i);
    ZSTD_frameHeader frame;
    const auto compressed = static_cast<std::size_t>(record.compressed_size);
    if (ZSTD_getFrameHeader(&frame, source, compressed) != 0 || frame.frameType != ZSTD_frame || frame.dictID != 0 ||
        frame.frameContentSize != record.decoded_size ||
        frame.windowSize > std::max<std::uint64_t>(record.decoded_size, std::uint64_t{1} << ZSTD_WINDOWLOG_MIN) ||
        frame.windowSize > (std::uint64_t{1} << max_window_log) ||
        ZSTD_findFrameCompressedSize(source, compressed) != compressed) {
      return false;
    }
    frames_[i] = {source, record.compressed_size, record.decoded_size, 0, record.entry};
    largest_frame_ = std::max(largest_frame_, record.decoded_size);
    source += compressed;
  }
  for (std::uint64_t i = 0; i < frame_count_; ++i) frames_[i].start = entries_[frames_[i].first_entry].start + table->record(i).offset;

  // Workers within the budget: each holds a buffer of the largest frame and a decoder.
  const std::uint64_t per_worker = largest_frame_ + ZSTD_estimateDCtxSize() + thread_allowance;
  const std::uint64_t affordable = (frame_memory_budget - index_size) / per_worker;
  const std::uint64_t processors = worker_limit != 0 ? worker_limit : os::processor_count();
  worker_count_ = static_cast<std::uint32_t>(std::min({processors, frame_count_, affordable}));
  if (worker_count_ == 0) return false;
  workers_ = new (std::nothrow) Worker[worker_count_]();
  if (workers_ == nullptr) return false;
  for (std::uint32_t i = 0; i < worker_count_; ++i) {
    workers_[i].unpack = this;
    workers_[i].context = ZSTD_createDCtx();
    workers_[i].buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(largest_frame_)));
    if (workers_[i].context == nullptr || workers_[i].buffer == nullptr) return false;
  }
  monitor_ = os::create_monitor();
  return monitor_ != nullptr;
}

// A file that comes again is emptied and rewritten by the one-stream loop, after the first one is
// closed; two entries that may name one file are left to it. Names are compared as the system may
// match them: letters in either case, any two other non-ASCII units alike, and a short name
// ("~" and a digit) alike to anything.
bool FrameUnpack::may_name_one_file_twice(const std::uint8_t* table_end) const {
  std::unique_ptr<std::uint64_t[]> keys(new (std::nothrow) std::uint64_t[entry_count_]);
  if (keys == nullptr) return true;
  for (std::uint64_t i = 0; i < entry_count_; ++i) {
    const PayloadEntry entry = *parse_payload_entry(entries_[i].record, table_end);
    std::uint64_t key = 14695981039346656037u;
    const auto unit_at = [&](std::uint32_t u) { return static_cast<char16_t>(little_endian::load_u16(entry.path + 2 * u)); };
    for (std::uint32_t u = 0; u < entry.path_length; ++u) {
      char16_t unit = unit_at(u);
      if (unit == u'~' && u + 1 < entry.path_length && unit_at(u + 1) >= u'0' && unit_at(u + 1) <= u'9') return true;
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + 32);
      if (unit >= 0x80) unit = 0x80;
      key = (key ^ unit) * 1099511628211u;
    }
    keys[i] = key;
  }
  std::sort(keys.get(), keys.get() + entry_count_);
  return std::adjacent_find(keys.get(), keys.get() + entry_count_) != keys.get() + entry_count_;
}

// Workers that cannot be started leave the work to the others; with none, nothing has happened.
std::uint32_t FrameUnpack::start_workers() {
  std::uint32_t started = 0;
  for (std::uint32_t i = 0; i < worker_count_; ++i) {
    os::enter_monitor(monitor_);
    ++running_;
    os::leave_monitor(monitor_);
    workers_[i].thread = os::start_joinable_thread(run_worker, &workers_[i]);
    if (workers_[i].thread != nullptr) {
      ++started;
      continue;
    }
    os::enter_monitor(monitor_);
    --running_;
    os::leave_monitor(monitor_);
  }
  return started;
}

void FrameUnpack::run_worker(void* worker) {
  auto& self = *static_cast<Worker*>(worker);
  self.unpack->work(self);
  os::enter_monitor(self.unpack->monitor_);
  --self.unpack->running_;
  os::wake_monitor(self.unpack->monitor_);
  os::leave_monitor(self.unpack->monitor_);
}

// Frames are taken in stream order, so every frame before a failure has been taken by the time
// it is met.
void FrameUnpack::work(Worker& worker) {
  for (;;) {
    os::enter_monitor(monitor_);
    const std::uint64_t index = next_frame_ < frame_count_ ? next_frame_++ : frame_count_;
    const bool past_failure = index < frame_count_ && !(Place{frames_[index].start, frames_[index].first_entry, Step::open} < failure_);
    os::leave_monitor(monitor_);
    if (index == frame_count_ || past_failure || stop_.load()) return;
    const Frame& frame = frames_[index];
    std::uint64_t failed_at = 0;
    if (!decode(worker, frame, &failed_at)) {
      const std::uint64_t at = frame.start + call_start_before(failed_at);
      record_failure({at, entry_at(at, frame.first_entry), Step::close_or_decode}, Failure::decode, 0);
      return;
    }
    if (!write_frame(frame, worker.buffer)) return;
  }
}

// Block by block into one buffer that holds the whole frame: the decoder's window is the buffer
// itself, and a failure tells at which block it came.
bool FrameUnpack::decode(Worker& worker, const Frame& frame, std::uint64_t* failed_at) {
  std::uint64_t produced = 0;
  *failed_at = 0;
  if (ZSTD_isError(ZSTD_decompressBegin(worker.context))) return false;
  for (std::uint64_t read = 0;;) {
    const std::size_t needed = ZSTD_nextSrcSizeToDecompress(worker.context);
    if (needed == 0) break;
    *failed_at = produced;
    if (frame.compressed_size - read < needed) return false;
    const std::size_t n = ZSTD_decompressContinue(worker.context, worker.buffer + produced,
                                                  static_cast<std::size_t>(frame.decoded_size - produced),
                                                  frame.source + read, needed);
    if (ZSTD_isError(n)) return false;
    read += needed;
    produced += n;
  }
  *failed_at = produced;
  return produced == frame.decoded_size;
}

// The first entry at or after from that holds the byte at: the entry that the loop is filling
// when it needs that byte.
std::uint64_t FrameUnpack::entry_at(std::uint64_t at, std::uint64_t from) const {
  while (from + 1 < entry_count_ && entries_[from].start + entries_[from].size <= at) ++from;
  return from;
}

bool FrameUnpack::wait_until_open(std::uint64_t entry, const Place& place) {
  if (opened_.load() > entry && !failed_.load() && !stop_.load()) return true;
  os::enter_monitor(monitor_);
  while (opened_.load() <= entry && place < failure_ && !stop_.load()) os::wait_in_monitor(monitor_);
  const bool open = opened_.load() > entry && place < failure_ && !stop_.load();
  os::leave_monitor(monitor_);
  return open;
}

bool FrameUnpack::write_frame(const Frame& frame, const std::uint8_t* bytes) {
  std::uint64_t at = frame.start;
  const std::uint64_t end = frame.start + frame.decoded_size;
  for (std::uint64_t index = frame.first_entry; at < end; ++index) {
    Entry& entry = entries_[index];
    const std::uint64_t piece = std::min(end, entry.start + entry.size) - at;
    if (piece == 0) continue;
    const Place place{at, index, Step::write};
    if (!wait_until_open(index, place)) return false;
    for (std::uint64_t done = 0; done < piece;) {
      if (result_.stop_writing.load()) {
        stop_.store(true);
        os::enter_monitor(monitor_);
        os::wake_monitor(monitor_);
        os::leave_monitor(monitor_);
        return false;
      }
      const auto size = static_cast<std::uint32_t>(std::min(piece - done, largest_write));
      if (!os::write_file_at(entry.file, bytes + (at - frame.start) + done, size, at - entry.start + done)) {
        record_failure(place, Failure::write, os::last_error());
        return false;
      }
      done += size;
    }
    at += piece;
    if (entry.unwritten.fetch_sub(piece) == piece) {
      os::enter_monitor(monitor_);
      written_[written_count_++] = index;
      os::wake_monitor(monitor_);
      os::leave_monitor(monitor_);
    }
  }
  return true;
}

void FrameUnpack::record_failure(const Place& place, Failure kind, std::uint32_t error) {
  os::enter_monitor(monitor_);
  failed_.store(true);
  if (place < failure_) {
    failure_ = place;
    failure_kind_ = kind;
    failure_error_ = error;
    failure_entry_ = place.entry;
  }
  os::wake_monitor(monitor_);
  os::leave_monitor(monitor_);
}

void FrameUnpack::target_path_of(std::uint64_t index) {
  const auto entry = parse_payload_entry(entries_[index].record, table_end_);
  join_target_path(directory_, directory_length_, *entry, target_path_);
}

// Directories before their files, files in table order, as the one-stream loop makes them.
void FrameUnpack::open_entry(std::uint64_t index) {
  target_path_of(index);
  directories_.ensure_parent_directories(target_path_);
  const os::Handle file = os::create_file_for_writing(target_path_);
  if (file == os::invalid_handle) {
    record_failure({entries_[index].start, index, Step::open}, Failure::open, 0);
    return;
  }
  entries_[index].file = file;
  ++open_count_;
  os::enter_monitor(monitor_);
  opened_.store(index + 1);
  if (entries_[index].size == 0) written_[written_count_++] = index;
  os::wake_monitor(monitor_);
  os::leave_monitor(monitor_);
}

// Some systems report at the close that written data did not arrive; a file that was not
// completely written is only closed.
void FrameUnpack::close_entry(std::uint64_t index, bool check) {
  Entry& entry = entries_[index];
  const bool closed = os::close_handle(entry.file);
  const std::uint32_t error = closed ? 0 : os::last_error();
  entry.file = os::invalid_handle;
  --open_count_;
  ++closed_;
  if (check && !closed) record_failure({entry.start + entry.size, index, Step::close_or_decode}, Failure::write, error);
}

void FrameUnpack::stop_workers() {
  os::enter_monitor(monitor_);
  stop_.store(true);
  os::wake_monitor(monitor_);
  os::leave_monitor(monitor_);
  for (std::uint32_t i = 0; i < worker_count_; ++i) {
    if (workers_[i].thread != nullptr) os::join_thread(workers_[i].thread);
    workers_[i].thread = nullptr;
  }
}

// The main thread opens files ahead of the workers, within the limit, and closes those that are
// written, off the decoding path; it stops opening at a failure and waits for the workers, which
// finish what lies before it.
void FrameUnpack::run() {
  std::uint64_t to_close[open_file_limit];
  for (;;) {
    if (result_.stop_writing.load()) stop_as_asked();
    os::enter_monitor(monitor_);
    const std::uint64_t next = opened_.load();
    bool can_open = next < entry_count_ && open_count_ < open_file_limit &&
                    Place{entries_[next].start, next, Step::open} < failure_ && !stop_.load();
    while (!can_open && written_count_ == 0 && running_ > 0 && !stop_.load()) {
      os::wait_in_monitor(monitor_);
      can_open = next < entry_count_ && open_count_ < open_file_limit &&
                 Place{entries_[next].start, next, Step::open} < failure_ && !stop_.load();
    }
    const std::uint64_t closing = written_count_;
    std::copy(written_, written_ + closing, to_close);
    written_count_ = 0;
    const bool workers_done = running_ == 0;
    const bool failed = failure_kind_ != Failure::none;
    os::leave_monitor(monitor_);

    for (std::uint64_t i = 0; i < closing; ++i) close_entry(to_close[i], true);
    if (stop_.load()) stop_as_asked();
    if (can_open) {
      open_entry(next);
      continue;
    }
    if (closing > 0) continue;
    if (closed_ == entry_count_ || (workers_done && failed)) break;
    if (workers_done) {
      // Every frame decoded and written, yet an entry remains: cannot be, as the table covers the
      // entries; nothing is trusted then.
      record_failure({0, 0, Step::open}, Failure::decode, 0);
      break;
    }
  }
  stop_workers();
  for (std::uint64_t i = 0; i < entry_count_; ++i) {
    if (entries_[i].file != os::invalid_handle) close_entry(i, false);
  }
  if (failure_kind_ != Failure::none) report();
}

// The failure that the one-stream loop would have met first, with its message.
void FrameUnpack::report() {
  switch (failure_kind_) {
    case Failure::open:
      target_path_of(failure_entry_);
      platform::fail_open_for_writing(target_path_);
    case Failure::write: platform::fail_with_system_error(platform::message::unpack_write, failure_error_);
    case Failure::decode:
    case Failure::none: break;
  }
  platform::fatal_exit(platform::message::decode);
}

void FrameUnpack::abandon(const char16_t* failed_path) {
  if (failed_path == nullptr) stop_as_asked();
  stop_workers();
  platform::fail_open_for_writing(failed_path);
}

// Every file is closed before the handler's removal goes on, and no new one comes.
void FrameUnpack::stop_as_asked() {
  stop_workers();
  for (std::uint64_t i = 0; i < entry_count_; ++i) {
    if (entries_[i].file != os::invalid_handle) os::close_handle(entries_[i].file);
  }
  result_.writing.store(false);
  for (;;) os::sleep_milliseconds(1000);
}

}  // namespace

bool unpack_frames(const AttachedDataHeader& header, const char16_t* unpack_directory, std::uint32_t worker_limit,
                   DirectoryMemo& directories, UnpackResult& result) {
  auto unpack = std::unique_ptr<FrameUnpack>(new (std::nothrow) FrameUnpack(unpack_directory, directories, result));
  if (unpack == nullptr || !unpack->prepare(header, worker_limit)) return false;
  // The first entry's path is the main library's, as the loop records it.
  char16_t first[path_capacity];
  join_target_path(unpack_directory, std::char_traits<char16_t>::length(unpack_directory),
                   *parse_payload_entry(header.table, header.table + header.table_size), first);
  // Workers start before anything is made: they only decode until files are open.
  const std::uint32_t started = unpack->start_workers();
  if (started == 0) return false;
  result.decoding_threads.store(started);
  std::copy(std::begin(first), std::end(first), std::begin(result.main_library_path));
  // As the loop does: set before the check, and the handler sets its request before it looks.
  result.writing.store(true);
  if (result.stop_writing.load()) unpack->abandon(nullptr);
  // Whatever already has the unpack directory's name belongs to someone else.
  if (!result.directory_created.load()) {
    if (!directories.create_new_directory(unpack_directory)) unpack->abandon(first);
    result.directory_created = true;
  }
  unpack->run();
  return true;
}

}  // namespace payload
