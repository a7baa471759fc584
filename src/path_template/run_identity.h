// The generators behind {PID}, {TIME}, {TIME_US} and {RANDOM}: pure functions of the readings
// that the expansion takes from the system, so that fixed readings give fixed texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace path_template {

// Terminated 8-bit decimal text, long enough for any 64-bit number with its sign.
using DecimalText = std::array<char, 24>;
// Eleven base64url characters and a terminator.
using RandomText = std::array<char, 12>;

// The seed of {RANDOM}: both halves of the performance counter and of the address it was stored
// at, and the process id, combined by exclusive or.
std::uint32_t random_seed(std::uint64_t counter, std::uint64_t counter_address, std::uint32_t process_id);
// Eight xorshift32 steps from seed (0 counts as 1); byte i is the low byte after step i.
std::array<std::uint8_t, 8> random_bytes(std::uint32_t seed);
// base64url (RFC 4648) of eight bytes without padding: eleven characters.
RandomText base64url(const std::array<std::uint8_t, 8>& bytes);
RandomText random_text(std::uint32_t seed);

// The microsecond within the second of a FILETIME count, 0 to 999999.
std::uint32_t microsecond_of(std::int64_t file_time);
// {TIME_US}: exactly six digits.
DecimalText microsecond_text(std::int64_t file_time);
// {TIME}: the count in decimal.
DecimalText file_time_text(std::int64_t file_time);
// {PID}: the id in decimal.
DecimalText process_id_text(std::uint32_t process_id);
// The one reading of a stored process id, for the role decision and for {PID} alike: decimal
// digits only (no blank, no sign), up to 2147483647; nothing for any other text.
std::optional<std::uint32_t> parse_process_id_text(std::u16string_view text);

}  // namespace path_template
