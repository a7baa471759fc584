// The launcher against OS calls that fail on demand: a real system fails them only in rare
// situations, so each is wrapped at link time (see CMakeLists.txt) and goes to the real call
// unless a test says otherwise. Everything else is the real backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "launcher/launcher.h"
#include "os/os.h"
#include "payload/attached_data_writer.h"
#include "payload/unpack.h"
#include "platform/diagnostics.h"
#include "support/scoped_variable.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "os/win32/windows_api.h"
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// What the wrapped calls do; every test starts from the defaults.
struct Seams {
  int closes = 0;
  int failing_close = 0;  // this close (counted from 1) closes the handle, then reports a failure
  bool fail_waits = false;  // the wait without a limit fails at once
  os::Handle unwaited = nullptr;  // a copy of the process handle of the last failed wait
  bool fail_duplicates = false;
  bool fail_image_queries = false;  // no process's image path can be read
  bool fail_allocations = false;    // malloc and operator new find no memory
  bool fail_waiting_children = false;  // no child can be made ahead of the unpack
  std::vector<std::uint32_t> timed_waits;  // the limit of each timed wait, as asked
  std::vector<std::uint32_t> sleeps;        // each pause, as asked; none is taken
  bool take_sleeps = false;                 // every pause is taken, and none is recorded
  // A console event for this run, at this write (counted from 1) of the unpack loop, after which
  // every write takes 100 ms, as on a slow disk; or as the child starts.
  launcher::RunState* run = nullptr;
  int writes = 0;  // counted atomically where several threads write
  int event_at_write = 0;
  bool event_at_child_start = false;
};
Seams seams;

// A code that both systems have a text for: access denied on Windows, an I/O error on Linux.
constexpr std::uint32_t failure_code = 5;

void set_last_error(std::uint32_t code) {
#ifdef _WIN32
  SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

class SeamTest : public testing::Test {
 protected:
  void SetUp() override { seams = {}; }
  void TearDown() override { seams = {}; }
};

// A console event, which takes its course on a thread of its own as the system's does, while
// this thread goes on once the handler has begun. Under Wine a program gets no console event:
// the handler is called as the system would call it, and the process then ends as the event's
// default course ends it.
void console_event_meanwhile() {
#ifdef _WIN32
  std::thread([] {
    launcher::console_event_handler(*seams.run, os::ConsoleEvent::ctrl_c);
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }).detach();
#else
  kill(getpid(), SIGINT);
#endif
  while (!seams.run->unpacked.stop_writing.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// How a process that a console event ended ends.
#ifdef _WIN32
auto ended_by_console_event() { return testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)); }
#else
auto ended_by_console_event() { return testing::KilledBySignal(SIGINT); }
#endif

}  // namespace

extern "C" {
bool __real__ZN2os12close_handleEPv(os::Handle handle);
bool __wrap__ZN2os12close_handleEPv(os::Handle handle) {
  const bool closed = __real__ZN2os12close_handleEPv(handle);
  // Counted only when asked for: the main thread and a console handler close handles at once.
  if (seams.failing_close == 0 || ++seams.closes != seams.failing_close) return closed;
  set_last_error(failure_code);
  return false;
}

os::WaitResult __real__ZN2os8wait_forEPv(os::Handle process);
os::Handle __real__ZN2os16duplicate_handleEPv(os::Handle handle);
os::WaitResult __wrap__ZN2os8wait_forEPv(os::Handle process) {
  if (!seams.fail_waits) return __real__ZN2os8wait_forEPv(process);
  seams.unwaited = __real__ZN2os16duplicate_handleEPv(process);
  return os::WaitResult::failed;
}

os::WaitResult __real__ZN2os8wait_forEPvj(os::Handle process, std::uint32_t milliseconds);
os::WaitResult __wrap__ZN2os8wait_forEPvj(os::Handle process, std::uint32_t milliseconds) {
  seams.timed_waits.push_back(milliseconds);
  return __real__ZN2os8wait_forEPvj(process, milliseconds);
}

void __real__ZN2os18sleep_millisecondsEj(std::uint32_t milliseconds);
void __wrap__ZN2os18sleep_millisecondsEj(std::uint32_t milliseconds) {
  if (seams.take_sleeps) return __real__ZN2os18sleep_millisecondsEj(milliseconds);
  seams.sleeps.push_back(milliseconds);
}

bool __real__ZN2os10write_fileEPvPKvj(os::Handle file, const void* data, std::uint32_t size);
bool __wrap__ZN2os10write_fileEPvPKvj(os::Handle file, const void* data, std::uint32_t size) {
  if (seams.event_at_write != 0 && ++seams.writes >= seams.event_at_write) {
    if (seams.writes == seams.event_at_write) console_event_meanwhile();
    if (seams.writes > seams.event_at_write) std::fputs("written after the console event\n", stderr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return __real__ZN2os10write_fileEPvPKvj(file, data, size);
}


os::Handle __real__ZN2os20create_child_processEPKDsPDsPv(const char16_t* application, char16_t* line, os::Handle job);
os::Handle __wrap__ZN2os20create_child_processEPKDsPDsPv(const char16_t* application, char16_t* line, os::Handle job) {
  os::Handle child = __real__ZN2os20create_child_processEPKDsPDsPv(application, line, job);
  if (seams.event_at_child_start) {
    console_event_meanwhile();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return child;
}

bool __real__ZN2os15open_start_gateEPv(os::Handle gate);
bool __wrap__ZN2os15open_start_gateEPv(os::Handle gate) {
  if (seams.event_at_child_start) {
    console_event_meanwhile();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return __real__ZN2os15open_start_gateEPv(gate);
}

os::Handle __wrap__ZN2os16duplicate_handleEPv(os::Handle handle) {
  return seams.fail_duplicates ? nullptr : __real__ZN2os16duplicate_handleEPv(handle);
}

void* __real_malloc(std::size_t size);
void* __wrap_malloc(std::size_t size) { return seams.fail_allocations ? nullptr : __real_malloc(size); }

#define ZAMRIK_JOIN(a, b) a##b
#define ZAMRIK_WRAPPED(prefix, name) ZAMRIK_JOIN(prefix, name)
void* ZAMRIK_WRAPPED(__real_, ZAMRIK_OPERATOR_NEW)(std::size_t size);
void* ZAMRIK_WRAPPED(__wrap_, ZAMRIK_OPERATOR_NEW)(std::size_t size) {
  if (seams.fail_allocations) throw std::bad_alloc();
  return ZAMRIK_WRAPPED(__real_, ZAMRIK_OPERATOR_NEW)(size);
}

// The writes of frames decoded side by side: a write that begins once the handler has asked is
// one too many.
bool ZAMRIK_WRAPPED(__real_, ZAMRIK_WRITE_FILE_AT)(os::Handle file, const void* data, std::uint32_t size, std::uint64_t offset);
bool ZAMRIK_WRAPPED(__wrap_, ZAMRIK_WRITE_FILE_AT)(os::Handle file, const void* data, std::uint32_t size, std::uint64_t offset) {
  if (seams.event_at_write != 0) {
    const bool asked = seams.run->unpacked.stop_writing.load();
    const int write = __atomic_add_fetch(&seams.writes, 1, __ATOMIC_SEQ_CST);
    if (write == seams.event_at_write) console_event_meanwhile();
    if (write > seams.event_at_write && asked) std::fputs("written after the console event\n", stderr);
    if (write >= seams.event_at_write) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ZAMRIK_WRAPPED(__real_, ZAMRIK_WRITE_FILE_AT)(file, data, size, offset);
}

bool __real__ZN2os22create_waiting_processEPKDsPDsPNS_14WaitingProcessE(const char16_t* application, char16_t* line,
                                                                        os::WaitingProcess* child);
bool __wrap__ZN2os22create_waiting_processEPKDsPDsPNS_14WaitingProcessE(const char16_t* application, char16_t* line,
                                                                        os::WaitingProcess* child) {
  if (!seams.fail_waiting_children) return __real__ZN2os22create_waiting_processEPKDsPDsPNS_14WaitingProcessE(application, line, child);
  set_last_error(failure_code);
  return false;
}

std::uint32_t __real__ZN2os18process_image_pathEPvPDsj(os::Handle process, char16_t* buffer, std::uint32_t capacity);
std::uint32_t __wrap__ZN2os18process_image_pathEPvPDsj(os::Handle process, char16_t* buffer, std::uint32_t capacity) {
  return seams.fail_image_queries ? 0 : __real__ZN2os18process_image_pathEPvPDsj(process, buffer, capacity);
}
}

namespace {

using test_support::exited_with_2;
using test_support::show_standard_output_at_exit;
using test_support::TestDirectory;
using test_support::write_file;
using testing::StartsWith;

void unpack(const std::vector<std::uint8_t>& block, const std::u16string& directory) {
  auto unpacker = std::make_unique<payload::Unpacker>();
  payload::UnpackResult result;
  unpacker->unpack_attached_data({block.data(), block.size()}, directory.c_str(), payload::Role::parent, result);
}

using UnpackSeamDeathTest = SeamTest;

// Files still being written when the removal ran were left behind: the handler stops the loop
// between two writes first, wherever the event comes.
TEST_F(UnpackSeamDeathTest, AConsoleEventDuringALongUnpackLeavesNothing) {
  TestDirectory scratch;
  std::vector<payload::AttachedFile> files;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "sub\\file" + std::to_string(i) + ".bin";
    files.push_back({std::u16string(name.begin(), name.end()), test_support::contents(40000, i), {}});
  }
  // One frame written by the loop, and frames written side by side.
  for (const std::uint64_t frame_target : {std::uint64_t{0}, std::uint64_t{100000}}) {
  payload::AttachedDataOptions quick;
  quick.level = 1;
  quick.frame_target = frame_target;
  const auto block = payload::build_attached_data(files, quick);
  const std::u16string directory = scratch.launcher("unpacked");
  const auto unpack_under_event = [&](int at) {
    auto* const state = new launcher::RunState;  // as the launcher's, never torn down
    std::copy(directory.begin(), directory.end() + 1, state->unpack_directory);
    seams.run = state;
    seams.take_sleeps = true;
    seams.event_at_write = at;
    if (!launcher::watch_console_events(*state)) std::_Exit(1);
    auto unpacker = std::make_unique<payload::Unpacker>();
    unpacker->unpack_attached_data({block.data(), block.size()}, directory.c_str(), payload::Role::parent, state->unpacked);
    std::this_thread::sleep_for(std::chrono::seconds(10));  // the event's course ends the process first
    std::_Exit(0);
  };
  for (int at : {1, 2, 20}) {
    EXPECT_EXIT(unpack_under_event(at), ended_by_console_event(), testing::Not(testing::HasSubstr("written after")))
        << at << ", frames of " << frame_target;
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "unpacked")) << at << ", frames of " << frame_target;
  }
  }
}

TEST_F(UnpackSeamDeathTest, AFileWhoseCloseFailsIsAWriteFailure) {
  TestDirectory scratch;
  const auto block = payload::build_attached_data({{u"main.dll", std::string(70000, 'm'), {}}, {u"empty.txt", "", {}}});
  for (int failing : {1, 2}) {  // a file with data, an empty one
    const std::u16string directory = scratch.launcher("unpacked" + std::to_string(failing));
    EXPECT_EXIT((seams.failing_close = failing, unpack(block, directory)), exited_with_2(),
                StartsWith("Error, couldn't unpack file to target path. ([Error 5] "))
        << failing;
  }
}

using ReportingSeamDeathTest = SeamTest;

TEST_F(ReportingSeamDeathTest, AFailureIsReportedWithoutAnyMemoryLeft) {
  // Reporting once built its lines on the heap: without memory it ended in an abort, silently.
  // Memory comes back once the message is out (the clean-up runs right after it), for the
  // run-time's own exit, which is not ours to test.
  const auto without_memory = [] {
    platform::set_failure_cleanup([] { seams.fail_allocations = false; });
    seams.fail_allocations = true;
  };
  EXPECT_EXIT((without_memory(), platform::fail_with_system_error("Error, couldn't launch child", 2)), exited_with_2(),
              testing::AllOf(StartsWith("Error, couldn't launch child ([Error 2] "), testing::EndsWith(")\n"),
                             testing::Not(testing::HasSubstr("<unknown>"))));
  EXPECT_EXIT((without_memory(), platform::fail_open_for_writing(u"C:\\x\\\u00e9t\u00e9.dll")), exited_with_2(),
              testing::Eq("Error, failed to open 'C:\\x\\\xc3\xa9t\xc3\xa9.dll' for writing.\n"));
  EXPECT_EXIT((without_memory(), platform::fail_path_template_expansion(u"{TEMP}")), test_support::aborted(),
              testing::Eq("Error, couldn't runtime expand spec '{TEMP}'.\n"));
  EXPECT_EXIT((show_standard_output_at_exit(), without_memory(), platform::fatal_exit(platform::message::memory)),
              exited_with_2(), testing::Eq("Error, couldn't allocate memory.\n"));
}

using RolesSeamDeathTest = SeamTest;

TEST_F(RolesSeamDeathTest, AChildThatCannotReadItsParentsImageEndsInsteadOfStartingAnother) {
  // Seen under strace, where the image query fails: every child took the parent role and
  // started another, some 300 deep.
  const std::string digits = std::to_string(os::current_process_id());
  const std::u16string own(digits.begin(), digits.end());
  const auto state = std::make_unique<launcher::RunState>();
  test_support::ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", own.c_str());
  {
    test_support::ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", own.c_str());
    EXPECT_EXIT((show_standard_output_at_exit(), seams.fail_image_queries = true, launcher::detect_child_role(*state)),
                exited_with_2(), testing::Eq("Error, started as a child but couldn't recognise the parent.\n"));
    EXPECT_TRUE(launcher::detect_child_role(*state)) << "the same check with the query working";
  }
  // Without the marker (a launcher that the application started, say) the failed check gives
  // the parent role, as before.
  seams.fail_image_queries = true;
  EXPECT_FALSE(launcher::detect_child_role(*state));
}

// The parent's run of a child, this program started with "--sleep MS CODE".
class SupervisionSeamTest : public SeamTest {
 protected:
  void SetUp() override {
    SeamTest::SetUp();
    write_file(scratch_.path() / "main.dll", "x");
    const std::u16string directory = scratch_.launcher();
    std::copy(directory.begin(), directory.end() + 1, state_->unpack_directory);
    state_->unpacked.cleanup_needed = true;
    state_->unpacked.directory_created = true;
  }

  // With a result file, the sleeper writes into it at its end whether main.dll is still there.
  void start_sleeper(int milliseconds, int code, const std::filesystem::path& result = {}) {
    std::u16string line = u"\"" + std::u16string(state_->executable.module_file_name()) + u"\" --sleep ";
    for (char c : std::to_string(milliseconds) + " " + std::to_string(code)) line += static_cast<char16_t>(c);
    if (!result.empty()) line += u" \"" + (scratch_.path() / "main.dll").u16string() + u"\" \"" + result.u16string() + u"\"";
    std::copy(line.begin(), line.end() + 1, state_->child_command_line);
  }

  // The parent's two steps, as launcher_main takes them.
  std::uint32_t run_child() { return launcher::supervise_child(*state_, launcher::start_child(*state_)); }

  bool directory_left() const { return std::filesystem::exists(scratch_.path() / "main.dll"); }

  TestDirectory scratch_;
  const std::unique_ptr<launcher::RunState> state_ = std::make_unique<launcher::RunState>();
  // A parent's environment, in which the sleeper takes the child role as the launcher's child would.
  const std::string own_id_ = std::to_string(os::current_process_id());
  test_support::ScopedVariable parent_{u"ZAMRIK_ONEFILE_PARENT", std::u16string(own_id_.begin(), own_id_.end()).c_str()};
  test_support::ScopedVariable marker_{u"ZAMRIK_ONEFILE_CHILD", std::u16string(own_id_.begin(), own_id_.end()).c_str()};
};

TEST_F(SupervisionSeamTest, AChildMadeAheadGoesOnOnlyOnceStarted) {
  start_sleeper(0, 7);
  launcher::make_child_ahead(*state_);
#ifdef _WIN32
  ASSERT_NE(state_->waiting_child.process, nullptr);
  EXPECT_NE(state_->start_gate, nullptr);
  EXPECT_EQ(os::wait_for(state_->waiting_child.process, 500), os::WaitResult::timed_out) << "went on before it was started";
  char16_t marker[64] = {};
  os::get_environment_variable(u"ZAMRIK_ONEFILE_CHILD", marker, 64);
  EXPECT_EQ(std::u16string(marker), std::u16string(own_id_.begin(), own_id_.end()))
      << "the gate is the child's alone: nothing made later inherits it";
#else
  EXPECT_EQ(state_->waiting_child.process, nullptr) << "made outside a job";
#endif
  EXPECT_EQ(run_child(), 7u);
  EXPECT_EQ(state_->waiting_child.process, nullptr);
}

using SupervisionSeamDeathTest = SupervisionSeamTest;

TEST_F(SupervisionSeamDeathTest, AChildThatCannotBeMadeAheadIsReportedWhenItIsStarted) {
  start_sleeper(0, 7);
  seams.fail_waiting_children = true;
  launcher::make_child_ahead(*state_);  // nothing to report yet: the unpack comes first
#ifdef _WIN32
  EXPECT_TRUE(state_->early_launch_failed);
#else
  EXPECT_FALSE(state_->early_launch_failed) << "made ahead only in a job";
#endif
  if (state_->early_launch_failed) {
    EXPECT_EXIT((show_standard_output_at_exit(), launcher::start_child(*state_)), exited_with_2(),
                StartsWith("Error, couldn't launch child ([Error 5] "));
  }
}

// Between the child's start and its supervision, the handler found no child and removed the
// directory under it without its five seconds.
TEST_F(SupervisionSeamDeathTest, AConsoleEventAsTheChildStartsGivesItItsGrace) {
  const std::filesystem::path result = scratch_.path().string() + ".result";
  struct Way {
    const char* name;
    bool made_ahead;
  };
#ifdef _WIN32
  const Way ways[] = {{"made ahead, at the gate", true}, {"made after the unpack", false}};
#else
  const Way ways[] = {{"made after the unpack", false}};  // no jobs, so never made ahead
#endif
  for (const Way& way : ways) {
    std::filesystem::remove(result);
    write_file(scratch_.path() / "main.dll", "x");
    start_sleeper(500, 7, result);
    const auto start_under_event = [&] {
      seams.run = state_.get();
      seams.take_sleeps = true;
      if (!launcher::watch_console_events(*state_)) std::_Exit(1);
      if (way.made_ahead) launcher::make_child_ahead(*state_);
      seams.event_at_child_start = true;
      run_child();
      std::this_thread::sleep_for(std::chrono::seconds(10));  // the event's course ends the process first
      std::_Exit(0);
    };
    EXPECT_EXIT(start_under_event(), ended_by_console_event(), "") << way.name;
    // The child outlives the test's process where it is in no job.
    for (int i = 0; i < 100 && !std::filesystem::exists(result); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(test_support::read_file(result), "present") << way.name << ": the directory went before the child ended";
    EXPECT_FALSE(directory_left()) << way.name;
  }
  std::filesystem::remove(result);
}

TEST_F(SupervisionSeamTest, AChildOutsideTheJobMarksItsDirectoryForAsLongAsItRuns) {
  start_sleeper(1500, 7);
  // A handle that no job stands behind: the system refuses to put the child in it, as one
  // without nested jobs refuses a second job (POSIX has none at all).
  state_->child_job = os::create_start_gate();
  const os::Handle child = launcher::start_child(*state_);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(test_support::read_file(scratch_.path() / "zamrik-child.id"), std::to_string(os::process_id_of(child)));
  EXPECT_TRUE(launcher::child_outside_job_runs(scratch_.launcher().c_str())) << "a later sweep would remove it";
  EXPECT_EQ(launcher::supervise_child(*state_, child), 7u);
  EXPECT_FALSE(launcher::child_outside_job_runs(scratch_.launcher().c_str()));
}

TEST_F(SupervisionSeamTest, AFailedWaitTakesNoCodeAndLeavesTheDirectoryToTheChild) {
  start_sleeper(1000, 7);
  seams.fail_waits = true;
  // Read after a failed wait, the code of a running child is 259, "still active".
  EXPECT_EQ(run_child(), 1u);
  EXPECT_EQ(state_->child_process.load(), nullptr);
  EXPECT_FALSE(launcher::unpack_directory_removable(*state_));
  EXPECT_FALSE(launcher::console_event_handler(*state_, os::ConsoleEvent::ctrl_c));
  EXPECT_TRUE(directory_left());
  // The test ends only after its child: under Wine, a console program ended (with this process's
  // job) before it has attached to the console made for it leaves that console's host running,
  // holding this program's output open, and whoever reads it waits for ever.
  ASSERT_NE(seams.unwaited, nullptr);
  EXPECT_EQ(__real__ZN2os8wait_forEPv(seams.unwaited), os::WaitResult::ended);
  os::close_handle(seams.unwaited);
}

TEST_F(SupervisionSeamTest, AChildWhoseHandleCannotBeSharedKeepsItsDirectoryThroughAConsoleEvent) {
  start_sleeper(1000, 7);
  seams.fail_duplicates = true;
  std::atomic<std::uint32_t> exit_code{0};
  std::thread main_thread([&] { exit_code = run_child(); });
  while (!state_->unwatched_child.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The handler finds no child to wait for or end.
  EXPECT_FALSE(launcher::console_event_handler(*state_, os::ConsoleEvent::close));
  EXPECT_TRUE(directory_left()) << "removed under a running child";
  main_thread.join();
  EXPECT_EQ(exit_code.load(), 7u);
  // Seen to end, the child gives its directory up.
  EXPECT_TRUE(launcher::unpack_directory_removable(*state_));
  EXPECT_FALSE(launcher::console_event_handler(*state_, os::ConsoleEvent::close));
  EXPECT_FALSE(directory_left());
}

TEST_F(SupervisionSeamTest, TheHandlerGivesTheChildFiveSecondsAndTheRemovalTwentyTriesAPause100MsApart) {
  // Timings that the tests under Wine can only bound from below.
  start_sleeper(60000, 7);
  std::thread main_thread([&] { run_child(); });
  while (state_->child_process.load() == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(launcher::console_event_handler(*state_, os::ConsoleEvent::ctrl_c));
  main_thread.join();
  EXPECT_THAT(seams.timed_waits, testing::ElementsAre(5000u));
  EXPECT_TRUE(seams.sleeps.empty()) << "removed at the first try";

  // A directory that never goes (a name the system refuses to examine, in a directory that
  // exists): every try fails, and each is followed by a pause.
  std::filesystem::create_directories(scratch_.path());
#ifdef _WIN32
  const std::u16string unremovable = scratch_.launcher() + u"\\a*b";
#else
  const std::u16string unremovable = scratch_.launcher() + u"\\" + std::u16string(300, u'n');
#endif
  std::copy(unremovable.begin(), unremovable.end() + 1, state_->unpack_directory);
  launcher::remove_unpack_directory(*state_);
  EXPECT_EQ(seams.sleeps, std::vector<std::uint32_t>(20, 100));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "--sleep") {
    // As the launcher's child: made ahead, it goes on only once its parent lets it.
    launcher::detect_child_role(*std::make_unique<launcher::RunState>());
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    if (argc >= 6) std::ofstream(argv[5]) << (std::filesystem::exists(argv[4]) ? "present" : "gone");
    return std::atoi(argv[3]);
  }
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
