// The tool as a user meets it: its exit statuses and the messages it prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/file.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "pack_test_support.h"
#include "progress.h"

namespace {

namespace fs = std::filesystem;
using pack_test::fixture;
using pack_test::read_file;
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
    const pack_test::ToolResult asked = run_tool({"help", command});
    EXPECT_EQ(asked.status, 0) << command;
    EXPECT_EQ(asked.out, result.out) << "help " << command;
  }
  const pack_test::ToolResult version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, StartsWith("zamrik-pack "));
  // Alone after build, --version is the tool's; with a value, the application's.
  const pack_test::ToolResult build_version = run_tool({"build", "--version"});
  EXPECT_EQ(build_version.status, 0);
  EXPECT_EQ(build_version.out, version.out);
  EXPECT_EQ(build_version.err, "");
}

// The level that build --help names, as the number after "default " on its --level line.
std::string level_named_by_help(const std::string& help) {
  const std::size_t line = help.find("--level N");
  const std::size_t at = help.find("(default ", line);
  if (line == std::string::npos || at == std::string::npos) return {};
  return help.substr(at + 9, help.find(')', at) - at - 9);
}

TEST(Cli, BuildsAtTheLevelThatHelpAndTheDocumentsName) {
  const pack_test::ToolResult help = run_tool({"build", "--help"});
  const std::string level = level_named_by_help(help.out);
  ASSERT_FALSE(level.empty()) << help.out;
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  std::string text;
  for (int i = 0; text.size() < (1 << 20); ++i) text += "line " + std::to_string(i * 7919 % 100003) + " of some text\n";
  write_file(dir / "app" / "text.txt", text);
  // Each under the same file name, which names the product, in a folder of its own.
  const auto packed = [&](const std::string& name, std::vector<std::string> options) {
    fs::create_directories(dir / name);
    std::vector<std::string> arguments{"build", (dir / "app").string(), "-o", (dir / name / "app.exe").string(), "-q"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    EXPECT_EQ(run_tool(arguments).status, 0) << name;
    return read_file(dir / name / "app.exe");
  };
  const std::string bare = packed("bare", {});
  EXPECT_EQ(bare, packed("named", {"--level", level})) << "a bare build is not at level " << level;
  EXPECT_NE(bare, packed("other", {"--level", level == "1" ? "2" : "1"})) << "the level changes nothing";

  // What the documents say, for a reader without the tool at hand.
  const std::string readme = read_file(fs::path(ZAMRIK_SOURCE_DIR) / "README.md");
  EXPECT_THAT(readme, HasSubstr("`--level N` (1 to 22, default " + level + ")"));
  const std::string benchmarks = read_file(fs::path(ZAMRIK_SOURCE_DIR) / "docs" / "BENCHMARKS.md");
  EXPECT_THAT(benchmarks, HasSubstr("The packer's default is level " + level + "**"));
}

// Every executable carries the launcher's license and the notices of what is linked into it.
TEST(Cli, WritesExecutablesThatCarryTheLicenseAndNotices) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  ASSERT_EQ(run_tool({"build", (dir / "app").string(), "-o", (dir / "a.exe").string(), "-q"}).status, 0);
  const std::string executable = read_file(dir / "a.exe");
  for (const auto& [name, sample] : {std::pair{"LICENSE", "Permission is granted to anyone"},
                                      std::pair{"THIRD-PARTY-NOTICES.txt", "For Zstandard software"}}) {
    const std::string text = read_file(fs::path(ZAMRIK_SOURCE_DIR) / name);
    ASSERT_THAT(text, HasSubstr(sample)) << name;
    EXPECT_NE(executable.find(text), std::string::npos) << name << " is not inside the executable";
  }
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
      {{"build", "-o", "a.exe"}, "build needs the application folder: zamrik-pack build APP_DIR", "zamrik-pack build --help"},
      {{"build", "app", "-o", "a.exe", "--version"}, "option '--version' needs a value: the application's version",
       "zamrik-pack build --help"},
      {{"help", "pack"}, "unknown command 'pack'", "zamrik-pack --help"},
      {{"build", "app", "-o", "a.exe", "--level", "0"}, "'--level' takes a whole number from 1 to 22", "build --help"},
      {{"build", "app", "-o", "a.exe", "--threads", "many"}, "'--threads' takes a whole number", "build --help"},
      {{"build", "app", "-o", "a.exe", "--version", "1.2.3"}, "is not of the form A.B.C.D", "build --help"},
      {{"build", "app", "-o", "a.exe", "--company", "\xff"}, "'--company' takes UTF-8 text", "build --help"},
      {{"build", "app", "-o", "a.exe", "--no-main-check"}, "--no-main-check needs --main", "build --help"},
      {{"list"}, "list needs the executable: zamrik-pack list EXE", "zamrik-pack list --help"},
      {{"verify", "a.exe", "b.exe"}, "verify takes one argument, not 2", "zamrik-pack verify --help"},
      {{"extract", "a.exe"}, "extract needs the folder to write into", "zamrik-pack extract --help"},
      {{"extract", "a.exe", "b", "c"}, "extract takes two arguments, not 3", "zamrik-pack extract --help"},
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
// may not grow to its full size: a failure of the system, named with the output and its reason.
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
  EXPECT_THAT(result.err, HasSubstr("zamrik-pack: error: " + (dir / "a.exe").string() + ": cannot write the executable: " +
                                    std::strerror(EFBIG)));
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

// The summary counts the user's files, one file as one; the runner is named, not counted.
TEST(Cli, SummarisesTheFilesOfTheFolder) {
  TempDir dir;
  fs::create_directories(dir / "one");
  fs::copy_file(fixture("main.dll"), dir / "one" / "main.dll");
  fs::create_directories(dir / "program");
  fs::copy_file(fixture("program.exe"), dir / "program" / "MyApp.exe");
  write_file(dir / "program" / "data.txt", "data");
  const pack_test::ToolResult one = run_tool({"build", (dir / "one").string(), "-o", (dir / "one.exe").string()});
  EXPECT_THAT(one.out, StartsWith("packed 1 file ("));
  const pack_test::ToolResult runs =
      run_tool({"build", (dir / "program").string(), "-o", (dir / "program.exe").string(), "--run", "MyApp.exe"});
  const std::uint64_t size = fs::file_size(fixture("program.exe")) + 4;
  EXPECT_THAT(runs.out, StartsWith("packed 2 files (" + pack::format_size(size) + ") and the runner into ")) << runs.out;
}

// What extract writes packs again into the same executable, with the options it prints.
TEST(Cli, ExtractsARunExecutableAsTheFolderThatBuildsItAgain) {
  TempDir dir;
  fs::create_directories(dir / "app" / "bin");
  fs::copy_file(fixture("program.exe"), dir / "app" / "bin" / "MyApp.exe");
  write_file(dir / "app" / "data.txt", "data");
  ASSERT_EQ(run_tool({"build", (dir / "app").string(), "-o", (dir / "first.exe").string(), "-q", "--run", "bin/MyApp.exe",
                      "--run-arg", "two words", "--run-arg", "-x"})
                .status,
            0);
  const pack_test::ToolResult extracted = run_tool({"extract", (dir / "first.exe").string(), (dir / "out").string()});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_THAT(extracted.out, StartsWith("extracted 2 files ("));
  EXPECT_FALSE(fs::exists(dir / "out" / "zamrik-runner.dll"));
  EXPECT_FALSE(fs::exists(dir / "out" / "zamrik-runner.run"));
  EXPECT_EQ(read_file(dir / "out" / "bin" / "MyApp.exe"), read_file(fixture("program.exe")));
  const std::string options = "--run bin/MyApp.exe --run-arg \"two words\" --run-arg -x";
  EXPECT_THAT(extracted.out, HasSubstr("it runs bin\\MyApp.exe; to pack it again: zamrik-pack build " + (dir / "out").string() +
                                       " -o OUT.exe " + options + "\n"));
  // Under the same file name, which names the product where the program has no version resource.
  fs::create_directories(dir / "again");
  ASSERT_EQ(run_tool({"build", (dir / "out").string(), "-o", (dir / "again" / "first.exe").string(), "-q", "--run",
                      "bin/MyApp.exe", "--run-arg", "two words", "--run-arg", "-x"})
                .status,
            0);
  EXPECT_EQ(read_file(dir / "first.exe"), read_file(dir / "again" / "first.exe"));
}

// A build killed outright leaves its partial file; the next build of that output removes it,
// but never one that a running build holds.
TEST(Cli, RemovesThePartialFilesOfKilledBuilds) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  write_file(dir / "app" / "noise.bin", std::string(8 << 20, 'x'));
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(ZAMRIK_PACK_TOOL, ZAMRIK_PACK_TOOL, "build", (dir / "app").c_str(), "-o", (dir / "a.exe").c_str(), "--level",
            "22", "-q", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto partials = [&] {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename().string().starts_with(".a.exe.partial-")) found.push_back(entry.path());
    }
    return found;
  };
  for (int i = 0; i < 1000 && partials().empty(); ++i) ::usleep(10000);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ASSERT_EQ(partials().size(), 1u) << "the killed build left no partial file";
  const fs::path killed = partials().front();
  // One that a live build holds: this process, with the writer's lock.
  const fs::path held = dir / ".a.exe.partial-held";
  write_file(held, "");
  const int held_fd = ::open(held.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held_fd, LOCK_EX), 0);
  const fs::path other = dir / ".b.exe.partial-other";
  write_file(other, "");
  // A file just made may not be locked yet; these are old.
  for (const fs::path& file : {killed, held, other}) fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));

  ASSERT_EQ(run_tool({"build", (dir / "app").string(), "-o", (dir / "a.exe").string(), "-q", "--level", "1"}).status, 0);
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(held)) << "removed the file of a running build";
  EXPECT_TRUE(fs::exists(other)) << "removed a file of another output";
  ::close(held_fd);
}

}  // namespace
