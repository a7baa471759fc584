#include "platform/diagnostics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

using test_support::aborted;
using test_support::exited_with_2;

namespace {

using testing::Eq;

TEST(AppendBounded, AppendsWhenResultAndTerminatorFit) {
  struct Case {
    std::u16string start, source;
    std::size_t capacity;
    std::u16string want;
  };
  const Case cases[] = {
      {u"", u"abc", 4, u"abc"},   // fills the buffer exactly
      {u"ab", u"cd", 5, u"abcd"},  // counts what is already there
      {u"ab", u"", 3, u"ab"},     // empty source, room left
      {u"", u"", 1, u""},
  };
  for (const Case& c : cases) {
    std::u16string buffer = c.start;
    buffer.resize(c.capacity, u'\0');
    platform::append_bounded(buffer.data(), c.source.c_str(), c.capacity);
    EXPECT_EQ(std::u16string(buffer.c_str()), c.want) << test_support::narrow(c.want);
  }
}

TEST(AppendBoundedDeathTest, AbortsInsteadOfTruncating) {
  char16_t buffer[4] = u"ab";
  EXPECT_EXIT(platform::append_bounded(buffer, u"cd", 4), aborted(), Eq(""));  // one character too many
  EXPECT_EXIT(platform::append_bounded(buffer, nullptr, 4), aborted(), Eq(""));
  char16_t full[3] = {u'a', u'b', u'c'};  // no terminator within the capacity
  EXPECT_EXIT(platform::append_bounded(full, u"", 3), aborted(), Eq(""));
  char16_t exact[3] = {u'a', u'b', u'\0'};
  EXPECT_EXIT(platform::append_bounded(exact, u"x", 3), aborted(), Eq(""));
}

TEST(FatalExitDeathTest, PrintsTheMessageAndOneNewlineOnStandardOutput) {
  // Death tests capture standard error only; standard output is checked end to end.
  EXPECT_EXIT(platform::fatal_exit(platform::message::header), exited_with_2(), Eq(""));
}

TEST(FailSpecExpansionDeathTest, QuotesTheTemplateOnStandardErrorAndAborts) {
  EXPECT_EXIT(platform::fail_path_template_expansion(u"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"), aborted(),
              Eq("Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\n"));
}

TEST(FailOpenForWritingDeathTest, KeepsNonAsciiPathsIntact) {
  EXPECT_EXIT(platform::fail_open_for_writing(u"C:\\T\\\u00e9t\u00e9\\\u65e5\u672c.dll"), exited_with_2(),
              Eq("Error, failed to open 'C:\\T\\\xc3\xa9t\xc3\xa9\\\xe6\x97\xa5\xe6\x9c\xac.dll' for writing.\n"));
}

TEST(FailWithSystemErrorDeathTest, PrintsCodeAndTrimmedSystemText) {
#ifdef _WIN32
  // ERROR_FILE_NOT_FOUND: the system's own text, without its CR LF.
  EXPECT_EXIT(platform::fail_with_system_error("Error, load DLL.", 2), exited_with_2(),
              testing::AllOf(testing::StartsWith("Error, load DLL. ([Error 2] "), testing::EndsWith(".)\n"),
                             testing::Not(testing::HasSubstr("\r")), testing::Not(testing::HasSubstr("\n)"))));
#else
  EXPECT_EXIT(platform::fail_with_system_error("Error, load DLL.", 2), exited_with_2(),
              Eq("Error, load DLL. ([Error 2] No such file or directory)\n"));
#endif
  // A code without any system text.
  EXPECT_EXIT(platform::fail_with_system_error("Error, couldn't launch child", 0x2000FFFF), exited_with_2(),
              Eq("Error, couldn't launch child ([Error 536936447] <unknown>)\n"));
}

// Marks on standard error that it ran, after whatever message came before.
void mark_cleanup() {
  std::fputs("clean-up\n", stderr);
  std::fflush(stderr);
}

TEST(FailureCleanupDeathTest, RunsOnceAfterTheMessageOfEveryEndingWithStatus2) {
  EXPECT_EXIT((platform::set_failure_cleanup(mark_cleanup), platform::fatal_exit(platform::message::header)), exited_with_2(),
              Eq("clean-up\n"));
  EXPECT_EXIT((platform::set_failure_cleanup(mark_cleanup), platform::fail_open_for_writing(u"C:\\x")), exited_with_2(),
              Eq("Error, failed to open 'C:\\x' for writing.\nclean-up\n"));
  EXPECT_EXIT((platform::set_failure_cleanup(mark_cleanup), platform::fail_with_system_error("Error, load DLL.", 0x2000FFFF)),
              exited_with_2(), Eq("Error, load DLL. ([Error 536936447] <unknown>)\nclean-up\n"));
  // A failure inside the clean-up ends the process without starting it again.
  static const auto failing_cleanup = [] {
    mark_cleanup();
    platform::fail_open_for_writing(u"again");
  };
  EXPECT_EXIT((platform::set_failure_cleanup(failing_cleanup), platform::fatal_exit(platform::message::decode)), exited_with_2(),
              Eq("clean-up\nError, failed to open 'again' for writing.\n"));
}

TEST(FailureCleanupDeathTest, AnAbortRunsNothing) {
  EXPECT_EXIT((platform::set_failure_cleanup(mark_cleanup), platform::abort_on_overflow()), aborted(), Eq(""));
  EXPECT_EXIT((platform::set_failure_cleanup(mark_cleanup), platform::fail_path_template_expansion(u"{TEMP}")), aborted(),
              Eq("Error, couldn't runtime expand spec '{TEMP}'.\n"));
}

}  // namespace
