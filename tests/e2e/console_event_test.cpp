// The console handler and the child supervision, driven in this process against real child
// processes: Wine delivers no console event to a graphical-subsystem launcher, which, as on
// Windows, is attached to no console.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "e2e_support.h"
#include "launcher/launcher.h"
#include "os/win32/console_event.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

class ConsoleEvent : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    directory_ = temporary_ + L"\\onefile_unpacked";
    ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr));
    write_small_file(directory_ + L"\\main.dll");
    ASSERT_LT(directory_.size(), payload::path_capacity);
    std::copy(directory_.begin(), directory_.end() + 1, state_->unpack_directory);  // with the terminator
    state_->unpacked.cleanup_needed = true;
    state_->unpacked.directory_created = true;
  }
  void TearDown() override {
    if (HANDLE left = state_->child_process.exchange(nullptr)) {
      TerminateProcess(left, 0);
      CloseHandle(left);
    }
    LauncherTest::TearDown();
  }

  // Starts this program as a child that sleeps and exits with code; the slot gets the handle,
  // the test a second one of its own.
  HANDLE supervise(std::uint32_t milliseconds, std::uint32_t code) {
    std::wstring command_line = sleeper_command_line(milliseconds, code);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(this_program().c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      ADD_FAILURE() << "cannot start the child: " << GetLastError();
      return nullptr;
    }
    CloseHandle(process.hThread);
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS);
    state_->child_process.store(process.hProcess);
    return own;
  }

  static std::wstring sleeper_command_line(std::uint32_t milliseconds, std::uint32_t code) {
    return quoted(this_program()) + L" --sleep " + std::to_wstring(milliseconds) + L" " + std::to_wstring(code);
  }

  static std::uint32_t exit_code_after_end(HANDLE process) {
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
  }

  std::wstring directory_;
  const std::unique_ptr<launcher::RunState> state_ = std::make_unique<launcher::RunState>();
};

using Event = os::ConsoleEvent;

// Ctrl+C, Ctrl+Break, close, log-off, shutdown.
constexpr Event every_event[] = {Event::ctrl_c, Event::ctrl_break, Event::close, Event::logoff, Event::shutdown};

TEST(ConsoleControlCode, OnlyTheFiveEventCodesReachTheHandler) {
  struct Case {
    std::uint32_t code;
    std::optional<Event> event;
  };
  const Case cases[] = {
      {0, Event::ctrl_c},
      {1, Event::ctrl_break},
      {2, Event::close},
      {3, std::nullopt},  // reserved
      {4, std::nullopt},  // reserved
      {5, Event::logoff},
      {6, Event::shutdown},
      {7, std::nullopt},
      {0xFFFFFFFF, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(os::win32::console_event_of(c.code), c.event) << c.code;
}

TEST_F(ConsoleEvent, AChildThatEndsWithinFiveSecondsIsNotTerminated) {
  for (Event event : every_event) {
    const int index = static_cast<int>(event);
    CreateDirectoryW(directory_.c_str(), nullptr);
    HANDLE child = supervise(300, 9);
    EXPECT_FALSE(launcher::console_event_handler(*state_, event)) << index;
    EXPECT_EQ(exit_code_after_end(child), 9u) << index;
    EXPECT_EQ(state_->child_process.load(), nullptr) << index;
    EXPECT_FALSE(exists(directory_)) << index;
  }
}

// The bounds of the five seconds (the seam tests check the exact number handed to the wait).
TEST_F(ConsoleEvent, AChildThatEndsAfterThreeSecondsIsStillNotTerminated) {
  HANDLE child = supervise(3000, 9);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(launcher::console_event_handler(*state_, Event::ctrl_c));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
  EXPECT_EQ(exit_code_after_end(child), 9u);
  EXPECT_FALSE(exists(directory_));
}

TEST_F(ConsoleEvent, AChildThatOutlivesFiveSecondsIsTerminatedWithCode0) {
  HANDLE child = supervise(60000, 9);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(launcher::console_event_handler(*state_, Event::ctrl_c));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900)) << "the child had its five seconds";
  EXPECT_EQ(exit_code_after_end(child), 0u);
  EXPECT_FALSE(exists(directory_));
}

TEST_F(ConsoleEvent, BeforeTheHeaderIsAcceptedThereIsNothingToDo) {
  state_->unpacked.cleanup_needed = false;
  EXPECT_FALSE(launcher::console_event_handler(*state_, Event::ctrl_c));
  EXPECT_TRUE(exists(directory_ + L"\\main.dll"));
}

class Supervision : public ConsoleEvent {
 protected:
  void set_child_command_line(const std::wstring& line) {
    ASSERT_LT(line.size(), launcher::command_line_capacity);
    std::copy(line.begin(), line.end() + 1, state_->child_command_line);
  }
};

TEST_F(Supervision, TheParentTakesTheChildsExitCodeAndReleasesTheHandle) {
  for (std::uint32_t code : {0u, 7u, 0xC0000005u}) {
    set_child_command_line(sleeper_command_line(0, code));
    EXPECT_EQ(launcher::supervise_child(*state_, launcher::start_child(*state_)), code);
    EXPECT_EQ(state_->child_process.load(), nullptr);
  }
}

TEST_F(Supervision, WhenTheHandlerReleasedTheChildFirstTheParentTakes1) {
  set_child_command_line(sleeper_command_line(60000, 7));
  std::uint32_t exit_code = 0;
  std::thread main_thread([&] { exit_code = launcher::supervise_child(*state_, launcher::start_child(*state_)); });
  while (state_->child_process.load() == nullptr) Sleep(10);
  EXPECT_FALSE(launcher::console_event_handler(*state_, Event::ctrl_break));
  main_thread.join();
  EXPECT_EQ(exit_code, 1u);
  EXPECT_EQ(state_->child_process.load(), nullptr);
  EXPECT_FALSE(exists(directory_));
}

}  // namespace
}  // namespace e2e
