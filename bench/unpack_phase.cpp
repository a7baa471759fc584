// The unpack phase against its new limit, in one process: decoding the block's stream to
// nothing with the launcher's own reader, and the launcher's unpack loop
// writing the tree, round after round; then the removal of the tree as the launcher does it.
// The block is read into memory first, so neither pays for reading it.
//
// A stream cut into frames is unpacked by at most WORKERS threads (0, the default: one per
// processor), while the decoding to nothing stays on one thread.
//
//   unpack_phase BLOCK DIRECTORY [ROUNDS [WORKERS]]     prints one JSON object with the times in seconds
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "payload/attached_data.h"
#include "payload/payload_reader.h"
#include "payload/unpack.h"
#include "platform/remove_tree.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The processor time of the whole process so far, in user mode and in the kernel, in seconds.
struct ProcessorTime {
  double user = 0;
  double kernel = 0;
};

ProcessorTime processor_time() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  const auto seconds = [](FILETIME t) { return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7; };
  return {seconds(user), seconds(kernel)};
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
#endif
}

// Every byte of the stream, decoded by the loop's own reader on the calling thread and dropped.
std::uint64_t decode_to_nothing(const payload::AttachedDataHeader& header, std::uint64_t total) {
  auto reader = std::make_unique<payload::PayloadReader>();
  reader->open(header.stream, header.stream_size);
  for (std::uint64_t done = 0; done < total;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, payload::chunk_size));
    if (reader->read_payload(n) == nullptr) {
      std::fputs("unpack-phase: the stream is damaged\n", stderr);
      std::exit(2);
    }
    done += n;
  }
  return total;
}

// The bytes that the table's entries add up to.
std::uint64_t content_size(const payload::AttachedDataHeader& header) {
  std::uint64_t total = 0;
  const std::uint8_t* position = header.table;
  while (position != header.table + header.table_size) {
    const payload::PayloadEntry entry = payload::next_payload_entry(position, header.table + header.table_size);
    total += entry.size;
    position = entry.end;
  }
  return total;
}

std::u16string launcher_path(const fs::path& path) {
  std::u16string text = path.u16string();
  for (char16_t& c : text) {
    if (c == u'/') c = u'\\';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: unpack_phase BLOCK DIRECTORY [ROUNDS [WORKERS]]\n", stderr);
    return 2;
  }
  std::vector<std::uint8_t> block(fs::file_size(argv[1]));
  std::ifstream(argv[1], std::ios::binary).read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  const auto workers = static_cast<std::uint32_t>(argc > 4 ? std::atoi(argv[4]) : 0);
  std::uint32_t decoding_threads = 0;
  const payload::AttachedData data{block.data(), block.size()};
  const payload::AttachedDataHeader header = payload::read_attached_data_header(data);

  std::string decode_times, unpack_times, remove_times, unpack_user, unpack_kernel;
  std::uint64_t decoded = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
    auto start = Clock::now();
    decoded = decode_to_nothing(header, content_size(header));
    const double decode = seconds_since(start);

    const std::u16string directory = launcher_path(fs::path(argv[2]) / ("phase-" + std::to_string(round)));
    auto unpacker = std::make_unique<payload::Unpacker>();
    unpacker->limit_workers(workers);
    payload::UnpackResult result;
    const ProcessorTime before = processor_time();
    start = Clock::now();
    unpacker->unpack_attached_data(data, directory.c_str(), payload::Role::parent, result);
    const double unpack = seconds_since(start);
    const ProcessorTime after = processor_time();
    decoding_threads = result.decoding_threads.load();
    unpacker.reset();
    start = Clock::now();
    if (!platform::remove_tree(directory.c_str())) {
      std::fputs("unpack-phase: the tree was not removed\n", stderr);
      return 2;
    }
    const double remove = seconds_since(start);
    if (round == 0) continue;
    decode_times += (decode_times.empty() ? "" : ", ") + std::to_string(decode);
    unpack_times += (unpack_times.empty() ? "" : ", ") + std::to_string(unpack);
    remove_times += (remove_times.empty() ? "" : ", ") + std::to_string(remove);
    unpack_user += (unpack_user.empty() ? "" : ", ") + std::to_string(after.user - before.user);
    unpack_kernel += (unpack_kernel.empty() ? "" : ", ") + std::to_string(after.kernel - before.kernel);
  }
  std::printf("{\"decoded_bytes\": %llu, \"decoding_threads\": %u, \"decode\": [%s], \"unpack\": [%s], \"remove\": [%s], "
              "\"unpack_user\": [%s], \"unpack_kernel\": [%s]}\n",
              static_cast<unsigned long long>(decoded), decoding_threads, decode_times.c_str(), unpack_times.c_str(), remove_times.c_str(),
              unpack_user.c_str(), unpack_kernel.c_str());
  return 0;
}
