// The main library's own dependencies come from the unpack directory: the libraries it imports
// are found beside it and in the unpack directory, and a library of the same name planted beside
// the launcher or in the folder the user started from is never loaded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::UnorderedElementsAre;

class MainLibraryDependencies : public LauncherTest {};

TEST_F(MainLibraryDependencies, ComeFromTheUnpackDirectoryNeverFromAPlantedCopy) {
  // The launcher beside planted copies of both libraries, started from a folder that holds
  // them too.
  const std::wstring planted = here() + L"\\app\\planted";
  for (const wchar_t* folder : {L"\\bin", L"\\work"}) {
    const std::wstring target = temporary_ + folder;
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    for (const wchar_t* library : {L"\\own.dll", L"\\shared.dll"}) {
      ASSERT_TRUE(CopyFileW((planted + library).c_str(), (target + library).c_str(), TRUE)) << narrow(planted + library);
    }
  }
  const std::wstring launcher = temporary_ + L"\\bin\\dependent.exe";
  ASSERT_TRUE(CopyFileW(built(L"launcher_dependent").c_str(), launcher.c_str(), TRUE));

  const Outcome run = this->run({.program = launcher, .directory = temporary_ + L"\\work"});
  EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
  ASSERT_EQ(run.reports.size(), 1u) << run.out << run.err;
  const Report& app = run.reports[0];
  const std::wstring unpacked = app.directory().substr(0, app.directory().rfind(L'\\'));  // the library lies in bin
  EXPECT_EQ(app["library"], unpacked + L"\\bin\\main.dll");
  EXPECT_EQ(app["own"], L"unpacked");
  EXPECT_EQ(app["own path"], unpacked + L"\\bin\\own.dll");  // beside the main library
  EXPECT_EQ(app["shared"], L"unpacked");
  EXPECT_EQ(app["shared path"], unpacked + L"\\shared.dll");  // in the unpack directory
  EXPECT_THAT(temporary_entries(), UnorderedElementsAre(L"bin", L"work"));
}

}  // namespace
}  // namespace e2e
