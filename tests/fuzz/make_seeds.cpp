// Writes the seed inputs of the fuzz targets: real blocks made with the block builder, and the
// argument vectors and specs the launcher meets in practice. Deterministic, so rerunning it
// leaves the committed seeds unchanged. Usage: fuzz_seeds <corpus folder>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
#include "payload/attached_data_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / ("seed-" + name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}


Bytes utf16(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) little_endian::append_u16(out, c);
  return out;
}

struct Spec {
  std::string name;
  std::uint16_t capacity;
  std::uint8_t environment;  // bits 0-1: ZAMRIK_ONEFILE_PARENT, bit 2: produce run-identity values
  std::u16string text;
};

const Spec specs[] = {
    {"builtin", 4096, 0, u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"},
    {"builtin-fresh", 4096, 5, u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"},
    {"home", 4096, 0, u"{HOME}"},
    {"program", 4096, 0, u"{PROGRAM_BASE}|{PROGRAM_DIR}|{program}"},
    {"all-constants", 4096, 0, u"{COMPANY}{PRODUCT}{VERSION}{FILE_VERSION}{PRODUCT_VERSION}{TIME}{CACHE_DIR}"},
    {"open-field", 4096, 0, u"abc{TEMP"},
    {"nested-brace", 4096, 0, u"{A{HOME}x}"},
    {"unknown", 4096, 0, u"{ TEMP}"},
    {"exact-fit", 11, 0, u"{COMPANY}"},
    {"one-short", 10, 0, u"{COMPANY}"},
    {"trim", 4096, 0, u"D:\\{TEMP}"},
    {"bad-parent", 4096, 3, u"{PID}"},
};

// Argument vectors: each argument ends with a 0 unit; element 0 is the module name.
const std::vector<std::u16string> argument_vectors[] = {
    {u"a b", u"a\"b", u"a \\", u"\\\" ", u"c:\\dir", u"x \\ y"},
    {u"one", u"", u"three"},
    {u"x\ry", u"*.txt", u"\"", u"\\\\\"\\"},
    {u"tab\there", u"line\nfeed", u"v\vtab", u"trailing\\\\"},
};

void put(Bytes& out, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The smallest PE32+ image that carries a block the way a launcher does: one section ".zamrik".
Bytes executable_around(const Bytes& block) {
  constexpr std::size_t pe = 0x40, optional = pe + 24, section_table = optional + 240, data = 0x200;
  Bytes out(data + block.size(), 0);
  out[0] = 'M', out[1] = 'Z';
  put(out, 0x3C, pe, 4);
  out[pe] = 'P', out[pe + 1] = 'E';
  put(out, pe + 4, 0x8664, 2);  // x86-64
  put(out, pe + 6, 1, 2);       // one section
  put(out, pe + 20, 240, 2);    // size of the optional header
  put(out, pe + 22, 0x0022, 2);  // an executable image
  put(out, optional, 0x20B, 2);  // PE32+
  put(out, optional + 108, 16, 4);  // data directories
  const char name[8] = {'.', 'z', 'a', 'm', 'r', 'i', 'k', 0};
  std::copy(name, name + 8, out.begin() + section_table);
  put(out, section_table + 8, block.size(), 4);   // virtual size
  put(out, section_table + 12, 0x1000, 4);        // virtual address
  put(out, section_table + 16, block.size(), 4);  // raw size
  put(out, section_table + 20, data, 4);          // raw offset
  put(out, section_table + 36, 0x40000040, 4);    // initialised, readable
  std::copy(block.begin(), block.end(), out.begin() + data);
  return out;
}

struct Block {
  std::string name;
  std::vector<payload::AttachedFile> entries;
};

std::vector<Block> blocks() {
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
  for (const Block& block : blocks()) {
    payload::AttachedDataOptions options;
    options.level = 3;
    // The application's window of 2^27 bytes costs the decoder as much memory per run; one seed
    // keeps it, the others use a small window so that the fuzzer runs fast.
    options.window_log = block.name == "one-file" ? 27 : 17;
    const Bytes bytes = payload::build_attached_data(block.entries, options);
    write(corpus / "attached_data", block.name, bytes);
    // The unpack target reads its role from the first byte: even for the parent, odd for the child.
    for (std::uint8_t role : {0, 1}) {
      Bytes input(bytes.size() + 1, role);
      std::copy(bytes.begin(), bytes.end(), input.begin() + 1);
      write(corpus / "unpack", block.name + (role ? "-child" : "-parent"), input);
    }
    // The packer's readers: byte 0 even for an executable, odd for a bare block.
    Bytes executable = executable_around(bytes);
    executable.insert(executable.begin(), 0);
    write(corpus / "pack_inspect", "executable-" + block.name, executable);
    Bytes bare(bytes.size() + 1, 1);
    std::copy(bytes.begin(), bytes.end(), bare.begin() + 1);
    write(corpus / "pack_inspect", "block-" + block.name, bare);
    // The same entries cut into frames: the frame table target takes the stream alone.
    options.frame_target = 1024;
    const Bytes cut = payload::build_attached_data(block.entries, options);
    Bytes cut_bare(cut.size() + 1, 1);
    std::copy(cut.begin(), cut.end(), cut_bare.begin() + 1);
    write(corpus / "pack_inspect", "cut-block-" + block.name, cut_bare);
    const std::uint64_t table_size = little_endian::load_u64(cut.data());
    const std::uint64_t stream_size = little_endian::load_u64(cut.data() + 8);
    const auto stream = cut.begin() + static_cast<std::ptrdiff_t>(payload::header_size + table_size);
    write(corpus / "frame_table", block.name, Bytes(stream, stream + static_cast<std::ptrdiff_t>(stream_size)));
  }
  for (const Spec& spec : specs) {
    Bytes input;
    little_endian::append_u16(input, static_cast<std::uint16_t>(spec.capacity));
    input.push_back(spec.environment);
    const Bytes text = utf16(spec.text);
    input.insert(input.end(), text.begin(), text.end());
    write(corpus / "expand_path_template", spec.name, input);
  }
  int number = 0;
  for (const auto& arguments : argument_vectors) {
    Bytes input;
    for (const std::u16string& argument : arguments) {
      const Bytes text = utf16(argument + u'\0');
      input.insert(input.end(), text.begin(), text.end());
    }
    write(corpus / "command_line", "vector-" + std::to_string(++number), input);
  }
  return 0;
}
