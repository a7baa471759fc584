// The launcher against OS calls that fail on demand: a real system fails them only in rare
// situations, so each is wrapped at link time (see CMakeLists.txt) and goes to the real call
// unless a test says otherwise. Everything else is the real backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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
#endif

namespace {

// What the wrapped calls do; every test starts from the defaults.
struct Seams {
  int closes = 0;
  int failing_close = 0;  // this close (counted from 1) closes the handle, then reports a failure
  bool fail_waits = false;  // the wait without a limit fails at once
  bool fail_duplicates = false;
  bool fail_image_queries = false;  // no process's image path can be read
  bool fail_allocations = false;    // malloc and operator new find no memory
  bool fail_waiting_children = false;  // no child can be made ahead of the unpack
  std::vector<std::uint32_t> timed_waits;  // the limit of each timed wait, as asked
  std::vector<std::uint32_t> sleeps;        // each pause, as asked; none is taken
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

}  // namespace

extern "C" {
bool __real__ZN2os12close_handleEPv(os::Handle handle);
bool __wrap__ZN2os12close_handleEPv(os::Handle handle) {
  const bool closed = __real__ZN2os12close_handleEPv(handle);
  if (++seams.closes != seams.failing_close) return closed;
  set_last_error(failure_code);
  return false;
}

os::WaitResult __real__ZN2os8wait_forEPv(os::Handle process);
os::WaitResult __wrap__ZN2os8wait_forEPv(os::Handle process) {
  return seams.fail_waits ? os::WaitResult::failed : __real__ZN2os8wait_forEPv(process);
}

os::WaitResult __real__ZN2os8wait_forEPvj(os::Handle process, std::uint32_t milliseconds);
os::WaitResult __wrap__ZN2os8wait_forEPvj(os::Handle process, std::uint32_t milliseconds) {
  seams.timed_waits.push_back(milliseconds);
  return __real__ZN2os8wait_forEPvj(process, milliseconds);
}

void __wrap__ZN2os18sleep_millisecondsEj(std::uint32_t milliseconds) { seams.sleeps.push_back(milliseconds); }

os::Handle __real__ZN2os16duplicate_handleEPv(os::Handle handle);
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

  void start_sleeper(int milliseconds, int code) {
    std::u16string line = u"\"" + std::u16string(state_->executable.module_file_name()) + u"\" --sleep ";
    for (char c : std::to_string(milliseconds) + " " + std::to_string(code)) line += static_cast<char16_t>(c);
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
    return std::atoi(argv[3]);
  }
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
