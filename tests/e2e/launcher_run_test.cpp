// A full run: the parent unpacks, the child runs the application with the parent's arguments
// and the protocol variables, the parent passes the exit code on and removes the directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwctype>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class LauncherRun : public LauncherTest {};

TEST_F(LauncherRun, PassesOnTheApplicationsExitCodeAndRemovesTheDirectory) {
  struct Case {
    std::wstring arguments;
    std::uint32_t exit_code;
  };
  const Case cases[] = {
      {L"", 0},
      {L"exit 7", 7},
      {L"exit 0xC0000005", 0xC0000005},
      {L"exit 4294967295", 0xFFFFFFFF},
      {L"crash", 0xC0000005},  // the child dies of an access violation
  };
  for (const Case& c : cases) {
    const Outcome run = this->run({built(L"launcher_basic"), c.arguments});
    EXPECT_EQ(run.exit_code, c.exit_code) << narrow(c.arguments);
    ASSERT_EQ(run.reports.size(), 1u) << narrow(c.arguments) << "\n" << run.out << run.err;
    EXPECT_NE(run.reports[0]["pid"], std::to_wstring(run.process_id)) << "the application runs in the child";
    EXPECT_THAT(temporary_entries(), IsEmpty()) << narrow(c.arguments);
  }
}

bool all_of(const std::wstring& text, const std::wstring& alphabet) {
  return text.find_first_not_of(alphabet) == std::wstring::npos;
}

TEST_F(LauncherRun, GivesTheApplicationItsFilesAndTheSixVariables) {
  const std::wstring work = temporary_ + L"\\work";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  const Outcome run = this->run({.program = built(L"launcher_basic"),
                             .arguments = L"exists data.txt exists sub\\deeper\\data.txt",
                             .first_word = L"tool",
                             .directory = work});
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  const Report& app = run.reports[0];

  EXPECT_EQ(app["exists data.txt"], L"yes");
  EXPECT_EQ(app["exists sub\\deeper\\data.txt"], L"yes");

  const std::wstring time_us = app["env ZAMRIK_ONEFILE_TIME_US"];
  const std::wstring random = app["env ZAMRIK_ONEFILE_RANDOM"];
  EXPECT_EQ(app["env ZAMRIK_ONEFILE_PARENT"], std::to_wstring(run.process_id));
  EXPECT_FALSE(app.has("env ZAMRIK_ONEFILE_START"));
  EXPECT_FALSE(app.has("env ZAMRIK_ONEFILE_CHILD")) << "the child's marker reaches nothing the application starts";
  EXPECT_EQ(time_us.size(), 6u);
  EXPECT_TRUE(all_of(time_us, L"0123456789")) << narrow(time_us);
  ASSERT_EQ(random.size(), 11u);
  EXPECT_TRUE(all_of(random, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")) << narrow(random);
  EXPECT_TRUE(all_of(random.substr(10), L"AEIMQUYcgkosw048")) << narrow(random);
  EXPECT_EQ(app.directory(), temporary_ + L"\\onefile_" + std::to_wstring(run.process_id) + L"_" + time_us + L"_" + random);
  EXPECT_EQ(app["library"], app.directory() + L"\\main.dll");

  // The launcher's directory in its plain form (directories shortened); the first argument as
  // the parent got it, while the child's own first argument is the module file name.
  EXPECT_EQ(app["env ZAMRIK_ONEFILE_DIRECTORY"], short_path(here()));
  EXPECT_EQ(app["env ZAMRIK_ORIGINAL_ARGV0"], L"tool");
  EXPECT_EQ(app["argv[0]"], built(L"launcher_basic"));
  EXPECT_EQ(app["module"], built(L"launcher_basic"));
  EXPECT_EQ(app["cwd"], work);
  EXPECT_THAT(temporary_entries(), ElementsAre(L"work"));
}

class LauncherArguments : public LauncherTest {
 protected:
  std::vector<std::wstring> received(const Start& start) {
    const Outcome run = this->run(start);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    if (run.reports.size() != 1) {
      ADD_FAILURE() << run.out << run.err;
      return {};
    }
    std::vector<std::wstring> arguments = run.reports[0].arguments();
    arguments.erase(arguments.begin());
    return arguments;
  }
};

TEST_F(LauncherArguments, ReachTheApplicationAsTheUserTypedThem) {
  struct Case {
    std::wstring typed;
    std::vector<std::wstring> received;
  };
  const Case cases[] = {
      {LR"(echo "a b" c)", {L"echo", L"a b", L"c"}},
      {LR"(echo a\"b)", {L"echo", L"a\"b"}},
      {LR"(echo "a b\\")", {L"echo", L"a b\\"}},      // a backslash at the end
      {LR"(echo "\\\" x")", {L"echo", L"\\\" x"}},    // a backslash before a quote
      {LR"(echo a\\\\"b c")", {L"echo", L"a\\\\b c"}},  // a run of backslashes before a quote
      {LR"(echo c:\dir\ "x\y z" \\server\share)", {L"echo", L"c:\\dir\\", L"x\\y z", L"\\\\server\\share"}},
      {LR"(echo "" a "" "")", {L"echo", L"", L"a", L"", L""}},  // empty arguments survive
      {L"echo \"a\rb\" c\rd", {L"echo", L"a\rb", L"c\rd"}},
      {L"echo \"line\nfeed\" \"tab\there\" \"v\vt\"", {L"echo", L"line\nfeed", L"tab\there", L"v\vt"}},
      {L"echo \u00e9t\u00e9 \"\u65e5 \u672c\"", {L"echo", L"\u00e9t\u00e9", L"\u65e5 \u672c"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(received({built(L"launcher_basic"), c.typed}), c.received) << narrow(c.typed);
  }
}

// The packed application's arguments equal those of the same program started directly with the
// same raw line. Windows' run-time leaves a quoted wildcard as it is and the launcher then quotes
// it for the child; Wine's msvcrt expands a wildcard even inside double quotes, so under Wine both
// programs get the expansion. The Windows rule itself is shown by the unit test of the child's
// line (CarriesTheRunTimesArgumentsAndQuotesEveryWildcard).
TEST_F(LauncherArguments, WildcardsReachTheApplicationAsInAPlainProgram) {
  const std::wstring work = temporary_ + L"\\work";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.dat", L"c1d", L"ab"}) write_small_file(work + L"\\" + name);
  const std::wstring lines[] = {
      LR"(echo "*.txt")",
      LR"(echo *.txt)",
      LR"(echo *.none)",
      LR"(echo "a*b" c?d)",
      LR"(echo "x *.txt y" "two words")",
      LR"(echo plain "two words" "")",
  };
  for (const std::wstring& line : lines) {
    const std::vector<std::wstring> plain = received({.program = built(L"plain_program"), .arguments = line, .directory = work});
    EXPECT_EQ(received({.program = built(L"launcher_basic"), .arguments = line, .directory = work}), plain) << narrow(line);
    EXPECT_FALSE(plain.empty()) << narrow(line);
  }
}

TEST_F(LauncherArguments, TheChildsLineHoldsUpTo32766CharactersAndALongerOneIsAFailedLaunch) {
  // The child's line: the module file name, a blank, "echo", a blank, the long argument.
  const std::wstring module = built(L"launcher_basic");
  ASSERT_EQ(module.find(L' '), std::wstring::npos);
  const std::size_t longest = 32766 - module.size() - 6;
  const auto typed = [](std::size_t length) { return L"echo " + std::wstring(length, L'x'); };

  const Outcome used = run({.program = module, .arguments = typed(longest), .first_word = L"x"});
  EXPECT_EQ(used.exit_code, 0u) << used.err;
  ASSERT_EQ(used.reports.size(), 1u) << used.err;
  EXPECT_EQ(used.reports[0]["argv[2]"].size(), longest);
  EXPECT_THAT(temporary_entries(), IsEmpty());

  // One character more would be cut by Wine and refused by Windows: never started, reported as
  // the failed launch that it is, and the unpack directory removed.
  for (const std::size_t length : {longest + 1, longest + 2}) {
    const Outcome over = run({.program = module, .arguments = typed(length), .first_word = L"x"});
    EXPECT_EQ(over.exit_code, 2u) << over.err;
    EXPECT_TRUE(over.reports.empty()) << over.out;
    EXPECT_THAT(over.err, testing::StartsWith("Error, couldn't launch child ([Error 206] ")) << over.err;
    EXPECT_THAT(temporary_entries(), IsEmpty());
  }
}

}  // namespace
}  // namespace e2e
