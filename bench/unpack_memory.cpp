// Unpacks a block that holds one large file and prints the process's peak memory before and
// after, to show that the unpack loop needs the same memory whatever the file sizes: its
// buffers and the decoder's window, never a whole file.
//
//   unpack_memory [SIZE_MIB] [WORK_DIRECTORY]      (default 1024 MiB, below the temporary directory)
//
// The block is built once per size and kept in the work directory. The unpack runs in a fresh
// process of its own, so that the compressor's memory does not count.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/attached_data_writer.h"
#include "payload/unpack.h"
#include "platform/remove_tree.h"

#ifdef _WIN32
// clang-format off
#include "os/win32/windows_api.h"
#include <psapi.h>  // needs <windows.h> first
// clang-format on
#else
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

double peak_mib() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;  // KiB
#endif
}

std::u16string launcher_path(const fs::path& path) {
  std::u16string text = path.u16string();
  for (char16_t& c : text) {
    if (c == u'/') c = u'\\';
  }
  return text;
}

// Text-like lines with a running counter: compresses well, yet never repeats.
void write_source(const fs::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string chunk;
  std::uint64_t line = 0;
  for (std::uint64_t written = 0; written < size;) {
    chunk.clear();
    while (chunk.size() < (1 << 20)) {
      char text[96];
      std::snprintf(text, sizeof text, "%012llx the quick brown fox unpacks %08llx lazy dogs\n",
                    static_cast<unsigned long long>(line), static_cast<unsigned long long>(line * 2654435761u));
      chunk += text;
      ++line;
    }
    const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - written));
    out.write(chunk.data(), static_cast<std::streamsize>(part));
    written += part;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void build(const fs::path& block_path, std::uint64_t size) {
  const fs::path source = block_path.parent_path() / "source.bin";
  std::printf("building %s\n", block_path.string().c_str());
  write_source(source, size);
  payload::AttachedDataOptions options;
  options.level = 1;
  std::ofstream out(block_path, std::ios::binary | std::ios::trunc);
  const payload::AttachedDataSummary summary = payload::write_attached_data({{u"large.bin", {}, source}}, options, out);
  out.close();
  fs::remove(source);
  std::printf("block: %llu bytes for %llu bytes of content\n", static_cast<unsigned long long>(summary.total_size),
              static_cast<unsigned long long>(summary.content_size));
}

int unpack(const fs::path& block_path) {
  std::vector<std::uint8_t> block(fs::file_size(block_path));
  std::ifstream in(block_path, std::ios::binary);
  in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
  if (!in) throw std::runtime_error("cannot read " + block_path.string());
  const fs::path target = block_path.parent_path() / "unpacked";
  const std::u16string directory = launcher_path(target);
  platform::remove_tree(directory.c_str());

  auto unpacker = std::make_unique<payload::Unpacker>();
  payload::UnpackResult result;
  const double before = peak_mib();
  const auto start = std::chrono::steady_clock::now();
  unpacker->unpack_attached_data({block.data(), block.size()}, directory.c_str(), payload::Role::parent, result);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double after = peak_mib();

  std::printf("unpacked %llu bytes in %.1f s\n", static_cast<unsigned long long>(fs::file_size(target / "large.bin")),
              elapsed.count());
  std::printf("peak memory: %.1f MiB before the unpack (the block, %.1f MiB, is read in), %.1f MiB after: "
              "the unpack added %.1f MiB\n",
              before, static_cast<double>(block.size()) / (1 << 20), after, after - before);
  return platform::remove_tree(directory.c_str()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--unpack") return unpack(argv[2]);
  const std::uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "zamrik-bench";
  fs::create_directories(work);
  const fs::path block_path = work / ("block-" + std::to_string(size_mib) + "mib.bin");
  if (!fs::exists(block_path)) build(block_path, size_mib << 20);
  std::fflush(stdout);
  std::string command = "\"" + std::string(argv[0]) + "\" --unpack \"" + block_path.string() + "\"";
#ifdef _WIN32
  command = "\"" + command + "\"";  // cmd /c takes the outer quotes away
#endif
  return std::system(command.c_str());
}
