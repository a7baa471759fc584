// The unpack directory is the run's own: made new, and only then written to and removed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::ElementsAre;
using testing::StartsWith;

class UnpackDirectory : public LauncherTest {
 protected:
  // The launcher whose unpack directory is the one a test names, and whose only file is an
  // empty x.txt: a child that finds it fails to load it as the main library.
  Outcome run_with_unpack_directory(const std::wstring& directory) {
    return run({.program = built(L"launcher_fixed_unpack_directory"), .variables = {{L"ZAMRIK_TEST_UNPACK_DIRECTORY", directory}}});
  }
};

TEST_F(UnpackDirectory, ADirectoryPlantedUnderItsNameIsNeitherWrittenThroughNorRemoved) {
  const std::wstring directory = temporary_ + L"\\onefile_planted";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  write_small_file(directory + L"\\planted.txt");

  const Outcome planted = run_with_unpack_directory(directory);
  EXPECT_EQ(planted.exit_code, 2u);
  EXPECT_EQ(planted.out, "");
  EXPECT_EQ(planted.err, "Error, failed to open '" + narrow(directory) + "\\x.txt' for writing.\r\n");
  EXPECT_THAT(entries_of(directory), ElementsAre(L"planted.txt"));

  // Once the name is free, the same launcher makes the directory, writes into it, starts its
  // child (which cannot load the empty file) and removes the directory again.
  ASSERT_TRUE(remove_tree(directory));
  const Outcome fresh = run_with_unpack_directory(directory);
  EXPECT_EQ(fresh.exit_code, 2u);
  EXPECT_THAT(fresh.err, StartsWith("Error, load DLL. ([Error "));
  EXPECT_FALSE(exists(directory));
}

}  // namespace
}  // namespace e2e
