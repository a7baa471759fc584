// The tool as a user meets it: its exit statuses and the messages it prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "pack_test_support.h"

namespace {

namespace fs = std::filesystem;
using pack_test::fixture;
using pack_test::run_tool;
using pack_test::TempDir;
using pack_test::write_file;
using testing::AllOf;
using testing::HasSubstr;
using testing::StartsWith;

TEST(Cli, ShowsHelpAndVersion) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--help"}, {"-h"}, {"help"}}) {
    const pack_test::ToolResult result = run_tool(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.out, AllOf(StartsWith("usage: zamrik-pack COMMAND"), HasSubstr("extract EXE DIR")));
  }
  for (const char* command : {"build", "list", "verify", "extract"}) {
    const pack_test::ToolResult result = run_tool({command, "--help"});
    EXPECT_EQ(result.status, 0) << command;
    EXPECT_THAT(result.out, StartsWith(std::string("usage: zamrik-pack ") + command)) << command;
  }
  const pack_test::ToolResult version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, StartsWith("zamrik-pack "));
}

TEST(Cli, EndsUsageErrorsWithStatusOneAndAHint) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
    const char* hint;
  };
  const Case cases[] = {
      {{}, "no command given", "zamrik-pack --help"},
      {{"pack"}, "unknown command 'pack'", "zamrik-pack --help"},
      {{"--frobnicate"}, "unknown option '--frobnicate'", "zamrik-pack --help"},
      {{"build", "app"}, "build needs an output: -o OUT.exe", "zamrik-pack build --help"},
      {{"build", "-o", "a.exe"}, "build takes one argument, not 0", "zamrik-pack build --help"},
      {{"build", "app", "-o", "a.exe", "--level", "0"}, "'--level' takes a whole number from 1 to 22", "build --help"},
      {{"build", "app", "-o", "a.exe", "--threads", "many"}, "'--threads' takes a whole number", "build --help"},
      {{"build", "app", "-o", "a.exe", "--version", "1.2.3"}, "is not of the form A.B.C.D", "build --help"},
      {{"build", "app", "-o", "a.exe", "--company", "\xff"}, "'--company' takes UTF-8 text", "build --help"},
      {{"build", "app", "-o", "a.exe", "--no-main-check"}, "--no-main-check needs --main", "build --help"},
      {{"list"}, "list takes one argument, not 0", "zamrik-pack list --help"},
      {{"verify", "a.exe", "b.exe"}, "verify takes one argument, not 2", "zamrik-pack verify --help"},
      {{"extract", "a.exe"}, "extract takes two arguments, not 1", "zamrik-pack extract --help"},
      {{"list", "--quiet", "a.exe"}, "unknown option '--quiet'", "zamrik-pack list --help"},
  };
  for (const Case& c : cases) {
    const pack_test::ToolResult result = run_tool(c.arguments);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_THAT(result.err, AllOf(StartsWith("zamrik-pack: error: "), HasSubstr(c.message), HasSubstr(c.hint)))
        << c.message;
    EXPECT_EQ(result.out, "") << c.message;
  }
}

TEST(Cli, TakesTheApplicationsVersionAsAppVersionAndStillAsVersion) {
  struct Case {
    std::vector<std::string> options;
    const char* message;
    bool deprecated;
  };
  const Case cases[] = {
      {{"--app-version", "1.2.3"}, "option '--app-version': version '1.2.3' is not of the form A.B.C.D", false},
      // A usage error stands alone; the warning comes with a command line that is taken.
      {{"--version", "1.2.3"}, "option '--version': version '1.2.3' is not of the form A.B.C.D", false},
      {{"--version", "1.2.3.4"}, "no-such-folder: no such folder", true},
      // The one given last counts, as for every option.
      {{"--app-version", "1.2.3.4", "--version", "1.2"}, "option '--version': version '1.2' is not", false},
      {{"--version", "1.2", "--app-version=1.2.3.4"}, "no-such-folder: no such folder", true},
  };
  const std::string warning = "zamrik-pack: warning: build --version is deprecated; use --app-version\n";
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"build", "no-such-folder", "-o", "a.exe"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const pack_test::ToolResult result = run_tool(arguments);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_EQ(result.err.find(warning) != std::string::npos, c.deprecated) << result.err;
  }
  const pack_test::ToolResult help = run_tool({"build", "--help"});
  EXPECT_THAT(help.out, AllOf(HasSubstr("--app-version A.B.C.D\n"), HasSubstr("--version A.B.C.D   the same; deprecated")));
}

TEST(Cli, EndsRefusedInputWithStatusOneAndOneLinePerProblem) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  write_file(dir / "app" / "NUL.txt", "x");
  write_file(dir / "app" / "bad.", "x");
  const pack_test::ToolResult result = run_tool({"build", (dir / "app").string(), "-o", (dir / "a.exe").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("zamrik-pack: error: " + (dir / "app" / "NUL.txt").string() +
                                    ": the path has the name 'NUL.txt', which Windows reserves for a device\n"));
  EXPECT_THAT(result.err, HasSubstr("zamrik-pack: error: " + (dir / "app" / "bad.").string() +
                                    ": the path has the name 'bad.', which ends in a dot that Windows strips\n"));
  EXPECT_FALSE(fs::exists(dir / "a.exe"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "no leftovers";
}

TEST(Cli, RefusesOutputsThatCannotBeWrittenOrWouldBePacked) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  const Case cases[] = {
      {{"-o", (dir / "missing" / "a.exe").string()}, "does not exist"},
      {{"-o", (dir / "app").string()}, "is a folder"},
      {{"-o", (dir / "app" / "a.exe").string()}, "the output lies inside"},
      {{"-o", (dir / "a.exe").string(), "--icon", (dir / "app" / "main.dll").string()}, "main.dll: holds no icon group"},
      {{"-o", (dir / "a.exe").string(), "--icon", (dir / "no.ico").string()}, "no.ico: cannot open the icon"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"build", (dir / "app").string()};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const pack_test::ToolResult result = run_tool(arguments);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
  }
}

TEST(Cli, RefusesFilesThatAreNoLaunchers) {
  TempDir dir;
  write_file(dir / "notes.txt", "plain text, not an executable");
  struct Case {
    fs::path file;
    const char* message;
  };
  const Case cases[] = {
      {dir / "missing.exe", "missing.exe: cannot open: No such file or directory"},
      {dir / "notes.txt", "notes.txt: not a launcher: not a PE image"},
      {fixture("main.dll"), "main.dll: not a launcher built by zamrik-pack: it has no section .zamrik"},
  };
  for (const Case& c : cases) {
    for (const char* command : {"list", "verify"}) {
      const pack_test::ToolResult result = run_tool({command, c.file.string()});
      EXPECT_EQ(result.status, 1) << command << " " << c.message;
      EXPECT_THAT(result.err, HasSubstr(c.message)) << command;
    }
  }
}

}  // namespace

namespace {

// Nothing but the folder and the input may remain: no executable, no scratch files.
void expect_only(const fs::path& dir, const std::vector<std::string>& names) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.push_back(entry.path().filename().string());
  EXPECT_THAT(found, testing::UnorderedElementsAreArray(names));
}

// Writing fails at its last step (the resources after the data, or the checksum) when the file
// may not grow to its full size.
TEST(Cli, LeavesNothingBehindWhenWritingFails) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  const std::vector<std::string> build = {"build", (dir / "app").string(), "-o", (dir / "a.exe").string()};
  ASSERT_EQ(run_tool(build).status, 0);
  const std::uint64_t size = fs::file_size(dir / "a.exe");
  fs::remove(dir / "a.exe");
  const pack_test::ToolResult result = run_tool(build, size - 1);
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, HasSubstr("zamrik-pack: internal error: "));
  EXPECT_THAT(result.err, HasSubstr("writing the executable failed"));
  expect_only(dir.path(), {"app"});
}

TEST(Cli, RemovesItsScratchFilesWhenInterrupted) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  // Random bytes keep the compressor busy for seconds at level 19.
  std::string noise(32 << 20, '\0');
  std::uint64_t x = 88172645463325252u;
  for (char& c : noise) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  write_file(dir / "app" / "noise.bin", noise);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(ZAMRIK_PACK_TOOL, ZAMRIK_PACK_TOOL, "build", (dir / "app").c_str(), "-o", (dir / "a.exe").c_str(), "--level",
            "19", "-q", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto scratch_exists = [&] {
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename().string().starts_with(".a.exe.partial-")) return true;
    }
    return false;
  };
  for (int i = 0; i < 1000 && !scratch_exists(); ++i) ::usleep(10000);
  ASSERT_TRUE(scratch_exists());
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  expect_only(dir.path(), {"app"});
}

}  // namespace
