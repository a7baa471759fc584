// The unpack loop over arbitrary blocks, into a fresh scratch directory per input. Whatever the
// block holds, the loop must either end with one of its own messages or leave exactly the
// decoded bytes in every entry's file; in the child role it must create nothing.
//
// Input: byte 0 selects the role (even: parent, odd: child); the rest is the block.
#include <dirent.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "fuzz/endings.h"
#include "os/posix/text.h"
#include "payload/attached_data.h"
#include "payload/contained_path.h"
#include "payload/unpack.h"

namespace {

namespace fs = std::filesystem;

fs::path scratch;
unsigned long run_number = 0;

struct Entry {
  std::u16string path;
  std::uint64_t size;
};

// The records the loop will meet, read with the format's own tests; stops at the first refusal.
std::vector<Entry> records_of(const std::uint8_t* data, std::size_t size) {
  std::vector<Entry> entries;
  try {
    const payload::AttachedDataHeader header = payload::read_attached_data_header({data, size});
    const std::uint8_t* position = header.table;
    while (header.table_size != 0) {
      const payload::PayloadEntry entry = payload::next_payload_entry(position, header.table + header.table_size);
      std::u16string path;
      for (std::uint32_t i = 0; i < entry.path_length; ++i) path += little_endian::load_u16(entry.path + 2 * i);
      entries.push_back({path, entry.size});
      if (entry.flags & payload::flag_last) break;
      position = entry.end;
    }
  } catch (const fuzz::Ending&) {
  }
  return entries;
}

// A ".." component or a leading separator would lead the loop out of the scratch directory. The
// launcher refuses such paths; this simpler fence keeps the fuzzer's own machine safe should that
// rule ever have a gap.
bool escapes(const std::u16string& path) {
  if (!path.empty() && (path[0] == u'\\' || path[0] == u'/')) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find_first_of(u"\\/", start);
    if (path.substr(start, end - start) == u"..") return true;
    if (end == std::u16string::npos) return false;
    start = end + 1;
  }
}

// Every byte the stream yields before it ends or fails, up to limit.
std::string decodable_prefix(const std::uint8_t* data, std::size_t size, std::uint64_t limit) {
  std::string out;
  try {
    const payload::AttachedDataHeader header = payload::read_attached_data_header({data, size});
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer input{header.stream, static_cast<std::size_t>(header.stream_size), 0};
    std::vector<char> buffer(1 << 17);
    while (out.size() < limit) {
      ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
      const std::size_t result = ZSTD_decompressStream(context, &output, &input);
      out.append(buffer.data(), output.pos);
      if (ZSTD_isError(result) || (output.pos == 0 && input.pos == input.size)) break;
    }
    ZSTD_freeDCtx(context);
  } catch (const fuzz::Ending&) {
  }
  return out;
}

std::set<int> open_descriptors() {
  std::set<int> descriptors;
  DIR* dir = opendir("/proc/self/fd");
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') descriptors.insert(std::atoi(entry->d_name));
  }
  descriptors.erase(dirfd(dir));  // the listing's own, closed below and free for reuse
  closedir(dir);
  return descriptors;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* shm = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  scratch = fs::path(shm) / ("zamrik-fuzz-unpack-" + std::to_string(getpid()));
  fs::create_directories(scratch / "home");
  setenv("HOME", (scratch / "home").c_str(), 1);
  std::atexit([] { fs::remove_all(scratch); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const payload::Role role = data[0] % 2 == 0 ? payload::Role::parent : payload::Role::child;
  const std::uint8_t* block = data + 1;
  const std::size_t length = size - 1;
  const std::vector<Entry> entries = records_of(block, length);
  for (const Entry& entry : entries) {
    if (escapes(entry.path)) {
      check(!payload::entry_path_stays_inside(entry.path));
      return 0;
    }
  }

  const fs::path directory = scratch / ("run-" + std::to_string(++run_number));
  const std::u16string unpack_directory = os::posix::from_utf8(directory.string());
  const std::set<int> descriptors_before = open_descriptors();

  // Fresh state per input, as the launcher has once per process; an ending leaves the reader
  // open, and the unpacker frees it when it goes.
  auto unpacker = std::make_unique<payload::Unpacker>();
  payload::UnpackResult result;
  payload::UnpackOutcome outcome{};
  bool ended = false;
  try {
    outcome = unpacker->unpack_attached_data({block, length}, unpack_directory.c_str(), role, result);
  } catch (const fuzz::Ending& ending) {
    ended = true;
    // Only the loop's own refusals; an overflow cannot come from so short a directory.
    const bool own = (ending.kind == fuzz::EndingKind::fatal_exit &&
                      (ending.message == "Error, couldn't find attached data header." ||
                       ending.message == "Error, couldn't decode attached data.")) ||
                     ending.kind == fuzz::EndingKind::open_for_writing;
    check(own);
    if (role == payload::Role::child) check(ending.message == "Error, couldn't find attached data header.");
    // The process would have ended here; close what it left open.
    for (int descriptor : open_descriptors()) {
      if (!descriptors_before.count(descriptor)) close(descriptor);
    }
  }

  if (!ended) {
    check(outcome != payload::UnpackOutcome::empty_table || entries.empty());
    if (outcome == payload::UnpackOutcome::empty_table || role == payload::Role::child) {
      check(!fs::exists(directory));  // nothing created
    }
    if (outcome == payload::UnpackOutcome::empty_table) check(result.main_library_path[0] == u'\0');
    if (outcome != payload::UnpackOutcome::empty_table) {
      check(result.main_library_path == unpack_directory + u"\\" + entries.at(0).path);
    }
    if (outcome == payload::UnpackOutcome::unpacked) {
      check(role == payload::Role::parent);
      for (const Entry& entry : entries) check(payload::entry_path_stays_inside(entry.path));
      std::uint64_t total = 0;
      for (const Entry& entry : entries) total += entry.size;
      const std::string decoded = decodable_prefix(block, length, total);
      check(decoded.size() >= total);
      // A later entry with the same path replaces the earlier file.
      std::map<fs::path, std::string> want;
      std::uint64_t offset = 0;
      for (const Entry& entry : entries) {
        const fs::path file = fs::path(os::posix::native_path((unpack_directory + u"\\" + entry.path).c_str()));
        want[file.lexically_normal()] = decoded.substr(offset, entry.size);
        offset += entry.size;
      }
      for (const auto& [file, bytes] : want) check(contents(file) == bytes);
    }
  }
  check(result.cleanup_needed.load() || (ended && entries.empty()));
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return 0;
}
