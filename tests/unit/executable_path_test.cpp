#include "platform/executable_path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <process.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using test_support::launcher_path;
using test_support::narrow;
using test_support::native_path;
using test_support::TestDirectory;

// Starts program with the arguments and waits for it: its exit code, -1 when it did not start.
int run(const fs::path& program, const std::vector<std::string>& arguments) {
#ifdef _WIN32
  // The C run-time joins the arguments with blanks as they are: quote those that hold one.
  std::vector<std::wstring> texts{L"\"" + program.wstring() + L"\""};
  for (const std::string& argument : arguments) texts.emplace_back(argument.begin(), argument.end());
  std::vector<const wchar_t*> vector;
  for (const std::wstring& text : texts) vector.push_back(text.c_str());
  vector.push_back(nullptr);
  return static_cast<int>(_wspawnv(_P_WAIT, program.c_str(), vector.data()));
#else
  std::vector<std::string> texts{program.string()};
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> vector;
  for (std::string& text : texts) vector.push_back(text.data());
  vector.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, vector.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
#endif
}

// The short form of an existing directory as the system gives it; on POSIX the path itself.
std::u16string short_form(const std::u16string& path) {
  char16_t buffer[4096];
  const std::uint32_t length = os::short_path_name(path.c_str(), buffer, 4096);
  EXPECT_GT(length, 0u) << narrow(path);
  EXPECT_LT(length, 4096u);
  return std::u16string(buffer, length < 4096 ? length : 0);
}

// Runs an in-place step over path, copied into a buffer of the executable path's capacity.
std::u16string applied(void (*step)(char16_t*, std::size_t), std::u16string path) {
  path.resize(platform::executable_path_capacity, u'\0');
  step(path.data(), path.size());
  return path.c_str();
}

#ifdef _WIN32
constexpr bool short_names = true;
#else
constexpr bool short_names = false;
#endif

constexpr char forms_file[] = "forms.txt";

// Run only in the copy that the next test starts: writes the three forms beside itself.
TEST(ExecutablePathTest, DISABLED_WriteTheFormsBesideTheExecutable) {
  platform::ExecutablePath own;
  const std::u16string module = own.module_file_name();
  std::ofstream out(native_path(module).parent_path() / forms_file, std::ios::binary);
  out << narrow(module) << '\n' << narrow(own.executable_path(false)) << '\n' << narrow(own.executable_path(true)) << '\n';
  ASSERT_TRUE(out.good());
}

TEST(ExecutablePathTest, ThreeFormsOfALauncherInADirectoryWithALongName) {
  TestDirectory scratch;
  const fs::path directory = scratch.path() / "a directory with a long name";
  fs::create_directories(directory);
  const fs::path self = native_path(platform::ExecutablePath().module_file_name());
  const std::string name = "unit tests copy" + self.extension().string();
  fs::copy_file(self, directory / name);

  ASSERT_EQ(run(directory / name, {"--gtest_filter=ExecutablePathTest.DISABLED_WriteTheFormsBesideTheExecutable",
                                   "--gtest_also_run_disabled_tests"}),
            0);

  std::istringstream forms(test_support::read_file(directory / forms_file));
  std::string module, plain, canonical;
  std::getline(forms, module);
  std::getline(forms, plain);
  std::getline(forms, canonical);
  const std::u16string long_directory = launcher_path(directory);
  const std::u16string short_directory = short_form(long_directory);
  if (short_names) {
    EXPECT_THAT(narrow(short_directory), testing::AllOf(testing::HasSubstr("~"), testing::Ne(narrow(long_directory))));
  }
  // As started; then with the directories shortened and the file name kept long.
  EXPECT_EQ(module, narrow(long_directory) + "\\" + name);
  EXPECT_EQ(plain, narrow(short_directory) + "\\" + name);
  // No link on the way: the final path, stripped of its prefix, shortens to the same text.
  EXPECT_EQ(canonical, plain);
}

TEST(ResolveFinalPathTest, GivesTheFinalPathOfAFileAndLeavesOtherPathsAlone) {
  TestDirectory scratch;
  const fs::path directory = scratch.path() / "a directory with a long name";
  test_support::write_file(directory / "some file.txt", "x");
  const std::u16string file = launcher_path(directory / "some file.txt");
  struct Case {
    std::u16string path, want;
  };
  std::vector<Case> cases = {
      {file, file},
      {launcher_path(directory), launcher_path(directory)},  // a directory cannot be opened for the query
      {file + u".missing", file + u".missing"},
  };
#ifdef _WIN32
  cases.push_back({u"\\\\?\\" + file, file});                                       // the prefix goes
  cases.push_back({short_form(launcher_path(directory)) + u"\\some file.txt", file});  // short names become long
#else
  fs::create_symlink(directory / "some file.txt", scratch.path() / "link");
  cases.push_back({launcher_path(scratch.path() / "link"), file});
#endif
  for (const Case& c : cases) EXPECT_EQ(narrow(applied(platform::resolve_final_path, c.path)), narrow(c.want));
}

TEST(ShortenDirectoryPartTest, ShortensTheDirectoriesOfRealPaths) {
  TestDirectory scratch;
  const fs::path directory = scratch.path() / "a directory with a long name";
  test_support::write_file(directory / "some long file name.txt", "x");
  const std::u16string long_directory = launcher_path(directory);
  const std::u16string short_directory = short_form(long_directory);
  const fs::path current = fs::current_path();
  fs::current_path(directory);
  const std::u16string short_file = short_form(u"some long file name.txt");
  fs::current_path(current);
  if (short_names) {
    EXPECT_THAT(narrow(short_file), testing::HasSubstr("~"));
  }

  struct Case {
    std::u16string path, want;
  };
  const Case cases[] = {
      {long_directory + u"\\some long file name.txt", short_directory + u"\\some long file name.txt"},
      {long_directory + u"\\", short_directory + u"\\"},
      {long_directory + u"\\missing\\file.txt", long_directory + u"\\missing\\file.txt"},  // no short form
      {u"some long file name.txt", short_file},  // a bare name is shortened whole
      {u"missing.txt", u"missing.txt"},
  };
  fs::current_path(directory);
  for (const Case& c : cases) EXPECT_EQ(narrow(applied(platform::shorten_directory_part, c.path)), narrow(c.want));
  fs::current_path(current);
}

}  // namespace
