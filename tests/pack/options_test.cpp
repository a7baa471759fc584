#include "options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pack_error.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

const std::vector<pack::OptionSpec> specs = {
    {"output", 'o', true}, {"quiet", 'q', false}, {"help", 'h', false}, {"level", 0, true},
    {"checksum", 0, false}, {"no-checksum", 0, false},
};

TEST(Options, KeepsEveryValueOfARepeatedOptionInOrder) {
  const pack::ParsedOptions parsed =
      pack::parse_options({"-o", "a.exe", "--output=b.exe", "app", "-oc.exe", "--output", "-d.exe"}, specs);
  EXPECT_THAT(parsed.all_values("output"), ElementsAre("a.exe", "b.exe", "c.exe", "-d.exe"));
  EXPECT_EQ(parsed.value("output"), "-d.exe");
  EXPECT_THAT(parsed.all_values("level"), testing::IsEmpty());
}

TEST(Options, ReadsTheUsualForms) {
  struct Case {
    std::vector<std::string> arguments;
    std::string output;
    bool quiet;
    std::vector<std::string> operands;
  };
  const Case cases[] = {
      {{"app", "-o", "a.exe"}, "a.exe", false, {"app"}},
      {{"-oa.exe", "app"}, "a.exe", false, {"app"}},
      {{"--output", "a.exe", "-q", "app"}, "a.exe", true, {"app"}},
      {{"--output=a.exe", "app", "--quiet"}, "a.exe", true, {"app"}},
      {{"-qo", "a.exe", "app"}, "a.exe", true, {"app"}},
      {{"-o", "first.exe", "-o", "a.exe", "app"}, "a.exe", false, {"app"}},  // the last one counts
      {{"-o", "a.exe", "--", "-app", "--quiet"}, "a.exe", false, {"-app", "--quiet"}},
      {{"-o", "-", "-"}, "-", false, {"-"}},
  };
  for (const Case& c : cases) {
    const pack::ParsedOptions parsed = pack::parse_options(c.arguments, specs);
    EXPECT_EQ(parsed.value("output"), c.output) << testing::PrintToString(c.arguments);
    EXPECT_EQ(parsed.has("quiet"), c.quiet) << testing::PrintToString(c.arguments);
    EXPECT_EQ(parsed.operands(), c.operands) << testing::PrintToString(c.arguments);
  }
  EXPECT_EQ(pack::parse_options({"--checksum", "--no-checksum"}, specs).last_of({"checksum", "no-checksum"}),
            "no-checksum");
  EXPECT_EQ(pack::parse_options({"--no-checksum", "--checksum"}, specs).last_of({"checksum", "no-checksum"}),
            "checksum");
  EXPECT_EQ(pack::parse_options({}, specs).last_of({"checksum", "no-checksum"}), std::nullopt);
}

TEST(Options, RefusesWhatItDoesNotKnow) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"-x"}, "unknown option '-x'"},
      {{"-qx"}, "unknown option '-x'"},
      {{"--output"}, "option '--output' needs a value"},
      {{"-o"}, "option '-o' needs a value"},
      {{"--quiet=yes"}, "option '--quiet' takes no value"},
  };
  for (const Case& c : cases) {
    try {
      pack::parse_options(c.arguments, specs);
      ADD_FAILURE() << c.message;
    } catch (const pack::UsageError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
}

TEST(Options, TakesNumbersOnlyWholeAndInRange) {
  EXPECT_EQ(pack::parse_number("--level", "19", 1, 22), 19);
  EXPECT_EQ(pack::parse_number("--level", "1", 1, 22), 1);
  for (const std::string text : {"0", "23", "-3", "3x", "", " 3", "1e1", "99999999999"}) {
    EXPECT_THROW(pack::parse_number("--level", text, 1, 22), pack::UsageError) << text;
  }
}

}  // namespace
