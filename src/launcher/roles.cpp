#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "identity/run_variables.h"
#include "launcher/launcher.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"
#include "platform/executable_path.h"
#include "path_template/expand_path_template.h"
#include "path_template/run_identity.h"
#include "text/wide_text.h"

namespace launcher {
namespace {

constexpr std::size_t process_id_capacity = 128;
// As large as the launcher's own canonical path: a parent's image path that did not fit could
// never match it, and a real child would then unpack and start a child of its own, endlessly.
constexpr std::size_t parent_image_capacity = platform::executable_path_capacity;

bool same_text(const char16_t* a, const char16_t* b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == u'\0') return true;
  }
  return false;
}

// The marker of a child that a parent started: the parent's process id, and for a child made
// ahead of the unpack ":" and the value of the start gate it inherited.
struct ChildMarker {
  bool present = false;
  std::uint64_t gate = 0;
};

constexpr char16_t gate_separator = u':';

// Reads the marker and removes it, so that nothing the application starts inherits it.
ChildMarker take_child_marker() {
  char16_t name[platform::variable_name_capacity] = {};
  platform::widen_ascii_append(name, identity::child_marker_variable, platform::variable_name_capacity);
  char16_t* value = platform::get_environment_value(name);
  if (value == nullptr) return {};
  ChildMarker marker{true, 0};
  const std::u16string_view written(value);
  // Not a gate unless it is all digits and in range: such a marker was not written by a parent.
  if (const std::size_t separator = written.find(gate_separator); separator != std::u16string_view::npos) {
    marker.gate = text::parse_decimal(written.substr(separator + 1), UINT64_MAX).value_or(0);
  }
  std::free(value);
  platform::remove_environment_value(identity::child_marker_variable);
  return marker;
}

bool parent_runs_this_executable(RunState& state) {
  char16_t name[platform::variable_name_capacity] = {};
  platform::widen_ascii_append(name, identity::parent_variable, platform::variable_name_capacity);
  char16_t* value = platform::get_environment_value(name);
  const std::optional<std::uint32_t> process_id =
      value != nullptr ? path_template::parse_process_id_text(value) : std::nullopt;
  std::free(value);
  if (!process_id) return false;

  os::Handle process = os::open_process_for_query(*process_id);
  if (process == nullptr) return false;
  char16_t parent_image[parent_image_capacity];
  if (os::process_image_path(process, parent_image, parent_image_capacity) == 0) {
    os::close_handle(process);
    return false;
  }
  platform::resolve_final_path(parent_image, parent_image_capacity);
  platform::shorten_directory_part(parent_image, parent_image_capacity);
  const bool same_executable = same_text(parent_image, state.executable.executable_path(true));
  os::close_handle(process);
  return same_executable;
}

}  // namespace

bool detect_child_role(RunState& state) {
  const ChildMarker marker = take_child_marker();
  // A child made ahead of the unpack gets this far while the files are written: the check reads
  // only what stays the same meanwhile, and whatever the child does or reports comes after the
  // last file, as for a child started then.
  const bool child = parent_runs_this_executable(state);
  if (marker.gate != 0 && !os::pass_start_gate(marker.gate)) {
    platform::fail_with_system_error(platform::message::launch_child, os::last_error());
  }
  const bool started_by_a_parent = marker.present;
  // In the parent role this instance would start a child of its own, which would fail the same
  // check and start another, without end.
  if (started_by_a_parent && !child) platform::fatal_exit(platform::message::parent_unknown);
  return child;
}

void prepare_parent_environment() {
  platform::remove_environment_value(identity::start_variable);
  platform::remove_environment_value(identity::time_us_variable);
  platform::remove_environment_value(identity::random_variable);
  char16_t value[process_id_capacity] = {};
  platform::widen_ascii_append(value, path_template::process_id_text(os::current_process_id()).data(), process_id_capacity);
  platform::set_environment_value(identity::parent_variable, value);
  mark_child(nullptr);
}

void mark_child(os::Handle gate) {
  char16_t value[process_id_capacity] = {};
  platform::widen_ascii_append(value, path_template::process_id_text(os::current_process_id()).data(), process_id_capacity);
  if (gate != nullptr) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%llu", static_cast<char>(gate_separator),
                  static_cast<unsigned long long>(os::start_gate_value(gate)));
    platform::widen_ascii_append(value, text, process_id_capacity);
  }
  platform::set_environment_value(identity::child_marker_variable, value);
}

void determine_unpack_directory(RunState& state) {
  char16_t* const unpack_directory = state.unpack_directory;
  const bool expanded = path_template::expand_path_template(unpack_directory, path_template::builtin_unpack_template, payload::path_capacity);
  // A failed expansion may leave no text at all to take the full path of, and would then end
  // without its message.
  if (!expanded) platform::fail_path_template_expansion(path_template::builtin_unpack_template);
  char16_t full_path[payload::path_capacity];
  const std::uint32_t length = os::full_path_name(unpack_directory, payload::path_capacity, full_path);
  if (length == 0 || length > payload::path_capacity - 1) platform::abort_on_overflow();
  for (std::uint32_t i = 0; i <= length; ++i) unpack_directory[i] = full_path[i];
}

void publish_launcher_variables(RunState& state) {
  char16_t launcher_directory[platform::executable_path_capacity];
  launcher_directory[0] = u'\0';
  platform::append_bounded(launcher_directory, state.executable.executable_path(false), platform::executable_path_capacity);
  text::cut_to_parent(launcher_directory);
  platform::set_environment_value(identity::directory_variable, launcher_directory);
  const bool has_first = os::argument_count() > 0 && os::argument_vector() != nullptr && os::argument_vector()[0] != nullptr;
  platform::set_environment_value(identity::original_argv0_variable, has_first ? os::argument_vector()[0] : u"");
}

}  // namespace launcher
