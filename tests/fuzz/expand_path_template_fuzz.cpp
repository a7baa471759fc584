// expand_path_template over arbitrary specs, capacities and run-identity variables, against a model
// written here from the grammar: same result (true, false or an abort), and the same text in
// the output, which is exactly as large as the capacity says.
//
// Input: byte 0 and byte 1 give the capacity; byte 2 selects the environment (bits 0-1: the
// value of ZAMRIK_ONEFILE_PARENT, bit 2: the run-identity values unset, so that they are
// produced); the rest is the spec as UTF-16LE code units, up to the first 0x0000 unit.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "bytes/little_endian.h"
#include "fuzz/endings.h"
#include "os/os.h"
#include "os/posix/text.h"
#include "path_template/expand_path_template.h"

namespace {

enum class Result { expanded, refused, aborted };

const char* const run_identity[] = {"ZAMRIK_ONEFILE_START", "ZAMRIK_ONEFILE_TIME_US", "ZAMRIK_ONEFILE_RANDOM"};

std::optional<std::u16string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return os::posix::from_utf8(value);
}

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool same_name(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

// The model. text holds the output so far; capacity - text.size() is the remaining length.
struct Model {
  std::u16string text;
  std::uint64_t capacity;

  std::uint64_t remaining() const { return capacity - text.size(); }
  bool append(const std::u16string& value) {  // false: append_bounded aborts
    if (value.size() + 1 > remaining()) return false;
    text += value;
    return true;
  }
  void trim() {
    while (!text.empty() && text.back() == u'\\') text.pop_back();
  }

  Result placeholder(const std::u16string& name) {
    static const std::u16string temp = os::posix::from_utf8(std::getenv("TMPDIR"));
    const auto is = [&](const char16_t* known) { return same_name(name, known); };
    std::u16string value;
    if (is(u"TEMP")) {
      // A directory that does not fit with its terminator fails the expansion.
      std::u16string path = temp;
      for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
      if (path.back() != u'\\') path += u'\\';
      if (path.size() >= remaining()) return Result::refused;
      text += path;
      trim();
      return Result::expanded;
    }
    if (is(u"HOME") || is(u"CACHE_DIR")) {
      value = os::posix::from_utf8(std::getenv("HOME")) + (is(u"HOME") ? u"" : u"/.cache");
      for (char16_t& c : value) c = c == u'/' ? u'\\' : c;
      if (!append(value)) return Result::aborted;
      trim();
      return Result::expanded;
    }
    if (is(u"PROGRAM") || is(u"PROGRAM_BASE") || is(u"PROGRAM_DIR")) {
      const std::u16string program = os::argument_vector()[0];
      if (!append(program)) return Result::aborted;
      if (is(u"PROGRAM_BASE") && program.size() > 3 && same_name(program.substr(program.size() - 4), u".exe")) {
        text.resize(text.size() - 4);
      }
      if (is(u"PROGRAM_DIR")) {
        const std::size_t slash = program.rfind(u'\\');
        if (slash != std::u16string::npos) text.resize(text.size() - (program.size() - slash));
      }
      return Result::expanded;
    }
    if (is(u"COMPANY") || is(u"PRODUCT")) return append(u"Caldrevine") ? Result::expanded : Result::aborted;
    if (is(u"VERSION") || is(u"FILE_VERSION") || is(u"PRODUCT_VERSION")) {
      return append(u"1.22.4.0") ? Result::expanded : Result::aborted;
    }
    if (is(u"PID")) {
      const auto parent = variable("ZAMRIK_ONEFILE_PARENT");
      value = parent ? *parent : os::posix::from_utf8(std::to_string(os::current_process_id()));
      // What the role decision reads as a process id: digits only, at most 2147483647.
      std::uint64_t id = 0;
      for (char16_t c : value) {
        if (c < u'0' || c > u'9') return Result::aborted;
        id = std::min<std::uint64_t>(id * 10 + (c - u'0'), std::uint64_t{1} << 32);
      }
      if (id > 2147483647) return Result::aborted;
      return append(value) ? Result::expanded : Result::aborted;
    }
    const char* stored = is(u"TIME") ? run_identity[0] : is(u"TIME_US") ? run_identity[1] : is(u"RANDOM") ? run_identity[2] : nullptr;
    if (stored == nullptr) return Result::refused;
    // Read after the expansion: a value produced by it has been stored by then.
    const auto value_of_stored = variable(stored);
    if (!value_of_stored) return Result::refused;
    return append(*value_of_stored) ? Result::expanded : Result::aborted;
  }

  Result expand(const std::u16string& spec) {
    bool in_field = false;
    std::u16string name;
    for (char16_t c : spec) {
      if (c == u'{') {
        in_field = true;
        name.clear();
      } else if (in_field && c == u'}') {
        in_field = false;
        if (name.size() > 1023) return Result::refused;
        const Result result = placeholder(name);
        if (result != Result::expanded) return result;
      } else if (in_field) {
        name += c;
      } else {
        if (remaining() < 2) return Result::refused;
        text += c;
      }
    }
    return Result::expanded;
  }
};

constexpr char16_t base64url[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The form of produced run-identity values.
void check_produced(bool& ok) {
  const auto time_us = variable("ZAMRIK_ONEFILE_TIME_US");
  if (time_us) {
    ok = ok && time_us->size() == 6;
    for (char16_t c : *time_us) ok = ok && c >= u'0' && c <= u'9';
  }
  const auto random = variable("ZAMRIK_ONEFILE_RANDOM");
  if (random) {
    ok = ok && random->size() == 11;
    for (char16_t c : *random) ok = ok && std::u16string_view(base64url).find(c) != std::u16string_view::npos;
    ok = ok && std::u16string_view(base64url).find(random->back()) % 4 == 0;
  }
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The engine keeps its own files there too.
  std::filesystem::create_directories("/tmp/zamrik-fuzz/temp");
  setenv("TMPDIR", "/tmp/zamrik-fuzz/temp", 1);
  setenv("HOME", "/home/zamrik-fuzz", 1);
  unsetenv("XDG_CACHE_HOME");
  setenv("ZAMRIK_ONEFILE_START", "133617168001234567", 1);
  setenv("ZAMRIK_ONEFILE_TIME_US", "123456", 1);
  setenv("ZAMRIK_ONEFILE_RANDOM", "0mHAFguB88o", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint64_t capacity = data[0] + 256u * (data[1] % 24);
  const char* const parents[] = {"4120", nullptr, "0042", "12a"};
  if (parents[data[2] & 3] != nullptr) {
    setenv("ZAMRIK_ONEFILE_PARENT", parents[data[2] & 3], 1);
  } else {
    unsetenv("ZAMRIK_ONEFILE_PARENT");
  }
  const bool produce = (data[2] & 4) != 0;
  if (produce) {
    for (const char* name : run_identity) unsetenv(name);
  }
  std::u16string spec;
  for (std::size_t i = 3; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(little_endian::load_u16(data + i));
    if (unit == 0) break;
    spec += unit;
  }

  // Exactly capacity characters, so that a write past them is caught.
  char16_t* output = capacity > 0 ? new char16_t[capacity] : nullptr;
  Result got = Result::refused;
  try {
    got = path_template::expand_path_template(output, spec.c_str(), capacity) ? Result::expanded : Result::refused;
  } catch (const fuzz::Ending& ending) {
    check(ending.kind == fuzz::EndingKind::overflow || ending.kind == fuzz::EndingKind::abort);
    got = Result::aborted;
  }

  Model model{{}, capacity};
  const Result want = capacity == 0 ? Result::refused : model.expand(spec);
  check(got == want);
  if (got != Result::aborted && capacity > 0) {
    // Expanded, or refused with the partial result in place.
    const std::size_t end = std::u16string_view(output, capacity).find(u'\0');
    check(end != std::u16string_view::npos);
    check(std::u16string_view(output, end) == model.text);
  }
  bool ok = true;
  if (produce) check_produced(ok);
  check(ok);
  delete[] output;
  if (produce) LLVMFuzzerInitialize(nullptr, nullptr);
  return 0;
}
