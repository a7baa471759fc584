// What the stock runner starts: the record that the packer writes beside the runner in the
// unpack directory, and the names of both, as the packer writes them and the runner reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace runner {

// Packed first, as the main library, and second, at the top of the unpack directory.
inline constexpr char16_t runner_name[] = u"zamrik-runner.dll";
inline constexpr char16_t record_name[] = u"zamrik-runner.run";
// More than a command line can hold.
inline constexpr std::size_t max_record_size = 65536;

struct RunRecord {
  std::u16string program;  // relative to the unpack directory, "\" as separator
  std::vector<std::u16string> arguments;  // given before the user's own
};

// UTF-16LE: the tag "zamrik-run 1", the program, then each argument, every one followed by a
// 0 unit.
std::string encode_run_record(const RunRecord& record);
// Nothing for bytes that encode_run_record cannot have written.
std::optional<RunRecord> decode_run_record(std::span<const std::uint8_t> bytes);

}  // namespace runner
