#include "payload/attached_data_writer.h"
#include "payload/frame_table.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression
#include <zstd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "bytes/little_endian.h"

namespace payload {
namespace {

// A file's name in a message: UTF-8 on every host (string() gives the Windows code page there).
std::string shown(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {reinterpret_cast<const char*>(text.data()), text.size()};
}

static_assert(max_window_log == ZSTD_WINDOWLOG_LIMIT_DEFAULT, "the launcher's decoder keeps the library's default limit");

// Printable ASCII alone: the path may hold the 0 unit that the message is about.
std::string ascii_for_message(const std::u16string& path) {
  std::string out;
  for (char16_t c : path) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(std::size_t result, const char* what) {
  if (ZSTD_isError(result)) throw AttachedDataError(std::string(what) + ": " + ZSTD_getErrorName(result));
}

using Context = std::unique_ptr<ZSTD_CCtx, ContextDeleter>;

// A cut frame declares its size: the encoder then keeps its window within the content, and a
// reader can check the frame against the table before decoding it.
Context make_context(const AttachedDataOptions& options, bool cut) {
  Context context(ZSTD_createCCtx());
  if (!context) throw AttachedDataError("cannot create a compression context");
  if (options.window_log < ZSTD_WINDOWLOG_MIN || options.window_log > max_window_log) {
    throw AttachedDataError("window log must lie between " + std::to_string(ZSTD_WINDOWLOG_MIN) + " and " +
                            std::to_string(max_window_log));
  }
  ZSTD_CCtx* c = context.get();
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "compression level");
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, options.window_log), "window log");
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, cut ? 1 : 0), "content size flag");
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum flag");
  return context;
}

// The frames that a frame target cuts the entries into; their compressed sizes stay 0 here.
std::vector<FrameRecord> plan_frames(const std::vector<std::uint64_t>& sizes, std::uint64_t target) {
  std::vector<FrameRecord> frames;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    for (std::uint64_t offset = 0; offset < sizes[i];) {
      // Pieces end at multiples of the target inside the entry, so where a large entry is cut
      // depends on the entry alone.
      const std::uint64_t piece = std::min(sizes[i] - offset, target - offset % target);
      if (frames.empty() || frames.back().decoded_size + piece > target) frames.push_back({0, 0, i, offset});
      frames.back().decoded_size += piece;
      offset += piece;
    }
  }
  return frames;
}

// Streams the entries' contents into out as one frame, which the encoder's own workers compress
// in parallel.
class OneFrameWriter {
 public:
  OneFrameWriter(const AttachedDataOptions& options, std::ostream& out, std::uint64_t total)
      : context_(make_context(options, false)), options_(options), out_(out), total_(total), buffer_(ZSTD_CStreamOutSize()) {
    if (options.threads > 0) check(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_nbWorkers, options.threads), "threads");
  }

  // Feeding with ZSTD_e_continue keeps the content size unknown to the encoder, so the frame
  // header never holds one and the window stays as set.
  void feed(const char* data, std::size_t size) { run(data, size, ZSTD_e_continue); }
  void finish() { run(nullptr, 0, ZSTD_e_end); }
  std::uint64_t written() const { return written_; }

 private:
  void run(const char* data, std::size_t size, ZSTD_EndDirective mode) {
    ZSTD_inBuffer input{data, size, 0};
    for (;;) {
      ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
      const std::size_t left = ZSTD_compressStream2(context_.get(), &output, &input, mode);
      check(left, "compression failed");
      out_.write(buffer_.data(), static_cast<std::streamsize>(output.pos));
      written_ += output.pos;
      // With worker threads the encoder takes input far ahead of compressing it, and the last
      // job is compressed while the frame is ended: count what has been compressed.
      if (options_.progress) options_.progress(ZSTD_getFrameProgression(context_.get()).consumed, total_);
      const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) break;
    }
  }

  Context context_;
  const AttachedDataOptions& options_;
  std::ostream& out_;
  std::uint64_t total_;
  std::uint64_t written_ = 0;
  std::vector<char> buffer_;
};

[[noreturn]] void refuse_source(const AttachedFile& entry, const std::string& problem) {
  throw AttachedDataError(shown(entry.source) + ": " + problem);
}

std::ifstream open_source(const AttachedFile& entry) {
  std::ifstream in(entry.source, std::ios::binary);
  if (!in) refuse_source(entry, "cannot open for reading");
  return in;
}

std::uint64_t entry_size(const AttachedFile& entry) {
  if (entry.source.empty()) return entry.contents.size();
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(entry.source, error);
  if (error) refuse_source(entry, "cannot read its size: " + error.message());
  return size;
}

void stream_entry(const AttachedFile& entry, std::uint64_t size, OneFrameWriter& frame) {
  if (entry.source.empty()) {
    frame.feed(entry.contents.data(), entry.contents.size());
    return;
  }
  std::ifstream in = open_source(entry);
  std::vector<char> chunk(1 << 20);
  std::uint64_t seen = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    seen += got;
    if (seen > size) break;
    frame.feed(chunk.data(), got);
  }
  if (in.bad()) refuse_source(entry, "read failed");
  if (seen != size) refuse_source(entry, "the file changed while it was packed");
}

// Copies length bytes of an entry from offset; the piece that ends the entry also checks that
// the file has not grown since its size was taken.
void read_piece(const AttachedFile& entry, std::uint64_t size, std::uint64_t offset, std::uint64_t length, char* into) {
  if (entry.source.empty()) {
    std::memcpy(into, entry.contents.data() + offset, static_cast<std::size_t>(length));
    return;
  }
  std::ifstream in = open_source(entry);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(into, static_cast<std::streamsize>(length));
  if (in.bad()) refuse_source(entry, "read failed");
  const bool short_read = static_cast<std::uint64_t>(in.gcount()) != length;
  if (short_read || (offset + length == size && in.peek() != std::ifstream::traits_type::eof())) {
    refuse_source(entry, "the file changed while it was packed");
  }
}

// Frames are independent, so each is compressed whole on one of the workers, several at once,
// and written in order by the calling thread. Each frame is compressed alone on one thread with
// the same parameters, so the output is the same for any number of threads. A worker takes a
// frame only within two frames per worker of the last one written, which bounds the memory to
// that many frames and their compressed copies, and means no file is read far ahead of the
// progress report.
class CutFrameWriter {
 public:
  CutFrameWriter(const std::vector<AttachedFile>& entries, const std::vector<std::uint64_t>& sizes, std::vector<FrameRecord> frames,
                 const AttachedDataOptions& options)
      : entries_(entries), sizes_(sizes), options_(options), frames_(std::move(frames)), done_(frames_.size()) {
    make_context(options_, true);  // refuses bad options before any thread starts
    const auto workers = static_cast<std::size_t>(std::max(1, options.threads));
    in_flight_limit_ = 2 * workers;
    try {
      for (std::size_t i = 0; i < std::min(workers, frames_.size()); ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~CutFrameWriter() { stop(); }

  // Writes the frames in order; a failure is the first in stream order, as a reader in one pass
  // would meet it.
  std::uint64_t write(std::ostream& out, std::uint64_t total) {
    std::uint64_t written = 0;
    std::uint64_t content_done = 0;
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return done_[i].finished; });
      Done done = std::move(done_[i]);
      lock.unlock();
      if (done.failure) std::rethrow_exception(done.failure);
      out.write(done.bytes.data(), static_cast<std::streamsize>(done.bytes.size()));
      frames_[i].compressed_size = done.bytes.size();
      written += done.bytes.size();
      content_done += frames_[i].decoded_size;
      lock.lock();
      ++written_frames_;
      lock.unlock();
      changed_.notify_all();
      if (options_.progress) options_.progress(content_done, total);
    }
    return written;
  }
  const std::vector<FrameRecord>& frames() const { return frames_; }

 private:
  struct Done {
    bool finished = false;
    std::vector<char> bytes;
    std::exception_ptr failure;
  };

  void work() {
    Context context;
    std::vector<char> content;
    std::vector<char> compressed;
    for (;;) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || next_ == frames_.size() || next_ < written_frames_ + in_flight_limit_; });
      if (stopping_ || next_ == frames_.size()) return;
      const std::size_t i = next_++;
      lock.unlock();
      Done done;
      try {
        if (!context) context = make_context(options_, true);
        read_frame(i, content);
        compressed.resize(std::max(compressed.size(), ZSTD_compressBound(content.size())));
        const std::size_t size = ZSTD_compress2(context.get(), compressed.data(), compressed.size(), content.data(), content.size());
        check(size, "compression failed");
        done.bytes.assign(compressed.data(), compressed.data() + size);
      } catch (...) {
        done.failure = std::current_exception();
      }
      done.finished = true;
      lock.lock();
      done_[i] = std::move(done);
      lock.unlock();
      changed_.notify_all();
    }
  }

  // A frame's content: the pieces of entries it holds, and the empty entries up to the next
  // frame's first (before the first frame's, for frame 0), whose files are checked as well.
  void read_frame(std::size_t i, std::vector<char>& content) const {
    const FrameRecord& frame = frames_[i];
    content.resize(static_cast<std::size_t>(frame.decoded_size));
    const std::size_t limit = i + 1 < frames_.size() ? frames_[i + 1].entry : entries_.size();
    std::uint64_t filled = 0;
    std::uint64_t offset = i == 0 ? 0 : frame.offset;
    for (std::size_t e = i == 0 ? 0 : frame.entry; filled < frame.decoded_size || e < limit; ++e, offset = 0) {
      if (e == entries_.size()) throw AttachedDataError("the entries hold fewer bytes than the frames");
      const std::uint64_t piece = std::min(sizes_[e] - offset, frame.decoded_size - filled);
      read_piece(entries_[e], sizes_[e], offset, piece, content.data() + filled);
      filled += piece;
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  const std::vector<AttachedFile>& entries_;
  const std::vector<std::uint64_t>& sizes_;
  const AttachedDataOptions& options_;
  std::vector<FrameRecord> frames_;
  std::size_t in_flight_limit_ = 0;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by the mutex.
  std::vector<Done> done_;
  std::size_t next_ = 0;            // the next frame a worker takes
  std::size_t written_frames_ = 0;  // frames written out so far
  bool stopping_ = false;
};

}  // namespace

std::string encode_record(const std::u16string& path, std::uint32_t flags, std::uint64_t size) {
  if (path.empty()) throw AttachedDataError("an entry path is empty");
  if (path.size() > max_string_units) {
    throw AttachedDataError(ascii_for_message(path) + ": path has " + std::to_string(path.size()) + " code units, at most " +
                     std::to_string(max_string_units) + " fit");
  }
  if (path.find(u'\0') != std::u16string::npos) throw AttachedDataError(ascii_for_message(path) + ": path holds a 0 code unit");
  std::string record;
  little_endian::append_u32(record, flags);
  little_endian::append_u64(record, size);
  for (char16_t c : path) little_endian::append_u16(record, c);
  record.append(2, '\0');
  return record;
}

AttachedDataSummary write_attached_data(const std::vector<AttachedFile>& entries, const AttachedDataOptions& options, std::ostream& out) {
  if (entries.empty()) throw AttachedDataError("there is nothing to pack: the entry list is empty");
  std::vector<std::uint64_t> sizes;
  std::string table;
  AttachedDataSummary summary;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    sizes.push_back(entry_size(entries[i]));
    summary.content_size += sizes.back();
    table += encode_record(entries[i].path, i + 1 == entries.size() ? flag_last : 0, sizes.back());
    if (table.size() > max_table_size) {
      throw AttachedDataError("the entry table would exceed " + std::to_string(max_table_size) + " bytes");
    }
  }
  summary.table_size = table.size();

  const std::streampos start = out.tellp();
  std::string header;
  little_endian::append_u64(header, summary.table_size);
  little_endian::append_u64(header, 0);  // the stream size, filled in at the end
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  out.write(table.data(), static_cast<std::streamsize>(table.size()));

  std::vector<FrameRecord> frames;
  if (options.frame_target > 0) frames = plan_frames(sizes, options.frame_target);
  // The table's own size field has 32 bits.
  if (frame_table_bytes(frames.size()) > std::uint64_t{UINT32_MAX}) throw AttachedDataError("too many frames for the frame table");
  std::vector<std::uint8_t> frame_table(frames.empty() ? 0 : frame_table_bytes(frames.size()));
  // Written once the compressed sizes are known.
  out.write(reinterpret_cast<const char*>(frame_table.data()), static_cast<std::streamsize>(frame_table.size()));

  std::uint64_t written = 0;
  if (frames.empty()) {
    OneFrameWriter frame(options, out, summary.content_size);
    for (std::size_t i = 0; i < entries.size(); ++i) stream_entry(entries[i], sizes[i], frame);
    frame.finish();
    written = frame.written();
    summary.frame_count = 1;
  } else {
    CutFrameWriter writer(entries, sizes, std::move(frames), options);
    written = writer.write(out, summary.content_size);
    frames = writer.frames();
    summary.frame_count = frames.size();
  }
  summary.stream_size = frame_table.size() + written;

  std::uint64_t offset = header_size + summary.table_size + summary.stream_size;
  std::string tail(1, '\0');
  ++offset;
  while (offset % 8 != 0) {
    tail += '\0';
    ++offset;
  }
  little_endian::append_u64(tail, offset);
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  summary.total_size = offset + 8;

  const std::streampos end = out.tellp();
  std::string stream_size;
  little_endian::append_u64(stream_size, summary.stream_size);
  out.seekp(start + std::streamoff(8));
  out.write(stream_size.data(), 8);
  if (!frame_table.empty()) {
    encode_frame_table(frames, frame_table.data());
    out.seekp(start + std::streamoff(header_size + summary.table_size));
    out.write(reinterpret_cast<const char*>(frame_table.data()), static_cast<std::streamsize>(frame_table.size()));
  }
  out.seekp(end);
  if (!out) throw AttachedDataError("writing the block failed");
  return summary;
}

std::vector<std::uint8_t> build_attached_data(const std::vector<AttachedFile>& entries, const AttachedDataOptions& options) {
  std::stringstream out(std::ios::in | std::ios::out | std::ios::binary);
  write_attached_data(entries, options, out);
  const std::string bytes = std::move(out).str();
  return {bytes.begin(), bytes.end()};
}

}  // namespace payload
