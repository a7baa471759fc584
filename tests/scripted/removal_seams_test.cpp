// The removal and the sweep against a name swapped between the listing that named it and its
// opening. os::open_directory is wrapped at link time so that the swap happens exactly there:
// a directory link where the system makes one, a file under Wine, which makes none. Where Wine
// can make neither a junction nor another owner, the wrappers answer as the system would.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "launcher/launcher.h"
#include "os/os.h"
#include "platform/remove_tree.h"
#include "support/test_directory.h"

// os::open_directory(Handle, const char16_t*, FileKind*)
extern "C" os::Handle __real__ZN2os14open_directoryEPvPKDsPNS_8FileKindE(os::Handle at, const char16_t* name, os::FileKind* kind);
// os::owned_by_current_user(Handle)
extern "C" bool __real__ZN2os21owned_by_current_userEPv(os::Handle directory);

namespace {

namespace fs = std::filesystem;
using test_support::launcher_path;
using test_support::read_file;
using test_support::TestDirectory;
using test_support::write_file;

struct Swap {
  std::u16string name;  // the end of the name that it waits for
  std::function<void()> action;
} armed;
// The next directory opened under that name reads as a reparse point, which Wine cannot make.
std::u16string reparse_point;
// The next owner asked for is another user.
bool foreign_owner = false;

// Puts a link to what the directory held, or a file where no link can be made, in its place.
void swap_for_link(const fs::path& directory, const fs::path& moved) {
  fs::rename(directory, moved);
  std::error_code error;
  fs::create_directory_symlink(moved, directory, error);
  if (os::file_kind(launcher_path(directory).c_str()) != os::FileKind::directory_link) {
    fs::remove(directory, error);
    write_file(directory, "a file where the directory was");
  }
}

std::string stale_name() { return "onefile_2147483632_123456_AbC-_09xyzQ"; }

TEST(RemovalSeam, ANameSwappedAfterTheListingIsRemovedAsItselfAndNeverFollowed) {
  TestDirectory scratch;
  const fs::path tree = scratch.path() / "tree";
  write_file(tree / "sub" / "a.txt", "a");
  write_file(tree / "sub" / "deeper" / "b.txt", "b");
  write_file(tree / "top.txt", "top");
  const fs::path moved = scratch.path() / "elsewhere";
  armed = {u"sub", [&] { swap_for_link(tree / "sub", moved); }};

  EXPECT_TRUE(platform::remove_tree(launcher_path(tree).c_str()));
  EXPECT_FALSE(armed.action) << "the swap never happened";
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_EQ(read_file(moved / "a.txt"), "a");
  EXPECT_EQ(read_file(moved / "deeper" / "b.txt"), "b");
}

TEST(RemovalSeam, TheSweepLeavesADirectorySwappedAfterTheListing) {
  TestDirectory scratch;
  const fs::path directory = scratch.path() / "temp" / stale_name();
  write_file(directory / "main.dll", "library");
  write_file(directory / "data" / "file.txt", "data");
  const fs::path moved = scratch.path() / "elsewhere";
  const std::string name = stale_name();
  armed = {std::u16string(name.begin(), name.end()), [&] { swap_for_link(directory, moved); }};

  launcher::sweep_stale_directories(launcher_path(scratch.path() / "temp").c_str(), u"", {});
  EXPECT_FALSE(armed.action) << "the swap never happened";
  EXPECT_TRUE(fs::exists(fs::symlink_status(directory))) << "what took the name is not the sweep's";
  EXPECT_EQ(read_file(moved / "main.dll"), "library");
  EXPECT_EQ(read_file(moved / "data" / "file.txt"), "data");
}

TEST(RemovalSeam, TheSweepLeavesAReparsePointAndAnotherUsersDirectory) {
  TestDirectory scratch;
  const fs::path directory = scratch.path() / stale_name();
  write_file(directory / "main.dll", "library");
  const std::string name = stale_name();
  reparse_point = std::u16string(name.begin(), name.end());
  launcher::sweep_stale_directories(launcher_path(scratch.path()).c_str(), u"", {});
  EXPECT_TRUE(reparse_point.empty()) << "never opened";
  EXPECT_EQ(read_file(directory / "main.dll"), "library") << "what a reparse point leads to was removed";

  foreign_owner = true;
  launcher::sweep_stale_directories(launcher_path(scratch.path()).c_str(), u"", {});
  EXPECT_FALSE(foreign_owner) << "the owner was never asked";
  EXPECT_EQ(read_file(directory / "main.dll"), "library") << "another user's directory was removed";

  launcher::sweep_stale_directories(launcher_path(scratch.path()).c_str(), u"", {});
  EXPECT_FALSE(fs::exists(directory)) << "the user's own stale directory goes";
}

}  // namespace

extern "C" bool __wrap__ZN2os21owned_by_current_userEPv(os::Handle directory) {
  if (foreign_owner) {
    foreign_owner = false;
    return false;
  }
  return __real__ZN2os21owned_by_current_userEPv(directory);
}

extern "C" os::Handle __wrap__ZN2os14open_directoryEPvPKDsPNS_8FileKindE(os::Handle at, const char16_t* name, os::FileKind* kind) {
  const std::u16string_view given(name);
  if (armed.action && given.size() >= armed.name.size() && given.substr(given.size() - armed.name.size()) == armed.name) {
    const std::function<void()> action = std::move(armed.action);
    armed.action = nullptr;
    action();
  }
  if (!reparse_point.empty() && given.size() >= reparse_point.size() &&
      given.substr(given.size() - reparse_point.size()) == reparse_point) {
    reparse_point.clear();
    // What the handle's check finds for a junction: a directory that is a reparse point.
    *kind = os::FileKind::directory_link;
    return os::invalid_handle;
  }
  return __real__ZN2os14open_directoryEPvPKDsPNS_8FileKindE(at, name, kind);
}
