// Faults from outside the launcher, end to end: a full disk, a child ended by another program,
// many launchers at once, and links that the application leaves in its unpack directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

class LauncherFaults : public LauncherTest {};

std::wstring helper() { return built(L"fault_helper"); }

std::wstring environment(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length == 0 || length >= 32768 ? L"" : std::wstring(value, length);
}

TEST_F(LauncherFaults, AFullDiskEndsTheParentWithTheSystemsTextAndStatus2) {
  // A file system of 16 KiB that with_small_disk.sh mounted for this run.
  const std::wstring small_disk = environment(L"ZAMRIK_TEST_SMALL_DISK");
  if (small_disk.empty()) GTEST_SKIP() << "no small file system mounted (with_small_disk.sh needs the right to mount)";
  const Outcome run = this->run({.program = built(L"launcher_basic"),
                                 .arguments = L"exit 3",
                                 .variables = {{L"TMP", small_disk}, {L"TEMP", small_disk}}});
  EXPECT_EQ(run.exit_code, 2u) << run.out << run.err;
  // ERROR_DISK_FULL, with the system's own text for it.
  EXPECT_THAT(run.err, StartsWith("Error, couldn't unpack file to target path. ([Error 112] ")) << run.err;
  EXPECT_THAT(run.err, testing::Not(HasSubstr("<unknown>")));
  EXPECT_THAT(run.reports, IsEmpty()) << "no child may start";
  // The parent removes what it wrote before it ends.
  EXPECT_THAT(entries_of(small_disk), IsEmpty());
  for (const std::wstring& name : entries_of(small_disk)) remove_tree(small_disk + L"\\" + name);
}

TEST_F(LauncherFaults, AChildEndedByAnotherProgramPassesItsCodeOnAndTheDirectoryGoes) {
  const Outcome run = this->run({built(L"launcher_basic"), L"run " + quoted(helper()) + L" terminate-parent 0xC000013A"});
  EXPECT_EQ(run.exit_code, 0xC000013Au) << run.out << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  EXPECT_EQ(run.reports[0]["terminated"], L"1");
  EXPECT_FALSE(run.reports[0].has("return")) << "the application was ended before it returned";
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(LauncherFaults, TwentyLaunchersAtOnceEachGetTheirOwnDirectoryAndCode) {
  constexpr int count = 20;
  std::vector<Outcome> runs(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] { runs[i] = this->run({built(L"launcher_basic"), L"sleep 200 exit " + std::to_wstring(100 + i)}); });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::wstring> directories;
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(runs[i].exit_code, 100u + i) << runs[i].out << runs[i].err;
    ASSERT_EQ(runs[i].reports.size(), 1u) << runs[i].out << runs[i].err;
    EXPECT_THAT(runs[i].reports[0].directory(), StartsWith(temporary_ + L"\\onefile_"));
    directories.insert(runs[i].reports[0].directory());
  }
  EXPECT_EQ(directories.size(), std::size_t{count});
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

TEST_F(LauncherFaults, ALinkInTheUnpackDirectoryIsNotFollowedAndItsTargetStays) {
  const std::wstring outside = temporary_ + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((outside + L"\\sub").c_str(), nullptr));
  write_small_file(outside + L"\\keep.txt");
  write_small_file(outside + L"\\sub\\keep.txt");

  const Outcome run = this->run({built(L"launcher_basic"), L"run " + quoted(helper()) + L" link-into-unpack-directory " + quoted(outside)});
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  const std::wstring links = run.reports[0]["links"];
  if (links != L"windows" && links != L"unix") GTEST_SKIP() << "no directory link could be made here: " << run.out;
  EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
  EXPECT_THAT(entries_of(outside), testing::UnorderedElementsAre(L"keep.txt", L"sub"));
  EXPECT_THAT(entries_of(outside + L"\\sub"), testing::ElementsAre(L"keep.txt"));
  if (links == L"windows") {
    EXPECT_THAT(temporary_entries(), testing::ElementsAre(L"outside")) << "the unpack directory and its link are gone";
    return;
  }
  // Wine's RemoveDirectoryW acts on a Unix link's target, which is not empty, so the link and the
  // unpack directory holding it stay; everything else in it is gone.
  const std::wstring directory = run.reports[0].directory();
  EXPECT_THAT(entries_of(directory), testing::ElementsAre(L"outside_link"));
  EXPECT_EQ(this->run({helper(), L"remove-unix-link " + quoted(directory + L"\\outside_link")}).exit_code, 0u);
  EXPECT_TRUE(RemoveDirectoryW(directory.c_str()));
}

}  // namespace
}  // namespace e2e
