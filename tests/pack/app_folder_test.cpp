#include "app_folder.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pack_error.h"
#include "pack_test_support.h"
#include "payload/attached_data_writer.h"

namespace {

namespace fs = std::filesystem;
using pack_test::fixture;
using pack_test::TempDir;
using pack_test::write_file;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

// An application folder with a main library and two data files.
void make_app(const fs::path& root) {
  fs::create_directories(root);
  fs::copy_file(fixture("main.dll"), root / "main.dll");
  write_file(root / "a.txt", "alpha");
  write_file(root / "data" / "b.txt", "bravo!");
}

std::vector<std::u16string> paths_of(const pack::AppFolder& folder) {
  std::vector<std::u16string> paths;
  for (const pack::AppFile& file : folder.files) paths.push_back(file.path);
  return paths;
}

// The scan's refusal message, or "" when it accepted the folder.
std::string refusal(const fs::path& root, const std::optional<std::string>& main = std::nullopt) {
  try {
    pack::scan_app_folder(root, main);
  } catch (const pack::InputError& error) {
    return error.what();
  }
  return "";
}

TEST(AppFolder, PutsTheMainLibraryFirstAndTheRestInNameOrder) {
  TempDir dir;
  make_app(dir / "app");
  write_file(dir / "app" / "Z.txt", "");
  write_file(dir / "app" / "data" / "deeper" / "c.bin", "c");
  const pack::AppFolder folder = pack::scan_app_folder(dir / "app", std::nullopt);
  EXPECT_THAT(paths_of(folder), ElementsAre(u"main.dll", u"Z.txt", u"a.txt", u"data\\b.txt", u"data\\deeper\\c.bin"));
  EXPECT_EQ(folder.files[1].size, 0u);
  EXPECT_EQ(folder.content_size, fs::file_size(fixture("main.dll")) + 5 + 6 + 1);
  EXPECT_TRUE(folder.warnings.empty());
}

TEST(AppFolder, TakesTheMainLibraryThatIsNamedOrTheOnlyOneWithOrdinalOne) {
  TempDir dir;
  make_app(dir / "app");
  fs::copy_file(fixture("other.dll"), dir / "app" / "helper.dll");  // exports ordinal 2 only
  EXPECT_EQ(paths_of(pack::scan_app_folder(dir / "app", std::nullopt)).front(), u"main.dll");

  fs::create_directories(dir / "app" / "bin");
  fs::copy_file(fixture("main.dll"), dir / "app" / "bin" / "second.dll");
  EXPECT_THAT(refusal(dir / "app"), AllOf(HasSubstr("several DLLs export ordinal 1 (bin\\second.dll, main.dll)"),
                                          HasSubstr("--main")));
  for (const std::string main : {"bin/second.dll", "bin\\second.dll", "./bin/second.dll"}) {
    EXPECT_EQ(paths_of(pack::scan_app_folder(dir / "app", main)).front(), u"bin\\second.dll") << main;
  }
}

TEST(AppFolder, RefusesAMissingOrUnfitMainLibrary) {
  TempDir dir;
  make_app(dir / "app");
  fs::copy_file(fixture("other.dll"), dir / "app" / "helper.dll");
  fs::copy_file(fixture("program.exe"), dir / "app" / "tool.exe");
  EXPECT_THAT(refusal(dir / "app", "missing.dll"), HasSubstr("--main missing.dll: no such file in"));
  EXPECT_THAT(refusal(dir / "app", "helper.dll"),
              HasSubstr("helper.dll: the main library exports no function under ordinal 1"));
  EXPECT_THAT(refusal(dir / "app", "tool.exe"), HasSubstr("tool.exe: the main library is an executable, not a DLL"));
  EXPECT_THAT(refusal(dir / "app", "a.txt"), HasSubstr("a.txt: the main library is not a PE32+ x86-64 DLL"));
  EXPECT_EQ(paths_of(pack::scan_app_folder(dir / "app", "helper.dll", false)).front(), u"helper.dll");
  fs::remove(dir / "app" / "main.dll");
  // A folder of a finished program needs --run, not a main library: the message names both.
  EXPECT_THAT(refusal(dir / "app"), HasSubstr("no DLL exports ordinal 1, so there is no main library; build one that does, "
                                              "or name it with --main; or run a program of the folder with --run (here: tool.exe)"));
  fs::remove(dir / "app" / "tool.exe");
  EXPECT_THAT(refusal(dir / "app"), HasSubstr("or run a program of the folder with --run PROGRAM.exe"));
}

TEST(AppFolder, RefusesNamesThatWindowsWouldChangeOrMisread) {
  struct Case {
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"NUL.txt", "reserves for a device"},   {"con", "reserves for a device"}, {"data/LPT1.log", "reserves for a device"},
      {"trailing.", "ends in a dot"},         {"space ", "ends in a space"},    {"colon:name", "':'"},
      {"what?", "'?'"},                       {"back\\slash", "folder separator"}, {"ctl\x01", "U+0001"},
      {"bad\xff.txt", "not valid UTF-8"},     {"dir./inner.txt", "ends in a dot"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    make_app(dir / "app");
    write_file(dir / "app" / c.name, "x");
    EXPECT_THAT(refusal(dir / "app"), AllOf(HasSubstr((dir / "app").string()), HasSubstr(c.reason))) << c.name;
  }
}

// The runner reads the record beside itself, wherever the folder puts it, and the launcher
// writes its mark at the top of the unpack directory: a user's file must take neither place.
TEST(AppFolder, RefusesTheNamesOfTheRunnersRecordAndTheLaunchersMark) {
  struct Case {
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"zamrik-runner.run", "has the name of the runner's own file"},
      {"bin/Zamrik-Runner.RUN", "has the name of the runner's own file"},
      {"zamrik-child.id", "has the name of the launcher's own file"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    make_app(dir / "app");
    write_file(dir / "app" / c.name, "x");
    EXPECT_THAT(refusal(dir / "app"), AllOf(HasSubstr(c.name), HasSubstr(c.reason))) << c.name;
  }
  TempDir deeper;
  make_app(deeper / "app");
  write_file(deeper / "app" / "data" / "zamrik-child.id", "only the top is the launcher's");
  EXPECT_NO_THROW(pack::scan_app_folder(deeper / "app", std::nullopt));
}

TEST(AppFolder, RefusesNamesThatDifferOnlyInCase) {
  TempDir dir;
  make_app(dir / "app");
  write_file(dir / "app" / "README.txt", "1");
  write_file(dir / "app" / "readme.txt", "2");
  EXPECT_THAT(refusal(dir / "app"), HasSubstr("differs from README.txt only in case"));

  TempDir other;
  make_app(other / "app");
  write_file(other / "app" / "DATA", "a file beside the folder data");
  EXPECT_THAT(refusal(other / "app"), HasSubstr("a file with the name of the folder data"));
}

TEST(AppFolder, FollowsLinksInsideTheFolderAndRefusesTheRest) {
  TempDir dir;
  make_app(dir / "app");
  write_file(dir / "outside.txt", "secret");
  fs::create_directories(dir / "outside-dir");
  fs::create_symlink("a.txt", dir / "app" / "copy.txt");
  fs::create_directory_symlink("data", dir / "app" / "more");
  const pack::AppFolder folder = pack::scan_app_folder(dir / "app", std::nullopt);
  EXPECT_THAT(paths_of(folder),
              ElementsAre(u"main.dll", u"a.txt", u"copy.txt", u"data\\b.txt", u"more\\b.txt"));

  struct Case {
    const char* name;
    fs::path target;
    const char* reason;
  };
  const Case cases[] = {
      {"leak.txt", dir / "outside.txt", "outside the application folder"},
      {"leak-dir", dir / "outside-dir", "outside the application folder"},
      {"up.txt", "../outside.txt", "outside the application folder"},
      {"broken.txt", "nowhere.txt", "broken link"},
      {"loop", ".", "which would make a loop"},
  };
  for (const Case& c : cases) {
    fs::create_symlink(c.target, dir / "app" / c.name);
    EXPECT_THAT(refusal(dir / "app"), AllOf(HasSubstr(c.name), HasSubstr(c.reason))) << c.name;
    fs::remove(dir / "app" / c.name);
  }
}

TEST(AppFolder, RefusesSpecialFilesAndEmptyFolders) {
  TempDir dir;
  make_app(dir / "app");
  ASSERT_EQ(::mkfifo((dir / "app" / "pipe").c_str(), 0600), 0);
  EXPECT_THAT(refusal(dir / "app"), HasSubstr("pipe: not a regular file, folder or link"));

  TempDir empty;
  fs::create_directories(empty / "app");
  EXPECT_THAT(refusal(empty / "app"), HasSubstr("holds no files to pack"));
  EXPECT_THAT(refusal(empty / "missing"), HasSubstr("no such folder"));
}

TEST(AppFolder, WarnsAboutEmptyFoldersAndLongPaths) {
  TempDir dir;
  make_app(dir / "app");
  fs::create_directories(dir / "app" / "empty");
  // 15 levels of 250 units and a name: more than 3,800 units, within the host's own path limit.
  fs::path deep = dir / "app";
  for (int level = 0; level < 15; ++level) deep /= std::string(250, static_cast<char>('a' + level));
  const std::string name = "a-file-with-a-name-long-enough-to-pass-the-mark.txt";
  write_file(deep / name, "far down");
  const std::size_t units = 15 * 251 + name.size();
  const pack::AppFolder folder = pack::scan_app_folder(dir / "app", std::nullopt);
  const std::string warnings = testing::PrintToString(folder.warnings);
  EXPECT_THAT(warnings, HasSubstr("empty: empty folder, left out"));
  EXPECT_THAT(warnings, HasSubstr("the path has " + std::to_string(units) + " units and leaves only " +
                                  std::to_string(4094 - units)));
  EXPECT_THAT(warnings, HasSubstr("1 path(s) longer than 180 units"));
}

TEST(AppFolder, PredictsTheTableThatTheBuilderWrites) {
  TempDir dir;
  make_app(dir / "app");
  const pack::AppFolder folder = pack::scan_app_folder(dir / "app", std::nullopt);
  std::vector<payload::AttachedFile> entries;
  for (const pack::AppFile& file : folder.files) entries.push_back({file.path, {}, file.source});
  std::stringstream block;
  const payload::AttachedDataSummary summary = payload::write_attached_data(entries, {}, block);
  EXPECT_EQ(pack::table_size_for(folder.files), summary.table_size);
  EXPECT_EQ(pack::table_size_for(folder.files), (12 + 2 * 9) + (12 + 2 * 6) + (12 + 2 * 11));
}

}  // namespace
