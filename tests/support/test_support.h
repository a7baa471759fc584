// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace test_support {

// How abort() shows up in a death test on this platform.
#ifdef _WIN32
inline auto aborted() { return testing::ExitedWithCode(3); }
#else
inline auto aborted() { return testing::KilledBySignal(6); }
#endif
inline auto exited_with_2() { return testing::ExitedWithCode(2); }

// Standard output cannot be matched by a death test; this puts what the dying statement printed
// there on standard error as the process exits.
inline void show_standard_output_at_exit() {
  testing::internal::CaptureStdout();
  std::atexit([] { std::fputs(testing::internal::GetCapturedStdout().c_str(), stderr); });
}

inline std::string narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Bytes that compress somewhat: text-like runs broken by noise, different for every seed.
inline std::string contents(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = (state & 3) == 0 ? static_cast<char>(state >> 8) : "onefile unpack "[i % 15];
  }
  return out;
}

}  // namespace test_support
