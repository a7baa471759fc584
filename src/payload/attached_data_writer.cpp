#include "payload/attached_data_writer.h"
#include "payload/frame_table.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

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

// Streams the entries' contents into out: through one frame, or cut into the planned frames.
class FrameWriter {
 public:
  FrameWriter(const AttachedDataOptions& options, std::ostream& out, std::uint64_t total, std::vector<FrameRecord> frames)
      : context_(ZSTD_createCCtx()), options_(options), out_(out), total_(total), buffer_(ZSTD_CStreamOutSize()),
        frames_(std::move(frames)) {
    if (!context_) throw AttachedDataError("cannot create a compression context");
    if (options.window_log < ZSTD_WINDOWLOG_MIN || options.window_log > max_window_log) {
      throw AttachedDataError("window log must lie between " + std::to_string(ZSTD_WINDOWLOG_MIN) + " and " +
                       std::to_string(max_window_log));
    }
    ZSTD_CCtx* c = context_.get();
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "compression level");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, options.window_log), "window log");
    // A cut frame declares its size: the encoder then keeps its window within the content, and a
    // reader can check the frame against the table before decoding it.
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, cut() ? 1 : 0), "content size flag");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum flag");
    if (options.threads > 0) check(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, options.threads), "threads");
    if (cut()) start_frame();
  }

  // One frame: feeding with ZSTD_e_continue keeps the content size unknown to the encoder, so
  // the frame header never holds one and the window stays as set.
  void feed(const char* data, std::size_t size) {
    if (!cut()) {
      run(data, size, ZSTD_e_continue);
      return;
    }
    while (size > 0) {
      if (current_ == frames_.size()) throw AttachedDataError("the entries hold more bytes than their sizes");
      const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_in_frame_));
      run(data, k, ZSTD_e_continue);
      data += k;
      size -= k;
      left_in_frame_ -= k;
      if (left_in_frame_ == 0) end_frame();
    }
  }
  void finish() {
    if (!cut()) run(nullptr, 0, ZSTD_e_end);
  }
  std::uint64_t written() const { return written_; }
  const std::vector<FrameRecord>& frames() const { return frames_; }

 private:
  bool cut() const { return !frames_.empty(); }

  void start_frame() {
    check(ZSTD_CCtx_reset(context_.get(), ZSTD_reset_session_only), "frame reset");
    check(ZSTD_CCtx_setPledgedSrcSize(context_.get(), frames_[current_].decoded_size), "frame size");
    left_in_frame_ = frames_[current_].decoded_size;
    frame_start_ = written_;
  }
  void end_frame() {
    run(nullptr, 0, ZSTD_e_end);
    frames_[current_].compressed_size = written_ - frame_start_;
    done_before_ += frames_[current_].decoded_size;
    if (++current_ < frames_.size()) start_frame();
  }

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
      if (options_.progress) options_.progress(done_before_ + ZSTD_getFrameProgression(context_.get()).consumed, total_);
      const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) break;
    }
  }

  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context_;
  const AttachedDataOptions& options_;
  std::ostream& out_;
  std::uint64_t total_;
  std::uint64_t written_ = 0;
  std::vector<char> buffer_;
  std::vector<FrameRecord> frames_;
  std::size_t current_ = 0;
  std::uint64_t left_in_frame_ = 0;
  std::uint64_t frame_start_ = 0;
  std::uint64_t done_before_ = 0;  // content of the frames ended so far
};

std::uint64_t entry_size(const AttachedFile& entry) {
  if (entry.source.empty()) return entry.contents.size();
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(entry.source, error);
  if (error) throw AttachedDataError(shown(entry.source) + ": cannot read its size: " + error.message());
  return size;
}

void stream_entry(const AttachedFile& entry, std::uint64_t size, FrameWriter& frame) {
  if (entry.source.empty()) {
    frame.feed(entry.contents.data(), entry.contents.size());
    return;
  }
  std::ifstream in(entry.source, std::ios::binary);
  if (!in) throw AttachedDataError(shown(entry.source) + ": cannot open for reading");
  std::vector<char> chunk(1 << 20);
  std::uint64_t seen = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    seen += got;
    if (seen > size) break;
    frame.feed(chunk.data(), got);
  }
  if (in.bad()) throw AttachedDataError(shown(entry.source) + ": read failed");
  if (seen != size) throw AttachedDataError(shown(entry.source) + ": the file changed while it was packed");
}

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

  FrameWriter frame(options, out, summary.content_size, std::move(frames));
  for (std::size_t i = 0; i < entries.size(); ++i) stream_entry(entries[i], sizes[i], frame);
  frame.finish();
  summary.stream_size = frame_table.size() + frame.written();
  summary.frame_count = frame.frames().empty() ? 1 : frame.frames().size();

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
    encode_frame_table(frame.frames(), frame_table.data());
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
