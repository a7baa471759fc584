// A scratch directory for tests that touch the file system, and the conversions between
// std::filesystem paths and the launcher's UTF-16 paths with "\" as the only separator.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

namespace test_support {

namespace fs = std::filesystem;

// The launcher's spelling of a path: on POSIX every "/" becomes "\", which the POSIX backend
// turns back at the system boundary.
inline std::u16string launcher_path(const fs::path& path) {
  std::u16string text = path.u16string();
  for (char16_t& c : text) {
    if (c == u'/') c = u'\\';
  }
  return text;
}

inline fs::path native_path(std::u16string_view launcher) {
  std::u16string text(launcher);
#ifndef _WIN32
  for (char16_t& c : text) {
    if (c == u'\\') c = u'/';
  }
#endif
  return fs::path(text);
}

inline void write_file(const fs::path& path, std::string_view contents) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh directory below the temporary directory, named after the running test. The name is
// the same in a death test's child process, which runs the test again on Windows, so parent
// and child look at the same files; it names the build tree too, so that the suites of two
// builds that run at once (native and asan, say) never share one. Removed again when the test
// ends.
class TestDirectory {
 public:
  TestDirectory() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() / ("zamrik-unit-" ZAMRIK_BUILD_TREE_TAG) /
            (std::string(test->test_suite_name()) + "." + test->name());
    remove();
    fs::create_directories(path_);
  }
  ~TestDirectory() { remove(); }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  const fs::path& path() const { return path_; }
  std::u16string launcher(const fs::path& relative = {}) const {
    return launcher_path(relative.empty() ? path_ : path_ / relative);
  }

 private:
  void remove() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path path_;
};

// A fresh directory of a unique name, for a helper that needs one of its own beside the
// test's (several may exist at once). Removed again at the end of its scope.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    for (;;) {
      path_ = fs::temp_directory_path() / ("zamrik-test-" + std::to_string(random()) + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(path_, error)) break;
      if (error) throw fs::filesystem_error("cannot make a scratch directory", path_, error);
    }
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& relative) const { return path_ / relative; }

 private:
  fs::path path_;
};

}  // namespace test_support
