// The role decision with real processes: only a running parent of the same executable makes an
// instance the child.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class LauncherRoles : public LauncherTest {};

std::uint32_t id_of_an_ended_process() {
  std::wstring command_line = quoted(this_program()) + L" --sleep 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(this_program().c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 0;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

TEST_F(LauncherRoles, AnythingButARunningParentOfTheSameExecutableGivesTheParentRole) {
  const std::wstring values[] = {
      L"",
      L"abc",
      L"12abc",
      L"99999999999",                                // beyond a 32-bit long
      L"-1",
      std::to_wstring(GetCurrentProcessId()),        // a running process of another executable
      std::to_wstring(id_of_an_ended_process()),     // a stale id
  };
  for (const std::wstring& value : values) {
    const Outcome run = this->run({.program = built(L"launcher_basic"),
                               .arguments = L"exit 3",
                               .variables = {{L"ZAMRIK_ONEFILE_PARENT", value},
                                             {L"ZAMRIK_ONEFILE_TIME_US", L"000000"},
                                             {L"ZAMRIK_ONEFILE_RANDOM", L"earlierrun"}}});
    EXPECT_EQ(run.exit_code, 3u) << narrow(value) << run.err;
    ASSERT_EQ(run.reports.size(), 1u) << narrow(value) << run.out << run.err;
    const Report& app = run.reports[0];
    EXPECT_EQ(app["env ZAMRIK_ONEFILE_PARENT"], std::to_wstring(run.process_id)) << narrow(value);
    EXPECT_NE(app["env ZAMRIK_ONEFILE_TIME_US"], L"000000") << narrow(value);
    EXPECT_NE(app["env ZAMRIK_ONEFILE_RANDOM"], L"earlierrun") << narrow(value);
    EXPECT_THAT(temporary_entries(), IsEmpty()) << narrow(value);
  }
}

TEST_F(LauncherRoles, ALauncherStartedFromInsideTheApplicationIsAChildOfTheSameRun) {
  const Outcome run = this->run({built(L"launcher_basic"),
                             L"delete data.txt run " + quoted(built(L"launcher_basic")) + L" exists data.txt exit 4"});
  EXPECT_EQ(run.exit_code, 4u) << run.err;
  ASSERT_EQ(run.reports.size(), 2u) << run.out << run.err;
  const Report& outer = run.reports[0];
  const Report& inner = run.reports[1];
  EXPECT_EQ(outer["delete data.txt"], L"ok");
  // Loaded from the same directory, which it did not unpack again.
  EXPECT_EQ(inner["library"], outer["library"]);
  EXPECT_EQ(inner["exists data.txt"], L"no");
  for (const char* name : {"ZAMRIK_ONEFILE_PARENT", "ZAMRIK_ONEFILE_START", "ZAMRIK_ONEFILE_TIME_US",
                           "ZAMRIK_ONEFILE_RANDOM", "ZAMRIK_ONEFILE_DIRECTORY", "ZAMRIK_ORIGINAL_ARGV0"}) {
    const std::string key = std::string("env ") + name;
    EXPECT_EQ(inner.has(key), outer.has(key)) << name;
    EXPECT_EQ(inner[key], outer[key]) << name;
  }
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(LauncherRoles, ACopyAtAnotherPathStartedFromInsideIsAParentOfItsOwn) {
  const std::wstring copy = temporary_ + L"\\copy.exe";
  ASSERT_TRUE(CopyFileW(built(L"launcher_basic").c_str(), copy.c_str(), TRUE));
  const Outcome run = this->run({built(L"launcher_basic"), L"run " + quoted(copy) + L" exit 6"});
  EXPECT_EQ(run.exit_code, 6u) << run.err;
  ASSERT_EQ(run.reports.size(), 2u) << run.out << run.err;
  const Report& outer = run.reports[0];
  const Report& inner = run.reports[1];
  EXPECT_NE(inner["env ZAMRIK_ONEFILE_PARENT"], outer["env ZAMRIK_ONEFILE_PARENT"]);
  EXPECT_NE(inner.directory(), outer.directory());
  EXPECT_EQ(inner["module"], copy);
  EXPECT_THAT(temporary_entries(), ElementsAre(L"copy.exe"));
}

TEST_F(LauncherRoles, AChildThatCannotRecogniseItsParentEndsWithAMessageInsteadOfStartingAnother) {
  // The parent's image cannot be read in this launcher (a seam), up to four generations deep.
  const Outcome run = this->run({built(L"launcher_blind_parent_check"), L"a b"});
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.err, "blind parent check 1\n") << "one child, which started no other";
  EXPECT_EQ(run.out, "Error, started as a child but couldn't recognise the parent.\r\n");
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

}  // namespace
}  // namespace e2e
