// Environment access. Setting and removing reach the process environment and the private
// copy of every C run-time loaded in the process, so that any lookup sees the same state.
#pragma once

#include <cstddef>

namespace platform {

// Room for the name of every variable that the launcher reads or sets by its own name, with the
// terminator.
inline constexpr std::size_t variable_name_capacity = 40;

// Appends ASCII source, one byte to one wide character; aborts when it does not fit or a byte is
// no ASCII.
void widen_ascii_append(char16_t* destination, const char* source, std::size_t capacity);
// A heap copy of the value (the caller keeps it), or null when unset, empty or too long.
char16_t* get_environment_value(const char16_t* name);
void set_environment_value(const char* name, const char16_t* value);
void remove_environment_value(const char* name);
// The second half of setting and removing (value empty for a removal).
void propagate_to_runtimes(const char* name, const char16_t* value);

}  // namespace platform
