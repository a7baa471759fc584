// Nothing of a run outlives it: a parent ended from outside takes its child along, what the
// application started on its own goes on, and the next start removes the directory that such a
// run left, but never one whose run still goes on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;
using testing::UnorderedElementsAre;

class LauncherLifetime : public LauncherTest {
 protected:
  // The children go first: a child left running would keep its parent's streams open.
  void TearDown() override {
    end_watched();
    launchers_.clear();
    LauncherTest::TearDown();
  }

  // A launcher whose application has reported and now sleeps, with its child watched.
  struct Sleeping {
    Running* parent = nullptr;
    HANDLE child = nullptr;
    std::wstring directory;
  };
  Sleeping start_sleeping(const std::wstring& before_sleep = L"") {
    Sleeping run;
    launchers_.push_back(start({built(L"launcher_basic"), before_sleep + L"sleep 60000"}));
    run.parent = launchers_.back().get();
    if (run.parent == nullptr) return run;
    // The last line that the application writes before it sleeps.
    const char* last_line = before_sleep.empty() ? "env ZAMRIK_ORIGINAL_ARGV0" : "started=";
    EXPECT_TRUE(run.parent->wait_for_line(last_line)) << run.parent->output_so_far();
    const std::vector<Report> reports = reports_in(run.parent->output_so_far());
    if (reports.size() != 1) {
      ADD_FAILURE() << run.parent->output_so_far();
      return run;
    }
    run.child = watch(std::stoul(reports[0]["pid"]));
    run.directory = reports[0].directory();
    return run;
  }

  static std::wstring detached_sleeper() { return L"start " + quoted(this_program()) + L" \"--sleep 30000\" "; }

  std::vector<std::unique_ptr<Running>> launchers_;
};

bool ends_within(HANDLE process, DWORD milliseconds) { return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0; }

TEST_F(LauncherLifetime, AParentEndedFromOutsideTakesItsChildButNotWhatTheApplicationStarted) {
  const Sleeping run = start_sleeping(detached_sleeper());
  ASSERT_NE(run.child, nullptr);
  const Report report = reports_in(run.parent->output_so_far())[0];
  ASSERT_NE(report["started"], L"0") << run.parent->output_so_far();
  HANDLE detached = watch(std::stoul(report["started"]));

  ASSERT_TRUE(TerminateProcess(run.parent->handle(), 1));
  EXPECT_TRUE(ends_within(run.parent->handle(), 1000));
  EXPECT_TRUE(ends_within(run.child, 1000)) << "the child outlived its parent";
  EXPECT_FALSE(ends_within(detached, 1000)) << "what the application started on its own must go on";
  // Nobody was left to remove the directory.
  EXPECT_THAT(temporary_entries(), ElementsAre(run.directory.substr(temporary_.size() + 1)));
}

TEST_F(LauncherLifetime, ADetachedProgramOutlivesTheApplicationsNormalEnd) {
  const Outcome run = this->run({built(L"launcher_basic"), detached_sleeper() + L"exit 5"});
  EXPECT_EQ(run.exit_code, 5u) << run.out << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  ASSERT_NE(run.reports[0]["started"], L"0") << run.out;
  HANDLE detached = watch(std::stoul(run.reports[0]["started"]));
  EXPECT_FALSE(ends_within(detached, 1000)) << "the end of the parent's job took it along";
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(LauncherLifetime, TheNextStartRemovesWhatAnEndedRunLeftAndKeepsWhatARunningOneUses) {
  const Sleeping ended = start_sleeping();
  const Sleeping running = start_sleeping();
  ASSERT_NE(ended.child, nullptr);
  ASSERT_NE(running.child, nullptr);
  ASSERT_TRUE(TerminateProcess(ended.parent->handle(), 1));
  ASSERT_TRUE(ends_within(ended.child, 1000));
  // Look-alikes stay: a name that the launcher does not give, and a file.
  const std::wstring unlike = temporary_ + L"\\onefile_2147483632_12345_AAAAAAAAAAA";
  ASSERT_TRUE(CreateDirectoryW(unlike.c_str(), nullptr));
  write_small_file(temporary_ + L"\\onefile_2147483632_123456_AAAAAAAAAAA");
  const auto name_of = [&](const std::wstring& path) { return path.substr(temporary_.size() + 1); };
  ASSERT_THAT(temporary_entries(), testing::Contains(name_of(ended.directory)));

  const Outcome next = run({built(L"launcher_basic"), L"echo"});
  EXPECT_EQ(next.exit_code, 0u) << next.out << next.err;
  EXPECT_THAT(temporary_entries(), UnorderedElementsAre(name_of(running.directory), name_of(unlike),
                                                        L"onefile_2147483632_123456_AAAAAAAAAAA"));
  EXPECT_TRUE(exists(running.directory + L"\\sub\\deeper\\data.txt")) << "the running application's files stay";
}

TEST_F(LauncherLifetime, ALinkInAStaleDirectoryIsRemovedAsALinkAndItsTargetStays) {
  const std::wstring outside = temporary_ + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((outside + L"\\sub").c_str(), nullptr));
  write_small_file(outside + L"\\keep.txt");
  write_small_file(outside + L"\\sub\\keep.txt");
  // Left by a run whose process is gone: no process runs under this id.
  const std::wstring stale = temporary_ + L"\\onefile_2147483632_123456_AAAAAAAAAAA";
  ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
  write_small_file(stale + L"\\main.dll");
  const Outcome link = run({built(L"fault_helper"), L"link-into-unpack-directory " + quoted(outside)});
  const std::wstring kind = link.out.find("links=windows") != std::string::npos ? L"windows"
                            : link.out.find("links=unix") != std::string::npos  ? L"unix"
                                                                                 : L"";
  if (kind.empty()) GTEST_SKIP() << "no directory link could be made here: " << link.out;

  const Outcome next = run({built(L"launcher_basic"), L"echo"});
  EXPECT_EQ(next.exit_code, 0u) << next.out << next.err;
  EXPECT_THAT(entries_of(outside), UnorderedElementsAre(L"keep.txt", L"sub"));
  EXPECT_THAT(entries_of(outside + L"\\sub"), ElementsAre(L"keep.txt"));
  if (kind == L"windows") {
    EXPECT_THAT(temporary_entries(), ElementsAre(L"outside")) << "the stale directory and its link are gone";
    return;
  }
  // Wine's RemoveDirectoryW acts on a Unix link's target, which is not empty, so the link and
  // the directory holding it stay; everything else in it is gone.
  EXPECT_THAT(entries_of(stale), ElementsAre(L"outside_link"));
  EXPECT_EQ(run({built(L"fault_helper"), L"remove-unix-link " + quoted(stale + L"\\outside_link")}).exit_code, 0u);
}

}  // namespace
}  // namespace e2e
