// The header and record tests over arbitrary blocks, against a reference reading of the format
// written here from the byte layout alone: both must accept and reject the same blocks and
// find the same records.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "fuzz/endings.h"
#include "payload/attached_data.h"

namespace {

struct Record {
  std::uint32_t flags;
  std::uint64_t size;
  std::size_t path_offset, path_length, end;  // offsets into the block
};

// The reference result: every record up to and including the one marked last (or to the table
// end), and whether the walk ended with the header error.
struct Walk {
  bool header_ok = false;
  std::uint64_t table_size = 0, stream_size = 0;
  std::vector<Record> records;
  bool refused = false;
};

std::uint64_t le(const std::uint8_t* p, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value * 256 + p[i];
  return value;
}

// Length of the terminated string at offset q inside a table ending at e, or none.
std::optional<std::size_t> string_length(const std::uint8_t* block, std::size_t q, std::size_t e) {
  for (std::size_t i = 0; i < 4096; ++i) {
    if (q + 2 * i + 2 > e) return std::nullopt;
    if (le(block + q + 2 * i, 2) == 0) {
      if (i == 0) return std::nullopt;
      return i;
    }
  }
  return std::nullopt;
}

Walk reference_walk(const std::uint8_t* block, std::size_t length) {
  Walk walk;
  if (length < 16) return walk;
  const std::uint64_t t = le(block, 8), s = le(block + 8, 8);
  // Compared without subtraction: sums of two u64 values below 2^64 + 2^28 cannot be formed in
  // u64, so test in the wider unsigned __int128.
  using u128 = unsigned __int128;
  if (u128{16} + t > length || t > 0x10000000 || u128{16} + t + s > length) return walk;
  walk.header_ok = true;
  walk.table_size = t;
  walk.stream_size = s;
  if (t == 0) return walk;
  const std::size_t e = 16 + t;
  std::size_t p = 16;
  for (;;) {
    if (e - p < 12) break;
    Record r{static_cast<std::uint32_t>(le(block + p, 4)), le(block + p + 4, 8), p + 12, 0, 0};
    if (r.flags > 7) break;
    const auto path = string_length(block, p + 12, e);
    if (!path) break;
    r.path_length = *path;
    r.end = p + 12 + 2 * (*path + 1);
    if (r.flags & 2) {
      const auto second = string_length(block, r.end, e);
      if (!second) break;
      r.end += 2 * (*second + 1);
    }
    walk.records.push_back(r);
    if (r.flags & 4) return walk;
    p = r.end;
  }
  walk.refused = true;
  return walk;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Walk want = reference_walk(data, size);
  payload::AttachedDataHeader header{};
  try {
    header = payload::read_attached_data_header({data, size});
  } catch (const fuzz::Ending& ending) {
    check(ending.kind == fuzz::EndingKind::fatal_exit && ending.message == "Error, couldn't find attached data header.");
    check(!want.header_ok);
    return 0;
  }
  check(want.header_ok);
  check(header.table_size == want.table_size && header.stream_size == want.stream_size);
  check(header.table == data + 16 && header.stream == header.table + header.table_size);
  check(header.stream + header.stream_size <= data + size);
  if (header.table_size == 0) return 0;

  const std::uint8_t* position = header.table;
  const std::uint8_t* const table_end = header.table + header.table_size;
  std::size_t index = 0;
  try {
    for (;; ++index) {
      const payload::PayloadEntry entry = payload::next_payload_entry(position, table_end);
      check(index < want.records.size());
      const Record& r = want.records[index];
      check(entry.flags == r.flags && entry.size == r.size);
      check(entry.path == data + r.path_offset && entry.path_length == r.path_length);
      check(entry.end == data + r.end && entry.end <= table_end);
      check(entry.has_second_string == ((r.flags & 2) != 0));
      if (entry.flags & payload::flag_last) break;
      position = entry.end;
    }
  } catch (const fuzz::Ending& ending) {
    check(ending.kind == fuzz::EndingKind::fatal_exit && ending.message == "Error, couldn't find attached data header.");
    check(want.refused && index == want.records.size());
    return 0;
  }
  check(!want.refused && index + 1 == want.records.size());
  return 0;
}
