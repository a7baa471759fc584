#include "options.h"

#include <charconv>

#include "pack_error.h"

namespace pack {

std::optional<std::string> ParsedOptions::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> ParsedOptions::all_values(const std::string& name) const {
  const auto found = all_values_.find(name);
  return found == all_values_.end() ? std::vector<std::string>{} : found->second;
}

std::optional<std::string> ParsedOptions::last_of(const std::vector<std::string>& names) const {
  std::optional<std::string> last;
  int last_order = -1;
  for (const std::string& name : names) {
    const auto found = order_.find(name);
    if (found != order_.end() && found->second > last_order) {
      last = name;
      last_order = found->second;
    }
  }
  return last;
}

ParsedOptions parse_options(const std::vector<std::string>& arguments, const std::vector<OptionSpec>& specs) {
  ParsedOptions parsed;
  int order = 0;
  const auto record = [&](const OptionSpec& spec, std::string value) {
    parsed.all_values_[spec.name].push_back(value);
    parsed.values_[spec.name] = std::move(value);
    parsed.order_[spec.name] = order++;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      parsed.operands_.insert(parsed.operands_.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              arguments.end());
      break;
    }
    if (argument.starts_with("--")) {
      const std::size_t equals = argument.find('=');
      const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const OptionSpec* spec = nullptr;
      for (const OptionSpec& candidate : specs) {
        if (candidate.name == name) spec = &candidate;
      }
      if (!spec) throw UsageError("unknown option '--" + name + "'");
      if (!spec->takes_value) {
        if (equals != std::string::npos) throw UsageError("option '--" + name + "' takes no value");
        record(*spec, {});
      } else if (equals != std::string::npos) {
        record(*spec, argument.substr(equals + 1));
      } else {
        if (i + 1 >= arguments.size()) throw UsageError("option '--" + name + "' needs a value");
        record(*spec, arguments[++i]);
      }
      continue;
    }
    if (argument.size() < 2 || argument[0] != '-') {
      parsed.operands_.push_back(argument);
      continue;
    }
    for (std::size_t k = 1; k < argument.size(); ++k) {
      const OptionSpec* spec = nullptr;
      for (const OptionSpec& candidate : specs) {
        if (candidate.letter != 0 && candidate.letter == argument[k]) spec = &candidate;
      }
      if (!spec) throw UsageError(std::string("unknown option '-") + argument[k] + "'");
      if (!spec->takes_value) {
        record(*spec, {});
        continue;
      }
      if (k + 1 < argument.size()) {
        record(*spec, argument.substr(k + 1));
      } else {
        if (i + 1 >= arguments.size()) throw UsageError(std::string("option '-") + argument[k] + "' needs a value");
        record(*spec, arguments[++i]);
      }
      break;
    }
  }
  return parsed;
}

int parse_number(const std::string& option, const std::string& text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw UsageError("option '" + option + "' takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  }
  return value;
}

}  // namespace pack
