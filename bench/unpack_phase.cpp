// The unpack phase against its new limit, in one process: decoding the block's stream to
// nothing with the launcher's decoder and output size, and the launcher's own unpack loop
// writing the tree, round after round; then the removal of the tree as the launcher does it.
// The block is read into memory first, so neither pays for reading it.
//
//   unpack_phase BLOCK DIRECTORY [ROUNDS]     prints one JSON object with the times in seconds
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "payload/attached_data.h"
#include "payload/decode_ring.h"
#include "payload/unpack.h"
#include "platform/remove_tree.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Every byte of the stream, decoded with the loop's calls (a whole slot offered each time) and
// dropped.
std::uint64_t decode_to_nothing(const payload::AttachedDataHeader& header) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  std::vector<std::uint8_t> output(payload::slot_size);
  ZSTD_inBuffer input{header.stream, static_cast<std::size_t>(header.stream_size), 0};
  std::uint64_t total = 0;
  while (input.pos < input.size) {
    ZSTD_outBuffer whole{output.data(), output.size(), 0};
    if (ZSTD_isError(ZSTD_decompressStream(context, &whole, &input))) {
      std::fputs("unpack-phase: the stream is damaged\n", stderr);
      std::exit(2);
    }
    total += whole.pos;
  }
  ZSTD_freeDCtx(context);
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
    std::fputs("usage: unpack_phase BLOCK DIRECTORY [ROUNDS]\n", stderr);
    return 2;
  }
  std::vector<std::uint8_t> block(fs::file_size(argv[1]));
  std::ifstream(argv[1], std::ios::binary).read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  const payload::AttachedData data{block.data(), block.size()};
  const payload::AttachedDataHeader header = payload::read_attached_data_header(data);

  std::string decode_times, unpack_times, remove_times;
  std::uint64_t decoded = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
    auto start = Clock::now();
    decoded = decode_to_nothing(header);
    const double decode = seconds_since(start);

    const std::u16string directory = launcher_path(fs::path(argv[2]) / ("phase-" + std::to_string(round)));
    auto unpacker = std::make_unique<payload::Unpacker>();
    payload::UnpackResult result;
    start = Clock::now();
    unpacker->unpack_attached_data(data, directory.c_str(), payload::Role::parent, result);
    const double unpack = seconds_since(start);
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
  }
  std::printf("{\"decoded_bytes\": %llu, \"decode\": [%s], \"unpack\": [%s], \"remove\": [%s]}\n",
              static_cast<unsigned long long>(decoded), decode_times.c_str(), unpack_times.c_str(), remove_times.c_str());
  return 0;
}
