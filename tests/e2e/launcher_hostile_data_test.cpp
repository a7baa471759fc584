// Attached data that the packer never writes, changed in a copy of a built launcher: the
// launcher must not trust it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

#include <tlhelp32.h>

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// Whether any process runs the executable of that file name, looked for during a few seconds: a
// process that was ended may take a moment to go.
bool a_process_runs(const std::wstring& file_name) {
  for (int look = 0; look < 50; ++look) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
      found = _wcsicmp(entry.szExeFile, file_name.c_str()) == 0;
    }
    CloseHandle(snapshot);
    if (!found) return false;
    Sleep(100);
  }
  return true;
}

class HostileData : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    // The unpack directory goes two levels down, so that ".." and "..\.." stay in view.
    unpack_parent_ = temporary_ + L"\\t1\\t2";
    ASSERT_TRUE(CreateDirectoryW((temporary_ + L"\\t1").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(unpack_parent_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((temporary_ + L"\\bin").c_str(), nullptr));
  }

  Outcome run_copy(const std::wstring& copy, const std::wstring& arguments = L"") {
    return run({.program = copy, .arguments = arguments, .variables = {{L"TMP", unpack_parent_}, {L"TEMP", unpack_parent_}}});
  }

  std::wstring unpack_parent_;
};

TEST_F(HostileData, AnEntryPathThatLeavesTheUnpackDirectoryEndsWithTheHeaderErrorAndWritesNothingOutside) {
  // The basic application's table: main.dll, data.txt, sub\deeper\data.txt. Each case gives the
  // main library or the first data file a path of the same length.
  struct Case {
    std::size_t entry;
    std::wstring path;
  };
  const Case cases[] = {
      {1, L"..\\x.txt"},  // t2\x.txt
      {1, L"..\\..\\xy"},  // t1\xy
      {1, L"\\abs.txt"},  // the root of the drive
      {1, L"C:\\x.txt"},
      {1, L"../x.txt"},
      {1, L"a\\\\b.txt"},
      {0, L"..\\m.dll"},  // the main library, which the child would load from outside
  };
  for (const Case& c : cases) {
    const std::wstring copy = temporary_ + L"\\bin\\hostile.exe";
    copy_with_changed_data(built(L"launcher_basic"), copy, [&](std::span<std::uint8_t> data) { rename_entry(data, c.entry, c.path); });
    const Outcome run = run_copy(copy, L"exit 5");
    EXPECT_EQ(run.exit_code, 2u) << narrow(c.path) << run.out << run.err;
    EXPECT_EQ(run.out, "Error, couldn't find attached data header.\r\n") << narrow(c.path);
    EXPECT_EQ(run.err, "") << narrow(c.path);
    EXPECT_THAT(run.reports, IsEmpty()) << "no child may start";
    // What was unpacked before the refusal has gone with the unpack directory.
    EXPECT_THAT(files_below(temporary_), ElementsAre(L"bin\\hostile.exe")) << narrow(c.path);
    EXPECT_THAT(entries_of(unpack_parent_), IsEmpty()) << narrow(c.path);
    EXPECT_FALSE(exists(L"C:\\abs.txt"));
    EXPECT_FALSE(exists(L"C:\\x.txt"));
  }
}

TEST_F(HostileData, EveryFailedRunOfADamagedExecutableRemovesItsPartialCopy) {
  // The stream's checksum no longer matches: every file is written before the decoder finds out.
  const std::wstring copy = temporary_ + L"\\bin\\damaged.exe";
  copy_with_changed_data(built(L"launcher_basic"), copy, damage_stream_end);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const Outcome run = run_copy(copy, L"exit 5");
    EXPECT_EQ(run.exit_code, 2u) << attempt << run.out << run.err;
    EXPECT_EQ(run.out, "Error, couldn't decode attached data.\r\n") << attempt;
    EXPECT_THAT(run.reports, IsEmpty()) << "no child may start";
    // The child is made while the files are written: it must go with the failed run.
    EXPECT_FALSE(a_process_runs(L"damaged.exe")) << attempt;
    EXPECT_THAT(entries_of(unpack_parent_), IsEmpty()) << "attempt " << attempt;
  }
}

}  // namespace
}  // namespace e2e
