#include "runner/run_record.h"

#include <string_view>

#include "bytes/little_endian.h"

namespace runner {
namespace {

constexpr std::u16string_view tag = u"zamrik-run 1";

void put_text(std::string& out, std::u16string_view text) {
  for (char16_t unit : text) little_endian::append_u16(out, unit);
  out += std::string(2, '\0');
}

}  // namespace

std::string encode_run_record(const RunRecord& record) {
  std::string out;
  put_text(out, tag);
  put_text(out, record.program);
  for (const std::u16string& argument : record.arguments) put_text(out, argument);
  return out;
}

std::optional<RunRecord> decode_run_record(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 2 != 0 || bytes.size() > max_record_size) return std::nullopt;
  std::vector<std::u16string> texts(1);
  for (std::size_t at = 0; at < bytes.size(); at += 2) {
    const auto unit = static_cast<char16_t>(little_endian::load_u16(&bytes[at]));
    if (unit == u'\0') {
      texts.emplace_back();
    } else {
      texts.back() += unit;
    }
  }
  // Every text ends with its 0 unit, which leaves one empty text behind the last.
  if (!texts.back().empty() || texts.size() < 3 || texts[0] != tag || texts[1].empty()) return std::nullopt;
  texts.pop_back();
  return RunRecord{texts[1], {texts.begin() + 2, texts.end()}};
}

}  // namespace runner
