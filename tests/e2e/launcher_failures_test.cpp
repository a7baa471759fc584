// Failures of the hand-off end the child and then the parent with status 2, and the parent
// still removes its directory; a directory it cannot remove is given up after 20 attempts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace e2e {
namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

class LauncherFailures : public LauncherTest {};

TEST_F(LauncherFailures, NothingToCallEndsBothWithStatus2AndAMessage) {
  struct Case {
    std::wstring launcher;
    std::string out;
  };
  const Case cases[] = {
      {L"launcher_no_entry", "Error, DLL entry point not found.\r\n"},             // no ordinal-1 export
      {L"launcher_empty_table", "Error, attached data holds no main library.\r\n"},  // no entry at all
  };
  for (const Case& c : cases) {
    const Outcome run = this->run({built(c.launcher), L"a b"});
    EXPECT_EQ(run.exit_code, 2u) << narrow(c.launcher);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_THAT(temporary_entries(), IsEmpty()) << narrow(c.launcher);
  }
}

TEST_F(LauncherFailures, ADirectoryThatIsGoneWhenTheChildLoadsEndsBothWithStatus2) {
  // The launcher started from inside is a child of the same run, but the run-identity value
  // it reads now names a directory that does not exist.
  const Outcome run = this->run(
      {built(L"launcher_basic"), L"setenv ZAMRIK_ONEFILE_RANDOM vanished run " + quoted(built(L"launcher_basic")) + L" echo"});
  EXPECT_EQ(run.exit_code, 2u);
  ASSERT_EQ(run.reports.size(), 1u) << run.out;
  EXPECT_EQ(run.reports[0]["return"], L"2");
  EXPECT_THAT(run.err, StartsWith("Error, load DLL. ([Error 126] "));
  EXPECT_THAT(run.err, testing::EndsWith(")\r\n"));
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(LauncherFailures, AFileHeldOpenKeepsTheDirectoryAfterTwentyAttempts) {
  // The file stays open in a process of its own for 4 s after the application has ended.
  const Outcome run = this->run({built(L"launcher_basic"), L"hold lock.txt " + quoted(this_program()) + L" 4000 exit 5"});
  EXPECT_EQ(run.exit_code, 5u) << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  const Report& app = run.reports[0];
  EXPECT_EQ(app["hold"], L"ok");
  const std::uint64_t application_ended = std::stoull(app["time"]);
  EXPECT_GE(run.exit_time, application_ended + 2000 * 10000) << "20 pauses of 100 ms";
  EXPECT_TRUE(exists(app.directory() + L"\\lock.txt"));
}

}  // namespace
}  // namespace e2e
