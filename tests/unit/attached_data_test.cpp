// The header test and the record test at their boundaries.
#include "payload/attached_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bytes/little_endian.h"
namespace {

using payload::AttachedDataHeader;
using payload::PayloadEntry;

constexpr std::uint64_t limit = payload::max_table_size;

struct HeaderCase {
  const char* what;
  std::uint64_t length, table_size, stream_size;
  bool accepted;
};

TEST(AttachedDataHeader, AcceptsExactlyWhatFitsTheBlock) {
  const HeaderCase cases[] = {
      {"shorter than a header", 15, 0, 0, false},
      {"a header alone", 16, 0, 0, true},
      {"the table fills the block", 100, 84, 0, true},
      {"the table one byte over", 100, 85, 0, false},
      {"the stream fills the rest", 100, 50, 34, true},
      {"the stream one byte over", 100, 50, 35, false},
      {"both past any block", 100, ~std::uint64_t{0}, ~std::uint64_t{0}, false},  // no subtraction may wrap
      {"a stream size that would wrap", 100, 50, ~std::uint64_t{0} - 10, false},
      {"a table of the largest size", 16 + limit + 1, limit, 1, true},
      {"a table one byte larger", 16 + limit + 1, limit + 1, 0, false},
      {"a table one byte larger in a huge block", ~std::uint64_t{0}, limit + 1, 0, false},
  };
  // The tests read the header only, but the block must be there to point into: allocated, not
  // touched, so that the large cases cost address space only.
  const std::uint64_t largest = 16 + limit + 1;
  const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(largest);
  for (const HeaderCase& c : cases) {
    for (int i = 0; i < 8; ++i) {
      block[i] = static_cast<std::uint8_t>(c.table_size >> (8 * i));
      block[8 + i] = static_cast<std::uint8_t>(c.stream_size >> (8 * i));
    }
    const std::optional<AttachedDataHeader> header = payload::parse_attached_data_header({block.get(), c.length});
    ASSERT_EQ(header.has_value(), c.accepted) << c.what;
    if (!header) continue;
    EXPECT_EQ(header->table_size, c.table_size) << c.what;
    EXPECT_EQ(header->stream_size, c.stream_size) << c.what;
    EXPECT_EQ(header->table, block.get() + 16) << c.what;
    EXPECT_EQ(header->stream, block.get() + 16 + c.table_size) << c.what;
  }
}

// Record bytes: flags, size, then UTF-16LE units as given (terminators included by the caller).
std::vector<std::uint8_t> record(std::uint32_t flags, std::uint64_t size, const std::u16string& units) {
  std::vector<std::uint8_t> bytes;
  little_endian::append_u32(bytes, flags);
  little_endian::append_u64(bytes, size);
  for (char16_t unit : units) little_endian::append_u16(bytes, unit);
  return bytes;
}

struct RecordCase {
  const char* what;
  std::vector<std::uint8_t> table;
  std::optional<std::uint32_t> path_length;  // none: refused
  bool has_second_string = false;
  std::size_t end = 0;  // where the next record begins
};

TEST(PayloadEntry, AcceptsWellFormedRecordsAndNothingElse) {
  const std::u16string longest(4095, u'p');
  const std::u16string too_long(4096, u'p');
  const std::u16string nul(1, u'\0');
  auto half_terminator = record(0, 1, u"ab" + nul);
  half_terminator.pop_back();  // the table ends in the middle of the terminator
  const RecordCase cases[] = {
      {"11 bytes", std::vector<std::uint8_t>(11, 0), std::nullopt},
      {"12 bytes, no path", record(0, 0, u""), std::nullopt},
      {"a lone terminator: an empty path", record(0, 0, nul), std::nullopt},
      {"one unit", record(0, 0, u"x" + nul), 1, false, 16},
      {"flags 1 and 4 are taken", record(5, 0, u"x" + nul), 1, false, 16},
      {"flags 8", record(8, 0, u"x" + nul), std::nullopt},
      {"flags above 8", record(0x80000000, 0, u"x" + nul), std::nullopt},
      {"4095 units", record(0, 0, longest + nul), 4095, false, 12 + 2 * 4096},
      {"4096 units, then a terminator", record(0, 0, too_long + nul), std::nullopt},
      {"no terminator in the table", record(0, 0, u"abc"), std::nullopt},
      {"half a terminator in the table", half_terminator, std::nullopt},
      {"flags 7 with a second string", record(7, 0, u"x" + nul + u"yz" + nul), 1, true, 16 + 6},
      {"a second string of 4095 units", record(2, 0, u"x" + nul + longest + nul), 1, true, 16 + 2 * 4096},
      {"a second string of 4096 units", record(2, 0, u"x" + nul + too_long + nul), std::nullopt},
      {"an empty second string", record(2, 0, u"x" + nul + nul), std::nullopt},
      {"a second string past the table", record(2, 0, u"x" + nul + u"y"), std::nullopt},
      {"a record with bytes after it", record(0, 0, u"x" + nul + u"next"), 1, false, 16},
  };
  for (const RecordCase& c : cases) {
    const std::uint8_t* start = c.table.data();
    const std::optional<PayloadEntry> entry = payload::parse_payload_entry(start, start + c.table.size());
    ASSERT_EQ(entry.has_value(), c.path_length.has_value()) << c.what;
    if (!entry) continue;
    EXPECT_EQ(entry->path_length, *c.path_length) << c.what;
    EXPECT_EQ(entry->path, start + 12) << c.what;
    EXPECT_EQ(entry->has_second_string, c.has_second_string) << c.what;
    EXPECT_EQ(entry->end, start + c.end) << c.what;
  }
}

TEST(PayloadEntry, ReadsFlagsAndSizeUnaligned) {
  // Records follow each other without padding, so a size may start at any even offset.
  std::vector<std::uint8_t> table(2, 0xEE);
  const std::vector<std::uint8_t> bytes = record(4, 0x0102030405060708, std::u16string(u"x") + u'\0');
  table.insert(table.end(), bytes.begin(), bytes.end());
  const std::optional<PayloadEntry> entry = payload::parse_payload_entry(table.data() + 2, table.data() + table.size());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->flags, 4u);
  EXPECT_EQ(entry->size, 0x0102030405060708u);
}

}  // namespace
