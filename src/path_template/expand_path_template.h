// Path templates with {NAME} placeholders, expanded into a caller's buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace path_template {

// The built-in unpack spec that both roles expand to name the unpack directory.
inline constexpr char16_t builtin_unpack_template[] = u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
// The {PID} of a name that the built-in spec gives a directory below {TEMP}; nothing for a
// name that it cannot give.
std::optional<std::uint32_t> builtin_unpack_directory_owner(std::u16string_view name);

// Expands spec into output (capacity characters, terminator included). True when the whole
// spec expanded; false for an unknown placeholder, a literal that does not fit, a failed
// folder lookup, a temporary directory that cannot be had or does not fit. Any other value that
// does not fit ends the process through abort.
bool expand_path_template(char16_t* output, const char16_t* spec, std::uint64_t capacity);

}  // namespace path_template
