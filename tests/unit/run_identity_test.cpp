#include "path_template/run_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "os/os.h"
#include "path_template/expand_path_template.h"
#include "support/scoped_variable.h"
#include "support/test_support.h"

using test_support::aborted;
using test_support::narrow;
using test_support::ScopedVariable;

namespace {

using testing::Eq;

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

TEST(RandomText, MatchesTheKnownVectors) {
  struct Case {
    std::uint32_t seed;
    std::array<std::uint8_t, 8> bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {0x00000001, {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, "IQHFT9HQGrI"},
      {0x3DABB043, {0xD2, 0x61, 0xC0, 0x16, 0x0B, 0x81, 0xF3, 0xCA}, "0mHAFguB88o"},
      {0x00000000, {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, "IQHFT9HQGrI"},  // 0 counts as 1
  };
  for (const Case& c : cases) {
    EXPECT_EQ(path_template::random_bytes(c.seed), c.bytes) << c.seed;
    EXPECT_EQ(std::string_view(path_template::random_text(c.seed).data()), c.text) << c.seed;
  }
}

TEST(RandomText, SeedCombinesCounterAddressAndProcessId) {
  EXPECT_EQ(path_template::random_seed(0x0000000A12345678, 0x000000C12F9FF6E8, 4120), 0x3DABB043u);
  EXPECT_EQ(path_template::random_seed(0xFFFFFFFF00000000, 0x00000000FFFFFFFF, 7), 7u);  // halves cancel
}

TEST(RandomText, IsElevenBase64UrlCharactersEndingOnAMultipleOfFour) {
  for (std::uint32_t seed = 1; seed < 2000; seed += 7) {
    const path_template::RandomText random = path_template::random_text(seed);
    const std::string_view text = random.data();
    ASSERT_EQ(text.size(), 11u) << seed;
    EXPECT_EQ(text.find_first_not_of(alphabet), std::string_view::npos) << text;
    EXPECT_EQ(alphabet.find(text.back()) % 4, 0u) << text;
  }
}

TEST(TimeText, FormatsFileTimeCounts) {
  struct Case {
    std::int64_t file_time;
    std::string_view time, time_us;
  };
  const Case cases[] = {
      {133617168001234567, "133617168001234567", "123456"},
      {10, "10", "000001"},
      {9999999, "9999999", "999999"},
      {0, "0", "000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string_view(path_template::file_time_text(c.file_time).data()), c.time);
    EXPECT_EQ(std::string_view(path_template::microsecond_text(c.file_time).data()), c.time_us) << c.time;
  }
  EXPECT_EQ(std::string_view(path_template::process_id_text(4120).data()), "4120");
  EXPECT_EQ(std::string_view(path_template::process_id_text(0xFFFFFFFF).data()), "4294967295");  // never a sign
}

TEST(ProcessIdText, IsReadAsDigitsOnly) {
  struct Case {
    std::u16string_view text;
    std::optional<std::uint32_t> id;
  };
  const Case cases[] = {
      {u"4120", 4120},
      {u"0", 0},
      {u"0042", 42},
      {u"2147483647", 2147483647},
      {u"2147483648", std::nullopt},  // beyond a 32-bit long, as "%ld" writes it
      {u"99999999999999999999999", std::nullopt},
      {u"", std::nullopt},
      {u" 42", std::nullopt},
      {u"\t42", std::nullopt},
      {u"+42", std::nullopt},
      {u"-42", std::nullopt},
      {u"42 ", std::nullopt},
      {u"4x2", std::nullopt},
      {u"\u0664\u0662", std::nullopt},  // Arabic-Indic digits
  };
  for (const Case& c : cases) EXPECT_EQ(path_template::parse_process_id_text(c.text), c.id) << narrow(c.text);
}

// The expansion of the run-identity placeholders, each test from an environment without them.
class RunIdentityExpansion : public testing::Test {
 protected:
  static std::u16string expand(const char16_t* text, std::uint64_t capacity = 4096) {
    std::u16string buffer(capacity, u'#');
    EXPECT_TRUE(path_template::expand_path_template(buffer.data(), text, capacity)) << narrow(text);
    return buffer.c_str();
  }
  static std::optional<std::u16string> stored(const char16_t* name) { return test_support::process_variable(name); }

  ScopedVariable parent_{u"ZAMRIK_ONEFILE_PARENT", nullptr};
  ScopedVariable start_{u"ZAMRIK_ONEFILE_START", nullptr};
  ScopedVariable time_us_{u"ZAMRIK_ONEFILE_TIME_US", nullptr};
  ScopedVariable random_{u"ZAMRIK_ONEFILE_RANDOM", nullptr};
};

TEST_F(RunIdentityExpansion, ProducesEachValueOnceAndReadsItBack) {
  const std::u16string first = expand(u"{RANDOM}|{RANDOM}|{TIME_US}|{TIME_US}");
  ASSERT_EQ(first.size(), 11u + 1 + 11 + 1 + 6 + 1 + 6) << narrow(first);
  EXPECT_EQ(first.substr(0, 11), first.substr(12, 11));
  EXPECT_EQ(first.substr(24, 6), first.substr(31, 6));
  EXPECT_EQ(stored(u"ZAMRIK_ONEFILE_RANDOM"), first.substr(0, 11));
  EXPECT_EQ(stored(u"ZAMRIK_ONEFILE_TIME_US"), first.substr(24, 6));
  EXPECT_EQ(expand(u"{RANDOM}|{RANDOM}|{TIME_US}|{TIME_US}"), first);

  const std::int64_t before = os::system_time_as_file_time();
  const std::u16string time = expand(u"{TIME}");
  const std::int64_t after = os::system_time_as_file_time();
  EXPECT_EQ(stored(u"ZAMRIK_ONEFILE_START"), time);
  const std::int64_t value = std::stoll(narrow(time));
  EXPECT_GE(value, before);
  EXPECT_LE(value, after);
  EXPECT_EQ(expand(u"{TIME}"), time);
}

TEST_F(RunIdentityExpansion, UsesStoredValuesUnchanged) {
  struct Case {
    const char16_t* variable;
    const char16_t* value;
    const char16_t* spec;
  };
  const Case cases[] = {
      {u"ZAMRIK_ONEFILE_RANDOM", u"abc", u"{RANDOM}"},
      {u"ZAMRIK_ONEFILE_TIME_US", u"not a number", u"{TIME_US}"},
      {u"ZAMRIK_ONEFILE_START", u"{TEMP}", u"{TIME}"},  // values are never scanned
      {u"ZAMRIK_ONEFILE_PARENT", u"0042", u"{PID}"},
  };
  for (const Case& c : cases) {
    ScopedVariable preset(c.variable, c.value);
    EXPECT_EQ(expand(c.spec), c.value) << narrow(c.spec);
  }
}

TEST_F(RunIdentityExpansion, EmptyStoredValueCountsAsUnset) {
  ScopedVariable preset(u"ZAMRIK_ONEFILE_RANDOM", u"");
  const std::u16string value = expand(u"{RANDOM}");
  EXPECT_EQ(value.size(), 11u) << narrow(value);
  EXPECT_EQ(stored(u"ZAMRIK_ONEFILE_RANDOM"), value);
}

TEST_F(RunIdentityExpansion, UnsetParentGivesThisProcessWithoutStoringIt) {
  EXPECT_EQ(narrow(expand(u"{PID}")), std::to_string(os::current_process_id()));
  EXPECT_EQ(stored(u"ZAMRIK_ONEFILE_PARENT"), std::nullopt);
}

TEST_F(RunIdentityExpansion, ReproducesTheParentsDirectoryFromStoredValues) {
  ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", u"4120");
  ScopedVariable time_us(u"ZAMRIK_ONEFILE_TIME_US", u"123456");
  ScopedVariable random(u"ZAMRIK_ONEFILE_RANDOM", u"0mHAFguB88o");
  const std::u16string path = expand(path_template::builtin_unpack_template);
  EXPECT_THAT(narrow(path), testing::EndsWith("\\onefile_4120_123456_0mHAFguB88o"));
  EXPECT_EQ(path, expand(u"{TEMP}") + u"\\onefile_4120_123456_0mHAFguB88o");
}

using RunIdentityExpansionDeathTest = RunIdentityExpansion;

TEST_F(RunIdentityExpansionDeathTest, ParentThatIsNoProcessIdEndsTheProcess) {
  // The role decision reads none of these as a process id either.
  for (const char16_t* value : {u"12a", u" 12", u"+12", u"-12", u"\u0664\u0662", u"2147483648"}) {
    ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", value);
    char16_t output[64];
    EXPECT_EXIT(path_template::expand_path_template(output, u"{PID}", 64), aborted(), Eq("")) << narrow(value);
  }
}

TEST_F(RunIdentityExpansionDeathTest, ValueThatDoesNotFitEndsTheProcess) {
  char16_t output[16];
  {
    ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", u"4120");
    EXPECT_TRUE(path_template::expand_path_template(output, u"{PID}", 5));
    EXPECT_EXIT(path_template::expand_path_template(output, u"{PID}", 4), aborted(), Eq(""));
  }
  ScopedVariable random(u"ZAMRIK_ONEFILE_RANDOM", u"0mHAFguB88o");
  EXPECT_EXIT(path_template::expand_path_template(output, u"x{RANDOM}", 12), aborted(), Eq(""));
  // Produced values abort the same way: the process id and a fresh {TIME_US}.
  EXPECT_EXIT(path_template::expand_path_template(output, u"{PID}", 1), aborted(), Eq(""));
  EXPECT_EXIT(path_template::expand_path_template(output, u"{TIME_US}", 6), aborted(), Eq(""));
}

}  // namespace
