// The frame-table parser and its coverage test over arbitrary streams, against a reference
// reading written here from the byte layout alone. The input is the stream; entry sizes for
// the coverage test are taken from the input's last bytes.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "payload/frame_table.h"

namespace {

std::uint64_t le(const std::uint8_t* p, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value * 256 + p[i];
  return value;
}

void check(bool condition) {
  if (!condition) std::abort();
}

bool reference_parse(const std::uint8_t* data, std::size_t size) {
  using u128 = unsigned __int128;
  if (size < 16 || le(data, 4) != 0x184D2A5B || le(data + 8, 4) != 1) return false;
  const std::uint64_t count = le(data + 12, 4);
  const std::uint64_t content = le(data + 4, 4);
  if (count == 0 || u128{content} != u128{8} + u128{count} * 32 || u128{content} + 8 > size) return false;
  u128 sum = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t compressed = le(data + 16 + 32 * i, 8);
    if (compressed == 0) return false;
    sum += compressed;
  }
  return sum == u128{size} - content - 8;
}

// Walks the decoded stream byte range by byte range: each frame must start exactly where the
// previous one ended, counted in entries with their sizes, and not on an empty entry.
bool reference_covers(const payload::FrameTable& table, const std::vector<std::uint64_t>& sizes) {
  using u128 = unsigned __int128;
  std::vector<u128> starts;  // of each entry in the decoded stream
  u128 total = 0;
  for (std::uint64_t s : sizes) {
    starts.push_back(total);
    total += s;
  }
  u128 at = 0;
  for (std::uint64_t i = 0; i < table.count; ++i) {
    const payload::FrameRecord frame = table.record(i);
    if (frame.decoded_size == 0 || frame.entry >= sizes.size() || frame.offset >= sizes[frame.entry]) return false;
    if (starts[frame.entry] + frame.offset != at) return false;
    at += frame.decoded_size;
  }
  return at == total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<payload::FrameTable> table = payload::parse_frame_table({data, size});
  check(table.has_value() == reference_parse(data, size));
  if (!table) return 0;
  check(table->records == data + 16 && table->table_size <= size);
  // Up to eight small entry sizes from the input's last bytes, zeros among them.
  std::vector<std::uint64_t> sizes;
  for (std::size_t i = 0; i < 8 && i < size; ++i) sizes.push_back(data[size - 1 - i] % 16);
  for (std::size_t n = 0; n <= sizes.size(); ++n) {
    const std::vector<std::uint64_t> some(sizes.begin(), sizes.begin() + n);
    const bool covers = payload::frame_table_covers(*table, some.size(), [&](std::uint64_t i) { return some[i]; });
    check(covers == reference_covers(*table, some));
  }
  return 0;
}
