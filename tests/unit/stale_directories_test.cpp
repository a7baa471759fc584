#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "launcher/launcher.h"
#include "os/os.h"
#include "path_template/expand_path_template.h"
#include "platform/remove_tree.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "os/win32/windows_api.h"
#else
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;
using test_support::launcher_path;
using test_support::narrow;
using test_support::TestDirectory;
using test_support::write_file;
using testing::UnorderedElementsAre;

// No process runs under this id: Linux stops far below it, and Windows hands out small ones.
constexpr std::uint32_t unused_process_id = 2147483632;
constexpr std::int64_t second = 10'000'000;  // in the system time's 100 ns units
constexpr std::int64_t minute = 60 * second;

std::string stale_name(std::uint32_t owner, const std::string& rest = "123456_AbC-_09xyzQ") {
  return "onefile_" + std::to_string(owner) + "_" + rest;
}

TEST(BuiltinUnpackDirectoryOwner, ReadsTheIdOnlyFromNamesTheBuiltInSpecGives) {
  struct Case {
    std::u16string_view name;
    std::optional<std::uint32_t> owner;
  };
  const Case cases[] = {
      {u"onefile_1234_004711_AbCdEfGhIjk", 1234},
      {u"onefile_0_999999_-----------", 0},
      {u"onefile_4294967295_000000____________", 4294967295u},  // {RANDOM} may be all "_"
      {u"onefile_12_345678_a_b_c_d_e_f", 12},
      {u"onefile_4294967296_000000_AAAAAAAAAAA", std::nullopt},  // beyond 32 bits
      {u"onefile_01_000000_AAAAAAAAAAA", std::nullopt},           // a leading zero
      {u"onefile__000000_AAAAAAAAAAA", std::nullopt},             // no id
      {u"onefile_-1_000000_AAAAAAAAAAA", std::nullopt},
      {u"onefile_12_00000_AAAAAAAAAAAA", std::nullopt},           // five digits of time
      {u"onefile_12_0000000_AAAAAAAAAA", std::nullopt},           // seven digits, ten random
      {u"onefile_12_000000_AAAAAAAAAA", std::nullopt},            // ten random
      {u"onefile_12_000000_AAAAAAAAAAAA", std::nullopt},          // twelve random
      {u"onefile_12_000000_AAAAAAAAA=A", std::nullopt},
      {u"onefile_12_00000a_AAAAAAAAAAA", std::nullopt},
      {u"onefile_12_000000-AAAAAAAAAAA", std::nullopt},
      {u"OneFile_12_000000_AAAAAAAAAAA", std::nullopt},
      {u"xonefile_12_000000_AAAAAAAAAAA", std::nullopt},
      {u"onefile_12_000000_AAAAAAAAAAA.tmp", std::nullopt},
      {u"onefile_", std::nullopt},
      {u"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(path_template::builtin_unpack_directory_owner(c.name), c.owner) << narrow(c.name);
  }
}

TEST(BuiltinUnpackDirectoryOwner, KnowsTheNameThatTheBuiltInSpecExpandsTo) {
  char16_t expanded[payload::path_capacity];
  ASSERT_TRUE(path_template::expand_path_template(expanded, path_template::builtin_unpack_template, payload::path_capacity));
  const std::u16string path = expanded;
  const std::u16string name = path.substr(path.rfind(u'\\') + 1);
  EXPECT_EQ(path_template::builtin_unpack_directory_owner(name), os::current_process_id()) << narrow(name);
}

TEST(OwnerIsGone, WhenNoProcessRunsUnderTheIdOrTheOneThatDoesCameLater) {
  using Status = os::ProcessStatus;
  struct Case {
    Status status;
    std::int64_t process_start;
    bool gone;
  };
  const std::int64_t created = 133'000'000'000'000'000;
  const Case cases[] = {
      {Status::none, 0, true},
      {Status::running, created - minute, false},          // the owner: it started first
      {Status::running, created, false},
      {Status::running, created + 5 * minute, false},      // within what two clocks may differ
      {Status::running, created + 5 * minute + 1, true},   // the id went to a later process
      {Status::unknown, created + 60 * minute, false},     // the system will not say
      {Status::running, INT64_MAX, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(launcher::owner_is_gone(c.status, c.process_start, created), c.gone)
        << static_cast<int>(c.status) << " " << c.process_start - created;
  }
}

// The helper processes below are cmd.exe without a console (DETACHED_PROCESS): under Wine a console
// program ended before it attaches to a console made for it leaves that console's host running,
// and the host holds this test's output pipe, so the test runner waits for it until its timeout.

// A process that has ended and whose id is still held (a handle on Windows; on POSIX, not yet
// reaped).
class EndedProcess {
 public:
  EndedProcess() {
#ifdef _WIN32
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\cmd.exe";
    std::wstring line = L"cmd /c exit 3";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                        &process)) {
      ADD_FAILURE() << "cannot start cmd: " << GetLastError();
      return;
    }
    CloseHandle(process.hThread);
    handle_ = process.hProcess;
    id_ = process.dwProcessId;
    WaitForSingleObject(handle_, INFINITE);
#else
    char program[] = "/bin/true";
    char* arguments[] = {program, nullptr};
    pid_t child = 0;
    EXPECT_EQ(posix_spawn(&child, program, nullptr, nullptr, arguments, environ), 0);
    siginfo_t info{};
    EXPECT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    id_ = static_cast<std::uint32_t>(child);
#endif
  }
  ~EndedProcess() {
#ifdef _WIN32
    if (handle_ != nullptr) CloseHandle(handle_);
#else
    waitpid(static_cast<pid_t>(id_), nullptr, 0);
#endif
  }
  std::uint32_t id() const { return id_; }

 private:
  std::uint32_t id_ = 0;
#ifdef _WIN32
  HANDLE handle_ = nullptr;
#endif
};

// A process that runs until the object goes: on Windows cmd.exe waiting for a line that never
// comes, on POSIX sleep. (A process made suspended may not yet tell its start under Wine.)
class RunningProcess {
 public:
  RunningProcess() {
#ifdef _WIN32
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\cmd.exe";
    std::wstring line = L"cmd /q /c set /p line=";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    if (!CreatePipe(&read_end, &write_end_, &inherited, 0)) {
      ADD_FAILURE() << "cannot make a pipe: " << GetLastError();
      return;
    }
    SetHandleInformation(write_end_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(read_end);
    if (!started) {
      ADD_FAILURE() << "cannot start cmd: " << GetLastError();
      return;
    }
    CloseHandle(process.hThread);
    handle_ = process.hProcess;
    id_ = process.dwProcessId;
    std::int64_t start = 0;
    for (int i = 0; i < 100 && os::process_status(id_, &start) != os::ProcessStatus::running; ++i) Sleep(50);
#else
    char program[] = "/bin/sleep";
    char seconds[] = "600";
    char* arguments[] = {program, seconds, nullptr};
    pid_t child = 0;
    EXPECT_EQ(posix_spawn(&child, program, nullptr, nullptr, arguments, environ), 0);
    id_ = static_cast<std::uint32_t>(child);
#endif
  }
  ~RunningProcess() {
#ifdef _WIN32
    if (handle_ == nullptr) return;
    TerminateProcess(handle_, 1);
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    CloseHandle(write_end_);
#else
    if (id_ == 0) return;
    kill(static_cast<pid_t>(id_), SIGKILL);
    waitpid(static_cast<pid_t>(id_), nullptr, 0);
#endif
  }
  std::uint32_t id() const { return id_; }

 private:
  std::uint32_t id_ = 0;
#ifdef _WIN32
  HANDLE handle_ = nullptr;
  HANDLE write_end_ = nullptr;
#endif
};

TEST(ProcessStatus, TellsARunningProcessAndItsStartFromOneThatIsGone) {
  std::int64_t start = 0;
  EXPECT_EQ(os::process_status(os::current_process_id(), &start), os::ProcessStatus::running);
  const std::int64_t now = os::system_time_as_file_time();
  EXPECT_LE(start, now);
  EXPECT_GT(start, now - 24 * 60 * minute) << "this test process started today";

  EXPECT_EQ(os::process_status(unused_process_id, &start), os::ProcessStatus::none);
  const EndedProcess ended;
  EXPECT_EQ(os::process_status(ended.id(), &start), os::ProcessStatus::none);
}

// A process that this one may not open (another user's, or a protected one) is no proof that
// the run is over.
TEST(ProcessStatus, OfAProcessThatMayNotBeOpenedIsUnknown) {
#ifdef _WIN32
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring program = std::wstring(system) + L"\\cmd.exe";
  std::wstring line = L"cmd /c exit 3";
  // An empty access list: nobody may open the process, its owner included.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL empty;
  InitializeAcl(&empty, sizeof empty, ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
  SECURITY_ATTRIBUTES closed{sizeof closed, &descriptor, FALSE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), line.data(), &closed, nullptr, FALSE, DETACHED_PROCESS | CREATE_SUSPENDED, nullptr,
                             nullptr, &startup, &process))
      << GetLastError();
  HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process.dwProcessId);
  const DWORD error = GetLastError();
  std::int64_t start = 0;
  const os::ProcessStatus status = os::process_status(process.dwProcessId, &start);
  TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (opened != nullptr) {
    CloseHandle(opened);
    GTEST_SKIP() << "this system opens a process whatever its access list says";
  }
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(status, os::ProcessStatus::unknown);
#else
  GTEST_SKIP() << "/proc tells every process's start to everyone here";
#endif
}

TEST(CreationTime, OfANewDirectoryIsAboutNow) {
  TestDirectory scratch;
  const std::int64_t before = os::system_time_as_file_time();
  fs::create_directory(scratch.path() / "new");
  const std::int64_t after = os::system_time_as_file_time();
  std::int64_t created = 0;
  ASSERT_TRUE(os::creation_time(scratch.launcher("new").c_str(), &created));
  // File systems keep times more coarsely than the clock reads them.
  EXPECT_GE(created, before - 2 * second);
  EXPECT_LE(created, after + 2 * second);
  EXPECT_FALSE(os::creation_time(scratch.launcher("missing").c_str(), &created));
}

// Makes the directory look an hour old, where the system lets its creation time be set.
bool backdate(const fs::path& directory) {
#ifdef _WIN32
  HANDLE handle = CreateFileW(directory.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::uint64_t old = static_cast<std::uint64_t>(os::system_time_as_file_time() - 60 * minute);
  const FILETIME time{static_cast<DWORD>(old), static_cast<DWORD>(old >> 32)};
  // Wine keeps no creation time and reports the last write instead, so both move.
  const bool set = SetFileTime(handle, &time, nullptr, &time) != 0;
  CloseHandle(handle);
  std::int64_t created = 0;
  return set && os::creation_time(launcher_path(directory).c_str(), &created) &&
         created < os::system_time_as_file_time() - 30 * minute;
#else
  (void)directory;
  return false;  // neither a birth time nor a status change time can be set
#endif
}

std::vector<std::string> names_in(const fs::path& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  return names;
}

class Sweep : public testing::Test {
 protected:
  void sweep(const char16_t* own_name = u"onefile_1_000000_AAAAAAAAAAA", const platform::RemovalLimits& limits = {}) {
    launcher::sweep_stale_directories(scratch_.launcher().c_str(), own_name, limits);
  }
  fs::path make_run_directory(const std::string& name) {
    write_file(scratch_.path() / name / "main.dll", "library");
    write_file(scratch_.path() / name / "data" / "deeper" / "file.txt", "data");
    return scratch_.path() / name;
  }

  TestDirectory scratch_;
};

TEST_F(Sweep, RemovesTheDirectoriesOfRunsThatAreOverAndLeavesEverythingElse) {
  const EndedProcess ended;
  const RunningProcess running;
  const std::string own = stale_name(unused_process_id, "999999_OwnDirector");
  make_run_directory(stale_name(unused_process_id));
  make_run_directory(stale_name(ended.id()));
  make_run_directory(stale_name(running.id()));  // a run that still goes on
  make_run_directory(own);
  make_run_directory("onefile_" + std::to_string(unused_process_id) + "_12345_AAAAAAAAAAA");
  make_run_directory("e2e_" + std::to_string(unused_process_id));
  write_file(scratch_.path() / stale_name(unused_process_id, "000000_AAAAAAAAAAA"), "a file of that name");
  // Made under this process's id, but not by it: this process made no directory but its own
  // (Wine hands the same id out again after its server restarts).
  make_run_directory(stale_name(os::current_process_id()));

  for (const std::string& name : names_in(scratch_.path())) {
    if (name.rfind("onefile_", 0) == 0 && name.find("_12345_") == std::string::npos) {
      ASSERT_TRUE(path_template::builtin_unpack_directory_owner(std::u16string(name.begin(), name.end()))) << name;
    }
  }
  const std::u16string own_name(own.begin(), own.end());
  sweep(own_name.c_str());
  EXPECT_THAT(names_in(scratch_.path()),
              UnorderedElementsAre(stale_name(running.id()), own,
                                   "onefile_" + std::to_string(unused_process_id) + "_12345_AAAAAAAAAAA",
                                   "e2e_" + std::to_string(unused_process_id), stale_name(unused_process_id, "000000_AAAAAAAAAAA")));
  EXPECT_EQ(test_support::read_file(scratch_.path() / stale_name(running.id()) / "data" / "deeper" / "file.txt"), "data");
}

TEST_F(Sweep, KeepsTheDirectoryOfAChildOutsideAnyJobWhileThatChildRuns) {
  const RunningProcess running;
  const EndedProcess ended;
  struct Case {
    std::string mark;  // what the directory's mark holds
    bool kept;
  };
  const Case cases[] = {
      {std::to_string(running.id()), true},
      {std::to_string(ended.id()), false},
      {std::to_string(unused_process_id), false},
      {"12x", true},  // cut off while it was written: its child may run
  };
  for (const Case& c : cases) {
    const fs::path directory = make_run_directory(stale_name(unused_process_id));
    write_file(directory / "zamrik-child.id", c.mark);
    sweep();
    EXPECT_EQ(fs::exists(directory / "main.dll"), c.kept) << c.mark;
    fs::remove_all(directory);
  }
}

TEST_F(Sweep, LeavesADirectoryThatAnotherUserOwns) {
  const fs::path directory = make_run_directory(stale_name(unused_process_id));
#ifdef _WIN32
  // S-1-5-18, the system's own account. Wine keeps a descriptor that it is given.
  PSID system = nullptr;
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  ASSERT_TRUE(AllocateAndInitializeSid(&authority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&descriptor, system, FALSE);
  const bool changed = SetFileSecurityW(directory.c_str(), OWNER_SECURITY_INFORMATION, &descriptor) != 0;
  // Read back through a handle, as the sweep reads it: Wine takes a new owner and keeps none.
  alignas(8) unsigned char kept[1024];
  DWORD size = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  HANDLE handle = CreateFileW(directory.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool kept_owner = changed && handle != INVALID_HANDLE_VALUE &&
                          GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, kept, sizeof kept, &size) &&
                          GetSecurityDescriptorOwner(kept, &owner, &defaulted) && owner != nullptr && EqualSid(owner, system);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  FreeSid(system);
  if (!kept_owner) GTEST_SKIP() << "this system keeps no other owner for a directory (the native run shows the rule)";
#else
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
  ASSERT_EQ(chown(directory.c_str(), 65534, 65534), 0);  // nobody
#endif
  sweep();
  EXPECT_TRUE(fs::exists(directory / "main.dll")) << "another user's directory was removed";
}

TEST_F(Sweep, LeavesALinkOfTheNameAndWhatItLeadsTo) {
  const fs::path outside = make_run_directory("outside");
  const fs::path link = scratch_.path() / stale_name(unused_process_id);
  std::error_code error;
  fs::create_directory_symlink(outside, link, error);
  if (os::file_kind(launcher_path(link).c_str()) != os::FileKind::directory_link) {
    GTEST_SKIP() << "this system made no directory link (Wine reports success without creating one); the removal "
                    "seams show the rule there";
  }
  sweep();
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(test_support::read_file(outside / "data" / "deeper" / "file.txt"), "data");
}

TEST_F(Sweep, RemovesADirectoryWhoseIdWentToAProcessThatStartedLater) {
  const RunningProcess running;
  const fs::path directory = make_run_directory(stale_name(running.id()));
  if (!backdate(directory)) GTEST_SKIP() << "the directory's creation time cannot be set here";
  sweep();
  EXPECT_FALSE(fs::exists(directory));
}

TEST_F(Sweep, RemovesALinkInAStaleDirectoryAsALinkAndLeavesItsTarget) {
  const fs::path outside = scratch_.path() / "outside";
  write_file(outside / "keep" / "kept.txt", "kept");
  const fs::path directory = make_run_directory(stale_name(unused_process_id));
  std::error_code error;
  fs::create_directory_symlink(outside, directory / "data" / "link", error);
  if (os::file_kind(launcher_path(directory / "data" / "link").c_str()) != os::FileKind::directory_link) {
    GTEST_SKIP() << "this system made no directory link (Wine reports success without creating one); the POSIX "
                    "backend shows the behaviour";
  }
  sweep();
  EXPECT_FALSE(fs::exists(directory));
  EXPECT_EQ(test_support::read_file(outside / "keep" / "kept.txt"), "kept");
}

TEST_F(Sweep, StopsWhenAskedOrOutOfTime) {
  const fs::path directory = make_run_directory(stale_name(unused_process_id));
  const std::atomic<bool> stopped{true};
  sweep(u"", {&stopped});
  EXPECT_TRUE(fs::exists(directory / "main.dll"));
  sweep(u"", {nullptr, os::monotonic_milliseconds() - 1});
  EXPECT_TRUE(fs::exists(directory / "main.dll"));
  sweep(u"", {nullptr, os::monotonic_milliseconds() + 60000});
  EXPECT_FALSE(fs::exists(directory));
}

TEST(StaleSweep, RunsOnItsOwnThreadInTheFolderOfTheUnpackDirectory) {
  TestDirectory scratch;
  write_file(scratch.path() / stale_name(unused_process_id) / "main.dll", "library");
  const auto state = std::make_unique<launcher::RunState>();
  const std::u16string own = scratch.launcher(stale_name(os::current_process_id()));
  std::copy(own.begin(), own.end() + 1, state->unpack_directory);

  launcher::start_stale_sweep(*state);
  launcher::end_stale_sweep(*state, false);
  EXPECT_FALSE(state->sweep_running.load());
  EXPECT_FALSE(fs::exists(scratch.path() / stale_name(unused_process_id)));
}

TEST(StaleSweep, IsWaitedForAFewSecondsAtMost) {
  const auto state = std::make_unique<launcher::RunState>();
  // A sweep held up in a system call that does not come back.
  state->sweep_running.store(true);
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    launcher::end_stale_sweep(*state, true);
    returned.store(true);
  });
  for (int i = 0; i < 300 && !returned.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(returned.load()) << "the wait for the sweep has no end";
  EXPECT_TRUE(state->sweep_stop.load());
  state->sweep_running.store(false);  // lets a waiter without a limit go after all
  waiter.join();
}

}  // namespace
