// Input that changes under the packer, and builds that fail late: the build ends with a clear
// message, leaves no half-written executable and no scratch files, and an executable from an
// earlier build stays as it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "pack_test_support.h"
#include "payload/attached_data_writer.h"

namespace {

using pack_test::fixture;
using pack_test::read_file;
using pack_test::TempDir;
using pack_test::write_file;
using testing::HasSubstr;
using testing::UnorderedElementsAre;
namespace fs = std::filesystem;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  return names;
}

// The change is made from the first progress report, so it falls between the moment the sizes
// are taken and the moment the changed file is read, as a change by another program during a
// long build would: in one frame, and in frames of 1 MiB, where the changed file is in the fifth
// frame and the workers read no more than two frames ahead of the one written.
TEST(ChangingFolder, AFileThatChangesWhileItIsPackedEndsTheBlock) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& file)> change;
    const char* message;
  };
  const Case cases[] = {
      {"grows", [](const fs::path& file) { std::ofstream(file, std::ios::app) << "more"; },
       "z.txt: the file changed while it was packed"},
      {"shrinks", [](const fs::path& file) { fs::resize_file(file, 1); }, "z.txt: the file changed while it was packed"},
      {"vanishes", [](const fs::path& file) { fs::remove(file); }, "z.txt: cannot open for reading"},
  };
  for (const Case& c : cases) {
    for (const std::uint64_t frame_target : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
      const std::string what = std::string(c.what) + ", frames of " + std::to_string(frame_target);
      TempDir dir;
      write_file(dir / "a.bin", std::string(3 << 20, 'a'));
      write_file(dir / "z.txt", "0123456789");
      bool changed = false;
      payload::AttachedDataOptions options;
      options.level = 1;
      options.threads = 1;
      options.frame_target = frame_target;
      options.progress = [&](std::uint64_t, std::uint64_t) {
        if (!changed) c.change(dir / "z.txt");
        changed = true;
      };
      std::ostringstream out;
      try {
        payload::write_attached_data({{u"main.dll", "MZ", {}}, {u"a.bin", {}, dir / "a.bin"}, {u"z.txt", {}, dir / "z.txt"}},
                                     options, out);
        ADD_FAILURE() << what << ": the block was written";
      } catch (const payload::AttachedDataError& error) {
        EXPECT_THAT(error.what(), HasSubstr(c.message)) << what;
      }
      EXPECT_TRUE(changed) << what;
    }
  }
}

TEST(ChangingFolder, ARefusedOrFailedBuildLeavesAnEarlierExecutableAsItWas) {
  TempDir dir;
  fs::create_directories(dir / "app");
  fs::copy_file(fixture("main.dll"), dir / "app" / "main.dll");
  const std::vector<std::string> build = {"build", (dir / "app").string(), "-o", (dir / "a.exe").string()};
  ASSERT_EQ(pack_test::run_tool(build).status, 0);
  const std::uint64_t size = fs::file_size(dir / "a.exe");
  write_file(dir / "a.exe", "an earlier build");

  // Fails at the last step, after the whole block has been written: the file may not grow to
  // its full size.
  pack_test::ToolResult result = pack_test::run_tool(build, size - 1);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(read_file(dir / "a.exe"), "an earlier build");
  EXPECT_THAT(names_in(dir.path()), UnorderedElementsAre("app", "a.exe"));

  // Refused before anything is written.
  write_file(dir / "app" / "CON.txt", "x");
  result = pack_test::run_tool(build);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_THAT(result.err, HasSubstr("which Windows reserves for a device"));
  EXPECT_EQ(read_file(dir / "a.exe"), "an earlier build");
  EXPECT_THAT(names_in(dir.path()), UnorderedElementsAre("app", "a.exe"));
}

}  // namespace
