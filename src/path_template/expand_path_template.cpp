#include "path_template/expand_path_template.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "os/os.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"
#include "identity/app_identity.h"
#include "identity/run_variables.h"
#include "path_template/run_identity.h"
#include "text/wide_text.h"

namespace path_template {
namespace {

constexpr std::size_t field_name_capacity = 1024;
constexpr std::size_t value_capacity = 1024;
static_assert(os::shell_folder_capacity <= value_capacity);

enum class Placeholder {
  temp, program, program_base, program_dir, pid, home, cache_dir, company, product, version,
  file_version, product_version, random, time_us, time,
};

struct NamedPlaceholder {
  const char16_t* name;
  Placeholder placeholder;
};

constexpr NamedPlaceholder placeholders[] = {
    {u"TEMP", Placeholder::temp},
    {u"PROGRAM", Placeholder::program},
    {u"PROGRAM_BASE", Placeholder::program_base},
    {u"PROGRAM_DIR", Placeholder::program_dir},
    {u"PID", Placeholder::pid},
    {u"HOME", Placeholder::home},
    {u"CACHE_DIR", Placeholder::cache_dir},
    {u"COMPANY", Placeholder::company},
    {u"PRODUCT", Placeholder::product},
    {u"VERSION", Placeholder::version},
    {u"FILE_VERSION", Placeholder::file_version},
    {u"PRODUCT_VERSION", Placeholder::product_version},
    {u"RANDOM", Placeholder::random},
    {u"TIME_US", Placeholder::time_us},
    {u"TIME", Placeholder::time},
};

bool find_placeholder(const char16_t* field, Placeholder& found) {
  for (const NamedPlaceholder& entry : placeholders) {
    if (text::equal_ignoring_case(field, entry.name)) {
      found = entry.placeholder;
      return true;
    }
  }
  return false;
}

// The text written so far. A 0 unit always stands at the write position, and remaining counts
// the units from there to the end of the buffer.
struct Output {
  char16_t* start;
  char16_t* position;
  std::uint64_t remaining;

  // Moves past a value that was stored at the write position.
  void advance_to_end() {
    while (*position != u'\0') {
      ++position;
      --remaining;
    }
  }

  void append(const char16_t* value) {
    platform::append_bounded(position, value, static_cast<std::size_t>(remaining));
    advance_to_end();
  }

  void append_ascii(const char* value) {
    platform::widen_ascii_append(position, value, static_cast<std::size_t>(remaining));
    advance_to_end();
  }

  // Works on the whole output, so backslashes before an empty value go too.
  void trim_backslashes() {
    while (position > start && position[-1] == u'\\') {
      *--position = u'\0';
      ++remaining;
    }
  }
};

// The stored value of a run-identity variable, or null when it is unset or empty. The name is
// widened into value, the expansion's value buffer.
char16_t* stored_value(const char* variable, char16_t* value) {
  value[0] = u'\0';
  platform::widen_ascii_append(value, variable, platform::variable_name_capacity);
  return platform::get_environment_value(value);
}

void append_process_id(Output& out, char16_t* value) {
  char16_t* stored = stored_value(identity::parent_variable, value);
  if (stored == nullptr) {
    // Not stored: a spec expanded outside the launcher's run names this process.
    out.append_ascii(process_id_text(os::current_process_id()).data());
    return;
  }
  // Only what the role decision reads as a process id may become part of a path.
  if (!parse_process_id_text(stored)) platform::abort_on_fault();
  out.append(stored);
  std::free(stored);
}

// A new value for {TIME}, {TIME_US} or {RANDOM}, widened into value.
void produce_value(Placeholder placeholder, char16_t* value) {
  value[0] = u'\0';
  if (placeholder == Placeholder::time) {
    platform::widen_ascii_append(value, file_time_text(os::system_time_as_file_time()).data(), value_capacity);
  } else if (placeholder == Placeholder::time_us) {
    platform::widen_ascii_append(value, microsecond_text(os::system_time_as_file_time()).data(), value_capacity);
  } else {
    std::int64_t counter = 0;
    os::query_performance_counter(&counter);
    const std::uint32_t seed = random_seed(static_cast<std::uint64_t>(counter), reinterpret_cast<std::uintptr_t>(&counter),
                                           os::current_process_id());
    platform::widen_ascii_append(value, random_text(seed).data(), value_capacity);
  }
}

// {TIME}, {TIME_US} and {RANDOM} are made once and stored; every later expansion, the child's
// included, reads them back.
void append_run_value(Output& out, char16_t* value, Placeholder placeholder, const char* variable) {
  if (char16_t* stored = stored_value(variable, value)) {
    out.append(stored);
    std::free(stored);
    return;
  }
  produce_value(placeholder, value);
  platform::set_environment_value(variable, value);
  out.append(value);
}

// Appends the value of a placeholder at the write position; false when the expansion fails.
bool append_value(Output& out, Placeholder placeholder) {
  char16_t value[value_capacity];
  switch (placeholder) {
    case Placeholder::temp: {
      const auto capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(out.remaining, std::numeric_limits<std::uint32_t>::max()));
      // Going on without the directory would put the path at the root of the current drive.
      const std::uint32_t length = os::temp_path(out.position, capacity);
      if (length == 0 || length >= capacity) return false;
      out.advance_to_end();
      out.trim_backslashes();
      return true;
    }
    case Placeholder::home:
    case Placeholder::cache_dir: {
      const auto folder = placeholder == Placeholder::home ? os::ShellFolder::profile : os::ShellFolder::local_app_data;
      if (!os::shell_folder_path(folder, value)) return false;
      out.append(value);
      out.trim_backslashes();
      return true;
    }
    case Placeholder::program: {
      char16_t** arguments = os::argument_vector();
      out.append(arguments != nullptr ? arguments[0] : nullptr);
      return true;
    }
    case Placeholder::program_base:
    case Placeholder::program_dir: {
      if (!expand_path_template(out.position, u"{PROGRAM}", out.remaining)) return false;
      char16_t* program = out.position;
      std::size_t length = std::char_traits<char16_t>::length(program);
      if (placeholder == Placeholder::program_base) {
        if (length > 3 && text::equal_ignoring_case(program + length - 4, u".exe")) program[length - 4] = u'\0';
      } else {
        while (length > 0 && program[length - 1] != u'\\') --length;
        if (length > 0) program[length - 1] = u'\0';
      }
      out.advance_to_end();
      return true;
    }
    case Placeholder::company:
      out.append(identity::identity_string(identity::IdentityString::company));
      return true;
    case Placeholder::product:
      out.append(identity::identity_string(identity::IdentityString::product));
      return true;
    case Placeholder::version:
    case Placeholder::file_version:
    case Placeholder::product_version:
      out.append(identity::identity_string(identity::IdentityString::version));
      return true;
    case Placeholder::pid:
      append_process_id(out, value);
      return true;
    case Placeholder::time:
      append_run_value(out, value, placeholder, identity::start_variable);
      return true;
    case Placeholder::time_us:
      append_run_value(out, value, placeholder, identity::time_us_variable);
      return true;
    case Placeholder::random:
      append_run_value(out, value, placeholder, identity::random_variable);
      return true;
  }
  return false;
}

}  // namespace

bool expand_path_template(char16_t* output, const char16_t* spec, std::uint64_t capacity) {
  // Not even the empty result fits.
  if (capacity == 0) return false;
  Output out{output, output, capacity};
  *output = u'\0';
  char16_t name[field_name_capacity];
  std::size_t name_length = 0;
  bool name_too_long = false;
  bool in_field = false;
  for (; *spec != u'\0'; ++spec) {
    const char16_t c = *spec;
    if (c == u'{') {
      in_field = true;
      name_length = 0;
      name_too_long = false;
    } else if (in_field && c == u'}') {
      in_field = false;
      name[name_length] = u'\0';
      Placeholder placeholder;
      if (name_too_long || !find_placeholder(name, placeholder)) return false;
      if (!append_value(out, placeholder)) return false;
    } else if (in_field) {
      if (name_length + 1 < field_name_capacity) {
        name[name_length++] = c;
      } else {
        name_too_long = true;
      }
    } else {
      if (out.remaining < 2) return false;
      *out.position++ = c;
      --out.remaining;
      *out.position = u'\0';
    }
  }
  return true;
}

}  // namespace path_template
