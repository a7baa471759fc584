// zamrik-bench-pack: packs a benchmark application once and puts the same block into the
// launcher, so that the launcher and the limit program decode the very same frame. Files are
// listed and checked by the packer's own folder scan (the main library first) and the launcher
// is written by the packer's own code around the image it carries; only the block options are
// chosen here: the level and the threads, because the packer's defaults are meant for shipping,
// not for quick runs, and no checksum, as in the delivered application's block.
//
//   zamrik-bench-pack APP_DIR WORK_DIR [--level N] [--threads N] [--frame-target BYTES] [--launcher-only]
//
// Writes WORK_DIR/block.bin, WORK_DIR/stream.zst (the frame alone, for the zstd command-line
// tool) and WORK_DIR/launcher.exe. --launcher-only keeps the block that is there and writes the
// launcher again (after the launcher changed).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app_folder.h"
#include "icon.h"
#include "launcher_file.h"
#include "pe_resources.h"
#include "payload/attached_data_writer.h"

namespace fs = std::filesystem;

namespace {

void copy_range(const fs::path& from, std::uint64_t offset, std::uint64_t length, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<char> buffer(1 << 20);
  while (length > 0 && in) {
    const auto k = static_cast<std::streamsize>(std::min<std::uint64_t>(length, buffer.size()));
    in.read(buffer.data(), k);
    out.write(buffer.data(), in.gcount());
    length -= static_cast<std::uint64_t>(in.gcount());
  }
  if (length != 0 || !out) throw std::runtime_error("cannot copy the stream to " + to.string());
}

void write_launcher(const fs::path& block, const fs::path& work) {
  std::fstream out(work / "launcher.exe", std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
  std::ifstream in(block, std::ios::binary);
  pack::write_launcher(out, pack::decide_identity({}, {}, "launcher"), pack::Subsystem::windowed, [&](std::ostream& stream) {
    stream << in.rdbuf();
    return fs::file_size(block);
  });
  if (!out) throw std::runtime_error("cannot write " + (work / "launcher.exe").string());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> positional;
    payload::AttachedDataOptions options;
    bool launcher_only = false;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--level") options.level = std::stoi(value());
      else if (arg == "--threads") options.threads = std::stoi(value());
      else if (arg == "--frame-target") options.frame_target = std::stoull(value());
      else if (arg == "--launcher-only") launcher_only = true;
      else positional.push_back(arg);
    }
    if (positional.size() != 2) {
      throw std::invalid_argument("usage: zamrik-bench-pack APP_DIR WORK_DIR [--level N] [--threads N] [--frame-target BYTES] [--launcher-only]");
    }
    const fs::path app = positional[0], work = positional[1];
    const fs::path block = work / "block.bin";
    if (launcher_only) {
      if (!fs::exists(block)) throw std::invalid_argument("--launcher-only needs a block");
      write_launcher(block, work);
      return 0;
    }

    std::vector<payload::AttachedFile> entries;
    for (const pack::AppFile& file : pack::scan_app_folder(app, std::string("main.dll")).files) {
      entries.push_back({file.path, {}, file.source});
    }

    fs::create_directories(work);
    payload::AttachedDataSummary summary;
    {
      std::ofstream out(block, std::ios::binary | std::ios::trunc);
      summary = payload::write_attached_data(entries, options, out);
    }
    copy_range(block, 16 + summary.table_size, summary.stream_size, work / "stream.zst");
    write_launcher(block, work);
    std::cout << "{\"files\": " << entries.size() << ", \"table_size\": " << summary.table_size
              << ", \"stream_size\": " << summary.stream_size << ", \"content_size\": " << summary.content_size
              << ", \"block_size\": " << summary.total_size << ", \"level\": " << options.level
              << ", \"frame_target\": " << options.frame_target << ", \"frame_count\": " << summary.frame_count << "}\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "zamrik-bench-pack: " << error.what() << "\n";
    return 2;
  }
}
