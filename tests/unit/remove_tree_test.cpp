#include "platform/remove_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "os/os.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using test_support::aborted;
using test_support::launcher_path;
using test_support::TestDirectory;
using test_support::write_file;
using testing::Eq;

bool remove_tree(const fs::path& path) { return platform::remove_tree(launcher_path(path).c_str()); }

// Read-only on Windows; immutable on Linux, where root deletes anything from a directory.
bool set_undeletable(const fs::path& file, bool undeletable) {
#ifdef _WIN32
  std::error_code error;
  fs::permissions(file, fs::perms::owner_write, undeletable ? fs::perm_options::remove : fs::perm_options::add, error);
  return !error;
#else
  const int descriptor = ::open(file.c_str(), O_RDONLY);
  if (descriptor < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
  flags = undeletable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(descriptor);
  return ok;
#endif
}

TEST(RemoveTreeTest, RemovesFilesAndNestedTrees) {
  TestDirectory scratch;
  const fs::path tree = scratch.path() / "tree";
  write_file(tree / "a" / "b" / "c" / "deep.txt", "deep");
  write_file(tree / "a" / "side.txt", "side");
  write_file(tree / "top.txt", "");
  fs::create_directories(tree / "empty" / "empty too");
  write_file(scratch.path() / "single file", "x");

  EXPECT_TRUE(remove_tree(tree));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_TRUE(remove_tree(scratch.path() / "single file"));
  EXPECT_FALSE(fs::exists(scratch.path() / "single file"));
  // Nothing there counts as removed.
  EXPECT_TRUE(remove_tree(scratch.path() / "never there"));
  EXPECT_TRUE(fs::is_directory(scratch.path()));
}

TEST(RemoveTreeTest, APathThatCannotBeExaminedIsNotReportedGone) {
  // The callers stop retrying on true, so only "no such file" counts as gone.
  TestDirectory scratch;
  std::error_code error;
  fs::create_directory_symlink("loop", scratch.path() / "loop", error);
  struct Case {
    std::u16string path;
    bool removed;
  };
  const Case cases[] = {
      {scratch.launcher("never there"), true},
      {scratch.launcher(fs::path("missing") / "below"), true},
#ifdef _WIN32
      {scratch.launcher() + u"\\a*b", false},     // a name the system refuses
      {scratch.launcher() + u"\\a?\\x", false},
#else
      {scratch.launcher(fs::path("loop") / "x"), false},  // a link that leads to itself
      {scratch.launcher(std::string(300, 'n')), false},   // a name longer than the file system takes
#endif
  };
  for (const Case& c : cases) EXPECT_EQ(platform::remove_tree(c.path.c_str()), c.removed) << test_support::narrow(c.path);
}

TEST(RemoveTreeTest, RemovesLinksAsLinksAndLeavesTheirTargets) {
  TestDirectory scratch;
  const fs::path outside = scratch.path() / "outside";
  write_file(outside / "keep" / "kept.txt", "kept");
  write_file(scratch.path() / "kept file.txt", "kept");
  const fs::path tree = scratch.path() / "tree";
  fs::create_directories(tree / "sub");
  std::error_code error;
  fs::create_directory_symlink(outside, tree / "sub" / "directory link", error);
  fs::create_symlink(scratch.path() / "kept file.txt", tree / "file link", error);
  if (os::file_kind(launcher_path(tree / "sub" / "directory link").c_str()) != os::FileKind::directory_link) {
    GTEST_SKIP() << "this system made no directory link (Wine reports success without creating one and has no "
                    "junctions); the POSIX backend shows the behaviour";
  }

  EXPECT_TRUE(remove_tree(tree));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(test_support::read_file(outside / "keep" / "kept.txt"), "kept");
  EXPECT_EQ(test_support::read_file(scratch.path() / "kept file.txt"), "kept");
}

TEST(RemoveTreeTest, FileThatCannotBeDeletedKeepsTheDirectoriesAboveIt) {
  TestDirectory scratch;
  const fs::path tree = scratch.path() / "tree";
  const fs::path locked = tree / "a" / "b" / "locked.txt";
  write_file(locked, "locked");
  write_file(tree / "a" / "b" / "other.txt", "");
  write_file(tree / "a" / "c" / "x.txt", "");
  write_file(tree / "file.txt", "");
  fs::create_directories(tree / "empty");
  if (!set_undeletable(locked, true)) GTEST_SKIP() << "this file system cannot protect a file from deletion";

  const bool removed = remove_tree(tree);
  const bool locked_left = fs::exists(locked);
  set_undeletable(locked, false);

  EXPECT_FALSE(removed);
  EXPECT_TRUE(locked_left);
  // Everything else went; a second call finishes the job.
  EXPECT_FALSE(fs::exists(tree / "a" / "b" / "other.txt"));
  EXPECT_FALSE(fs::exists(tree / "a" / "c"));
  EXPECT_FALSE(fs::exists(tree / "file.txt"));
  EXPECT_FALSE(fs::exists(tree / "empty"));
  EXPECT_TRUE(remove_tree(tree));
  EXPECT_FALSE(fs::exists(tree));
}

TEST(RemoveTreeTest, WithinLimitsStopsWhenAskedOrOutOfTime) {
  TestDirectory scratch;
  const fs::path tree = scratch.path() / "tree";
  write_file(tree / "a" / "file.txt", "x");
  write_file(tree / "b.txt", "x");
  const std::u16string path = launcher_path(tree);
  const std::atomic<bool> stopped{true};
  EXPECT_FALSE(platform::remove_tree(path.c_str(), {&stopped}));
  EXPECT_FALSE(platform::remove_tree(path.c_str(), {nullptr, os::monotonic_milliseconds() - 1}));
  EXPECT_TRUE(fs::exists(tree / "a" / "file.txt"));
  EXPECT_TRUE(fs::exists(tree / "b.txt"));
  const std::atomic<bool> going{false};
  EXPECT_TRUE(platform::remove_tree(path.c_str(), {&going, os::monotonic_milliseconds() + 60000}));
  EXPECT_FALSE(fs::exists(tree));
}

// A directory named by a path of exactly length units: "\." components make the text long
// while the directory itself, at real, stays near the top of the file system.
struct PaddedDirectory {
  std::u16string path;
  fs::path real;
};

PaddedDirectory padded_directory(const fs::path& base, std::size_t length, std::string leaf) {
  std::u16string path = launcher_path(base);
  std::size_t left = length - path.size() - 1 - leaf.size();
  if (left % 2 == 1) {
    leaf += 'x';
    --left;
  }
  for (; left > 0; left -= 2) path += u"\\.";
  path += u"\\" + std::u16string(leaf.begin(), leaf.end());
  fs::create_directories(base / leaf);
  return {path, base / leaf};
}

TEST(RemoveTreeDeathTest, PathsBeyondTheBufferAbort) {
  TestDirectory scratch;
  // The listing pattern, "\*" and a terminator must fit 4096 units.
  const PaddedDirectory listable = padded_directory(scratch.path(), 4093, "listable");
  write_file(listable.real / "c", "");  // its path, 4095 units, just fits
  EXPECT_TRUE(platform::remove_tree(listable.path.c_str()));
  EXPECT_FALSE(fs::exists(listable.real));
  for (std::size_t length : {4094, 4095}) {
    const PaddedDirectory too_long = padded_directory(scratch.path(), length, "too long");
    EXPECT_EXIT(platform::remove_tree(too_long.path.c_str()), aborted(), Eq("")) << length;
  }

  // A child path (directory, "\", name) must leave room for its terminator.
  const std::string name(100, 'n');
  const PaddedDirectory fits = padded_directory(scratch.path(), 4095 - 1 - name.size(), "fits");
  write_file(fits.real / name, "");
  EXPECT_TRUE(platform::remove_tree(fits.path.c_str()));
  EXPECT_FALSE(fs::exists(fits.real));
  const PaddedDirectory overflows = padded_directory(scratch.path(), 4096 - 1 - name.size(), "overflows");
  write_file(overflows.real / name, "");
  EXPECT_EXIT(platform::remove_tree(overflows.path.c_str()), aborted(), Eq(""));
  EXPECT_TRUE(fs::exists(overflows.real / name));
}

TEST(RemoveTreeTest, WithinLimitsPathsBeyondTheBufferStayAndTheRestGoes) {
  TestDirectory scratch;
  const platform::RemovalLimits limits;
  const PaddedDirectory too_long = padded_directory(scratch.path(), 4094, "too long");
  EXPECT_FALSE(platform::remove_tree(too_long.path.c_str(), limits));
  EXPECT_TRUE(fs::exists(too_long.real));

  const std::string name(100, 'n');
  const PaddedDirectory overflows = padded_directory(scratch.path(), 4096 - 1 - name.size(), "overflows");
  write_file(overflows.real / name, "");
  write_file(overflows.real / "short", "");
  EXPECT_FALSE(platform::remove_tree(overflows.path.c_str(), limits));
  EXPECT_TRUE(fs::exists(overflows.real / name));
  EXPECT_FALSE(fs::exists(overflows.real / "short"));
}

}  // namespace
