#include "run_target.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <span>

#include "bytes/little_endian.h"
#include "pack_error.h"
#include "pack_test_support.h"
#include "payload/attached_data_writer.h"
#include "pe_image.h"
#include "runner/run_record.h"

namespace {

namespace fs = std::filesystem;
using pack_test::fixture;
using pack_test::read_file;
using pack_test::run_tool;
using pack_test::TempDir;
using pack_test::write_file;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

std::span<const std::uint8_t> bytes_of(const std::string& file) {
  return {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
}

// program.exe with its machine field set to 32-bit x86.
std::string x86_program() {
  std::string file = read_file(fixture("program.exe"));
  const std::size_t pe = little_endian::load_u32(&file[0x3C]);
  file[pe + 4] = '\x4c', file[pe + 5] = '\x01';
  return file;
}

TEST(ProgramProblem, NamesWhatKeepsAFileFromRunningAsTheProgram) {
  struct Case {
    const char* label;
    std::string file;
    const char* problem;
  };
  const Case cases[] = {
      {"program", read_file(fixture("program.exe")), ""},
      {"library", read_file(fixture("main.dll")), "is a DLL, not a program"},
      {"x86 machine", x86_program(), "is built for x86 (32-bit), not x86-64"},
      {"text", "just some text, long enough to hold a DOS header's worth of bytes: 0123456789abcdef",
       "is not an x86-64 Windows program: not a PE image (no MZ header)"},
  };
  for (const Case& c : cases) {
    const std::string problem = pack::program_problem(bytes_of(c.file));
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "") << c.label;
    } else {
      EXPECT_THAT(problem, HasSubstr(c.problem)) << c.label;
    }
  }
}

class RunFolder : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "app" / "tools");
    fs::copy_file(fixture("program.exe"), dir_ / "app" / "MyApp.exe");
    fs::copy_file(fixture("main.dll"), dir_ / "app" / "helper.dll");
    write_file(dir_ / "app" / "x86.exe", x86_program());
    write_file(dir_ / "app" / "notes.txt", "plain text");
    write_file(dir_ / "app" / "tools" / "data.bin", "data");
  }

  pack::AppFolder scan(const std::string& program, const std::vector<std::string>& arguments = {}) {
    return pack::scan_run_folder(dir_ / "app", {program, arguments});
  }

  TempDir dir_;
};

TEST_F(RunFolder, PutsTheRunnerAndItsRecordFirstAndThenTheProgram) {
  const pack::AppFolder folder = scan("./MyApp.exe", {"--flag", "two words", ""});
  std::vector<std::u16string> paths;
  for (const pack::AppFile& file : folder.files) paths.push_back(file.path);
  EXPECT_THAT(paths, ElementsAre(u"zamrik-runner.dll", u"zamrik-runner.run", u"MyApp.exe", u"helper.dll", u"notes.txt",
                                 u"tools\\data.bin", u"x86.exe"));
  const std::span<const std::uint8_t> runner = pack::embedded_runner_library();
  EXPECT_EQ(folder.files[0].contents, std::string(runner.begin(), runner.end()));
  EXPECT_EQ(pack::main_library_problem(runner), "") << "the packer carries a real main library";
  const std::optional<runner::RunRecord> record = runner::decode_run_record(bytes_of(folder.files[1].contents));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->program, u"MyApp.exe");
  EXPECT_THAT(record->arguments, ElementsAre(u"--flag", u"two words", u""));
  std::uint64_t total = 0;
  for (const pack::AppFile& file : folder.files) total += file.size;
  EXPECT_EQ(folder.content_size, total);
  EXPECT_EQ(folder.files[1].size, folder.files[1].contents.size());
}

TEST_F(RunFolder, RefusesARunTargetThatIsNoX86_64ProgramInTheFolderNamingIt) {
  struct Case {
    std::string program;
    std::string message;
  };
  const Case cases[] = {
      {"missing.exe", "--run missing.exe: no such file in " + (dir_ / "app").string()},
      {"helper.dll", "--run helper.dll: " + (dir_ / "app" / "helper.dll").string() + " is a DLL, not a program"},
      {"x86.exe", "--run x86.exe: " + (dir_ / "app" / "x86.exe").string() + " is built for x86 (32-bit), not x86-64"},
      {"notes.txt", "--run notes.txt: " + (dir_ / "app" / "notes.txt").string() + " is not an x86-64 Windows program"},
      {"tools", "--run tools: not a file in"},
      {"../app/MyApp.exe", "--run ../app/MyApp.exe: the path "},
      {"", "--run : not a path inside"},
  };
  for (const Case& c : cases) {
    // Through the tool, as the user meets it: status 1 and the message.
    const pack_test::ToolResult result =
        run_tool({"build", (dir_ / "app").string(), "-o", (dir_ / "out.exe").string(), "--run", c.program});
    EXPECT_EQ(result.status, 1) << c.program;
    EXPECT_THAT(result.err, HasSubstr("zamrik-pack: error: " + c.message)) << c.program;
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
  }
}

TEST_F(RunFolder, RefusesAFolderThatHoldsTheRunnersOwnNames) {
  for (const char* name : {"Zamrik-Runner.RUN", "zamrik-runner.dll"}) {
    write_file(dir_ / "app" / name, "mine");
    EXPECT_THROW(
        try { scan("MyApp.exe"); } catch (const pack::InputError& error) {
          EXPECT_THAT(error.what(), AllOf(HasSubstr(name), HasSubstr("has the name of the runner's own file")));
          throw;
        },
        pack::InputError)
        << name;
    fs::remove(dir_ / "app" / name);
  }
}

TEST(RunOptions, ComeTogetherOrNotAtAll) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{"build", "app", "-o", "a.exe", "--run", "a.exe", "--main", "main.dll"}, "leave out --main"},
      {{"build", "app", "-o", "a.exe", "--run-arg", "x"}, "--run-arg gives arguments to the program that --run names"},
      {{"build", "app", "-o", "a.exe", "--run", "a.exe", "--run-arg", "\xff"}, "'--run-arg' takes UTF-8 text"},
  };
  for (const Case& c : cases) {
    const pack_test::ToolResult result = run_tool(c.arguments);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_THAT(result.err, AllOf(HasSubstr(c.message), HasSubstr("zamrik-pack build --help"))) << c.message;
  }
}

pack::AttachedDataContents contents_of(const std::vector<std::uint8_t>& data) { return pack::read_attached_data(data); }

std::vector<std::uint8_t> attached_data_of(const std::vector<payload::AttachedFile>& entries) {
  payload::AttachedDataOptions options;
  options.level = 3;
  options.checksum = true;
  return payload::build_attached_data(entries, options);
}

std::string record_of(const std::u16string& program, const std::vector<std::u16string>& arguments) {
  return runner::encode_run_record({program, arguments});
}

TEST(WhatRuns, ReadsTheRecordBackAsACommandLine) {
  const std::string runner(200000, 'r');  // larger than one of the decoder's output buffers
  const std::vector<std::uint8_t> packed = attached_data_of({{u"zamrik-runner.dll", runner, {}},
                                                     {u"zamrik-runner.run", record_of(u"bin\\My App.exe", {u"--flag", u"two words", u"", u"say \"hi\""}), {}},
                                                     {u"bin\\My App.exe", "MZ", {}}});
  EXPECT_EQ(pack::what_runs(contents_of(packed)), R"("bin\My App.exe" --flag "two words" "" "say \"hi\"")");

  const std::vector<std::uint8_t> library = attached_data_of({{u"main.dll", "MZ", {}}, {u"zamrik-runner.run", "", {}}});
  EXPECT_EQ(pack::what_runs(contents_of(library)), std::nullopt) << "a main library of its own runs nothing else";
}

TEST(WhatRuns, RefusesADamagedRecordOrOneThatNamesNoPackedProgram) {
  struct Case {
    const char* label;
    std::string record;
    const char* message;
  };
  const Case cases[] = {
      {"not a record", "just text", "the runner's record is damaged"},
      {"no program", record_of(u"", {}), "the runner's record is damaged"},
      {"cut short", record_of(u"app.exe", {u"x"}).substr(0, 30), "the runner's record is damaged"},
      {"not packed", record_of(u"other.exe", {}), "other.exe: the runner's record names a program that is not packed"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> packed =
        attached_data_of({{u"zamrik-runner.dll", "MZ", {}}, {u"zamrik-runner.run", c.record, {}}, {u"app.exe", "MZ", {}}});
    EXPECT_THROW(
        try { pack::what_runs(contents_of(packed)); } catch (const pack::InputError& error) {
          EXPECT_THAT(error.what(), HasSubstr(c.message)) << c.label;
          throw;
        },
        pack::InputError)
        << c.label;
  }
}

}  // namespace
