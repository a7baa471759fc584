// The limit for the launcher's unpack: decodes the frame of a block linked into this image and
// writes the tree below a folder, with the launcher's buffer sizes (131,072 bytes of decoded
// output, writes of 32,768 bytes) and nothing else: no roles, no child, no removal. The block's
// records are trusted; a benchmark block is well formed.
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "bytes/little_endian.h"

extern "C" const unsigned char bench_block[];
extern "C" const std::uint64_t bench_block_length;

namespace {

constexpr std::size_t output_size = 131072;
constexpr std::size_t chunk_size = 32768;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "limit-unpack: %s (error %lu)\n", what, GetLastError());
  std::exit(2);
}

struct Decoder {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_inBuffer input{};
  unsigned char* output = static_cast<unsigned char*>(std::malloc(output_size));
  std::size_t fill = 0, read = 0;

  void take(unsigned char* to, std::size_t n) {
    while (n > 0) {
      if (read == fill) {
        if (input.pos >= input.size) fail("the stream ended early");
        ZSTD_outBuffer out{output, output_size, 0};
        if (ZSTD_isError(ZSTD_decompressStream(context, &out, &input))) fail("the stream is corrupt");
        fill = out.pos;
        read = 0;
        continue;
      }
      const std::size_t k = fill - read < n ? fill - read : n;
      std::memcpy(to, output + read, k);
      read += k;
      to += k;
      n -= k;
    }
  }
};

void make_parents(std::wstring& path, std::size_t root_length, std::unordered_set<std::wstring>& made) {
  const std::size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos || last < root_length) return;
  const std::wstring parent = path.substr(0, last);
  if (made.count(parent)) return;
  for (std::size_t at = parent.find(L'\\', root_length); ; at = parent.find(L'\\', at + 1)) {
    const std::wstring step = parent.substr(0, at);
    if (!made.count(step)) {
      if (!CreateDirectoryW(step.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) fail("cannot make a folder");
      made.insert(step);
    }
    if (at == std::wstring::npos) break;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: limit-unpack FOLDER\n", stderr);
    return 2;
  }
  const std::uint64_t table_size = little_endian::load_u64(bench_block);
  const unsigned char* record = bench_block + 16;
  const unsigned char* table_end = record + table_size;
  Decoder decoder;
  if (!decoder.context || !decoder.output) fail("out of memory");
  decoder.input = {table_end, little_endian::load_u64(bench_block + 8), 0};
  static unsigned char chunk[chunk_size];

  const std::wstring root = argv[1];
  if (!CreateDirectoryW(root.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) fail("cannot make the folder");
  std::unordered_set<std::wstring> made{root};
  while (record < table_end) {
    std::uint64_t size = little_endian::load_u64(record + 4);
    std::wstring path = root + L'\\';
    const std::size_t root_length = path.size();
    const unsigned char* unit = record + 12;
    for (; little_endian::load_u16(unit) != 0; unit += 2) path += static_cast<wchar_t>(little_endian::load_u16(unit));
    record = unit + 2;
    make_parents(path, root_length, made);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("cannot open a file for writing");
    while (size > 0) {
      const DWORD n = static_cast<DWORD>(size < chunk_size ? size : chunk_size);
      decoder.take(chunk, n);
      DWORD written = 0;
      if (!WriteFile(file, chunk, n, &written, nullptr)) fail("cannot write");
      size -= n;
    }
    CloseHandle(file);
  }
  return 0;
}
