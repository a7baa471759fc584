// Writes the seed inputs of the fuzz targets: real blocks made with the block builder, and the
// argument vectors and specs the launcher meets in practice. Deterministic, so rerunning it
// leaves the committed seeds unchanged. Usage: fuzz_seeds <corpus folder>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload/block_builder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / ("seed-" + name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}


struct Block {
  std::string name;
  std::vector<payload::BlockEntry> entries;
};

std::vector<Block> blocks() {
  payload::BlockOptions options;
  options.level = 3;
  std::string chunked(32769, 'z');  // one byte past a whole chunk
  for (std::size_t i = 0; i < chunked.size(); i += 7) chunked[i] = static_cast<char>('a' + i % 26);
  return {
      {"one-file", {{u"main.dll", "MZ main library", {}}}},
      {"tree", {{u"main.dll", "MZ", {}}, {u"lib\\a.txt", "alpha\n", {}}, {u"lib\\sub\\b.bin", std::string("\0\1\2\3", 4), {}},
                {u"lib\\empty", "", {}}}},
      {"empty-files", {{u"main.dll", "", {}}, {u"x", "", {}}}},
      {"chunk-boundary", {{u"main.dll", "MZ", {}}, {u"big.bin", chunked, {}}}},
      {"unicode-names", {{u"main.dll", "MZ", {}}, {u"d\u00e9j\u00e0\\\u65e5\u672c.txt", "text", {}}}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
    return 1;
  }
  const fs::path corpus = argv[1];
  payload::BlockOptions options;
  options.level = 3;
  for (const Block& block : blocks()) {
    const Bytes bytes = payload::build_block(block.entries, options);
    write(corpus / "attached_data", block.name, bytes);
    // The unpack target reads its role from the first byte: even for the parent, odd for the child.
    for (std::uint8_t role : {0, 1}) {
      Bytes input(bytes.size() + 1, role);
      std::copy(bytes.begin(), bytes.end(), input.begin() + 1);
      write(corpus / "unpack", block.name + (role ? "-child" : "-parent"), input);
    }
  }
  return 0;
}
