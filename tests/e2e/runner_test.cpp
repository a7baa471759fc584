// Packed programs: the stock runner starts the program from the unpack directory with the packed
// arguments and then the user's, passes its exit code on, and ends it when the run ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "command_line/command_line.h"
#include "launcher/launcher.h"
#include "os/win32/windows_api.h"

// After windows.h, which it needs.
#include <tlhelp32.h>

namespace e2e {
namespace {

using testing::ElementsAreArray;
using testing::IsEmpty;
using testing::StartsWith;

// launcher_console_program packs app.exe with these before the user's arguments: a command of
// the test application that changes nothing it reports.
const std::vector<std::wstring> packed_arguments = {L"setenv", L"PACKED", L"two \"quoted\" words"};

// The arguments as a command line tail that splits back into them.
std::wstring command_tail(const std::vector<std::wstring>& arguments) {
  std::vector<char16_t> buffer(launcher::command_line_capacity);
  command_line::Line line{buffer.data(), buffer.size()};
  for (const std::wstring& argument : arguments) {
    if (line.length > 0) line.put(u' ');
    command_line::append_argument(line, reinterpret_cast<const char16_t*>(argument.c_str()));
  }
  return std::wstring(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(line.length));
}

DWORD parent_of(DWORD process_id) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == process_id) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

bool ends_within(HANDLE process, DWORD milliseconds) { return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0; }

using Runner = LauncherTest;

TEST_F(Runner, GivesTheProgramThePackedArgumentsThenTheUsersUnchanged) {
  const std::vector<std::wstring> cases[] = {
      {},
      {L"echo"},
      {L"echo", L"two words", L"", L"quote\"inside", L"back\\slash\\", L"\\\\server\\share\\", L"tab\there",
       L"\x00FCnic\x00F6" L"de \x2713", L"setenv"},
  };
  for (const std::vector<std::wstring>& user : cases) {
    const Outcome run = this->run({built(L"launcher_console_program"), command_tail(user)});
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
    const Report& program = run.reports[0];
    std::vector<std::wstring> expected{program["library"]};
    expected.insert(expected.end(), packed_arguments.begin(), packed_arguments.end());
    expected.insert(expected.end(), user.begin(), user.end());
    EXPECT_THAT(program.arguments(), ElementsAreArray(expected)) << narrow(command_tail(user));
    EXPECT_THAT(program["library"], StartsWith(temporary_ + L"\\onefile_")) << "started from the unpack directory";
    EXPECT_EQ(program["library"], program.directory() + L"\\app.exe");
  }
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(Runner, GivesTheProgramTheChildsEnvironmentDirectoryAndFiles) {
  const std::wstring work = temporary_ + L"\\work";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  const Outcome run = this->run({.program = built(L"launcher_console_program"),
                                 .arguments = L"exists data.txt exists sub\\deeper\\data.txt",
                                 .first_word = L"tool",
                                 .directory = work});
  EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  const Report& program = run.reports[0];
  EXPECT_EQ(program["exists data.txt"], L"yes");
  EXPECT_EQ(program["exists sub\\deeper\\data.txt"], L"yes");
  EXPECT_EQ(program["cwd"], work);
  EXPECT_EQ(program["env ZAMRIK_ONEFILE_PARENT"], std::to_wstring(run.process_id));
  EXPECT_EQ(program["env ZAMRIK_ORIGINAL_ARGV0"], L"tool");
  EXPECT_EQ(program["env ZAMRIK_ONEFILE_DIRECTORY"], short_path(here()));
  EXPECT_FALSE(program["env ZAMRIK_ONEFILE_TIME_US"].empty());
  EXPECT_FALSE(program["env ZAMRIK_ONEFILE_RANDOM"].empty());
  EXPECT_TRUE(program.directory().ends_with(L"_" + program["env ZAMRIK_ONEFILE_TIME_US"] + L"_" +
                                            program["env ZAMRIK_ONEFILE_RANDOM"]));
  EXPECT_FALSE(program.has("env ZAMRIK_ONEFILE_START"));
}

TEST_F(Runner, PassesTheProgramsExitCodeOnWithAll32Bits) {
  struct Case {
    std::wstring program;
    std::wstring arguments;
    std::uint32_t exit_code;
  };
  const Case cases[] = {
      {L"launcher_console_program", L"exit 7", 7},
      {L"launcher_console_program", L"exit 0xC0000005", 0xC0000005},
      {L"launcher_console_program", L"exit 4294967295", 0xFFFFFFFF},
      {L"launcher_console_program", L"crash", 0xC0000005},
      {L"launcher_graphical_program", L"exit 3", 3},
      {L"launcher_graphical_program", L"exit 0x80000001", 0x80000001},
  };
  for (const Case& c : cases) {
    const Outcome run = this->run({built(c.program), c.arguments});
    EXPECT_EQ(run.exit_code, c.exit_code) << narrow(c.program + L" " + c.arguments) << "\n" << run.out << run.err;
    ASSERT_EQ(run.reports.size(), 1u) << narrow(c.program + L" " + c.arguments) << "\n" << run.out << run.err;
    EXPECT_THAT(temporary_entries(), IsEmpty());
  }
}

TEST_F(Runner, RunsAProgramOfWinesOwn) {
  if (!exists(built(L"launcher_wine_cmd"))) GTEST_SKIP() << "this Wine has no x86-64 cmd.exe to pack";
  const Outcome seven = this->run({built(L"launcher_wine_cmd"), L"exit 7"});
  EXPECT_EQ(seven.exit_code, 7u) << seven.out << seven.err;
  const Outcome echo = this->run({built(L"launcher_wine_cmd"), L"echo packed cmd"});
  EXPECT_EQ(echo.exit_code, 0u) << echo.err;
  EXPECT_THAT(echo.out, testing::HasSubstr("packed cmd"));
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(Runner, RefusesARecordWhoseProgramLiesOutsideTheUnpackDirectory) {
  // The record names ..\escaped.exe: this program, in the folder of the unpack directory, would
  // report at once if it were started.
  const std::wstring escaped = temporary_ + L"\\escaped.exe";
  ASSERT_TRUE(CopyFileW(built(L"plain_program").c_str(), escaped.c_str(), TRUE));
  const std::wstring copy = temporary_ + L"\\bin\\escaping.exe";
  ASSERT_TRUE(CreateDirectoryW((temporary_ + L"\\bin").c_str(), nullptr));
  copy_with_changed_data(built(L"launcher_escaping_runner"), copy,
                         [](std::span<std::uint8_t> data) { rename_entry(data, 1, L"zamrik-runner.run"); });
  const Outcome run = this->run({copy, L"exit 7"});
  EXPECT_EQ(run.exit_code, 2u) << run.out << run.err;
  EXPECT_EQ(run.out, "Error, the program to run lies outside the unpack directory.\r\n");
  EXPECT_THAT(run.reports, IsEmpty()) << "the program outside was started";
  EXPECT_THAT(temporary_entries(), testing::UnorderedElementsAre(L"escaped.exe", L"bin"));
}

TEST_F(Runner, ALineOverTheLimitFailsToStartAndNeverReachesTheProgramCut) {
  // The longest user argument that the launcher's own line for its child still holds: the
  // runner's line puts a longer program path and the packed arguments before it.
  const std::wstring launcher = built(L"launcher_console_program");
  const std::size_t room = command_line::longest_line - quoted(launcher).size() - 1;
  const std::wstring argument(room, L'x');
  const Outcome run = this->run({launcher, L"echo " + argument.substr(5)});
  EXPECT_EQ(run.exit_code, 2u) << run.out.substr(0, 300) << run.err.substr(0, 300);
  EXPECT_THAT(run.err, StartsWith("Error, couldn't start the packed program ([Error 206] "));
  EXPECT_THAT(run.reports, IsEmpty()) << "the program started with its line cut short";
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(Runner, EndsTheProgramWhenTheRunnerEnds) {
  const std::unique_ptr<Running> parent = start({built(L"launcher_console_program"), L"sleep 60000"});
  ASSERT_NE(parent, nullptr);
  ASSERT_TRUE(parent->wait_for_line("env ZAMRIK_ORIGINAL_ARGV0")) << parent->output_so_far();
  const DWORD program_id = std::stoul(reports_in(parent->output_so_far())[0]["pid"]);
  HANDLE program = watch(program_id);
  HANDLE runner = watch(parent_of(program_id));
  ASSERT_TRUE(TerminateProcess(runner, 9));
  EXPECT_TRUE(ends_within(program, 1000)) << "the program outlived its runner";
  const Outcome run = parent->finish();
  EXPECT_EQ(run.exit_code, 9u) << "the runner's code, passed on";
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(Runner, AParentEndedFromOutsideLeavesNoProcessOfTheRunButWhatTheProgramStarted) {
  const std::unique_ptr<Running> parent =
      start({built(L"launcher_console_program"), L"start " + quoted(this_program()) + L" \"--sleep 30000\" sleep 60000"});
  ASSERT_NE(parent, nullptr);
  ASSERT_TRUE(parent->wait_for_line("started=")) << parent->output_so_far();
  const Report report = reports_in(parent->output_so_far())[0];
  const DWORD program_id = std::stoul(report["pid"]);
  HANDLE program = watch(program_id);
  HANDLE runner = watch(parent_of(program_id));
  HANDLE detached = watch(std::stoul(report["started"]));

  ASSERT_TRUE(TerminateProcess(parent->handle(), 1));
  EXPECT_TRUE(ends_within(parent->handle(), 1000));
  EXPECT_TRUE(ends_within(runner, 1000)) << "the child outlived its parent";
  EXPECT_TRUE(ends_within(program, 1000)) << "the program outlived its runner";
  EXPECT_FALSE(ends_within(detached, 1000)) << "what the program started on its own must go on";
}

}  // namespace
}  // namespace e2e
