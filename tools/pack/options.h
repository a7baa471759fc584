// Command-line parsing in the usual style: long options with "--name VALUE" or "--name=VALUE",
// short ones as "-o VALUE", "-oVALUE" or grouped flags ("-qh"), and "--" to end the options.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pack {

struct OptionSpec {
  std::string name;  // long name, without "--"
  char letter = 0;   // short form, 0 for none
  bool takes_value = false;
};

class ParsedOptions {
 public:
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // The last value given; options may be repeated and the last one counts.
  std::optional<std::string> value(const std::string& name) const;
  // Every value given, in order, for an option that adds up (--run-arg).
  std::vector<std::string> all_values(const std::string& name) const;
  // The option given last among several that contradict each other (--checksum, --no-checksum).
  std::optional<std::string> last_of(const std::vector<std::string>& names) const;
  const std::vector<std::string>& operands() const { return operands_; }

 private:
  friend ParsedOptions parse_options(const std::vector<std::string>&, const std::vector<OptionSpec>&);
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> all_values_;
  std::map<std::string, int> order_;
  std::vector<std::string> operands_;
};

// Throws UsageError for an unknown option, a missing value, or a value given to a flag.
ParsedOptions parse_options(const std::vector<std::string>& arguments, const std::vector<OptionSpec>& specs);

// A whole decimal number within [low, high]; throws UsageError naming the option otherwise.
int parse_number(const std::string& option, const std::string& text, int low, int high);

}  // namespace pack
