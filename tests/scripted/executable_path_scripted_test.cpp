// The launcher's path handling against scripted OS answers that a real system cannot be made
// to give on demand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "os/os.h"
#include "platform/executable_path.h"
#include "support/test_support.h"

namespace {

// What the scripted system answers. Every scripted call counts in calls.
struct Script {
  std::u16string module_name = u"C:\\Program Files\\App\\launcher.exe";  // empty: the call fails
  bool open_succeeds = true;
  bool has_final_path = true;  // false: a system without the call
  std::u16string final_path;  // empty: the query fails
  // A path without an entry has no short form. Looked up without allocating, so that a failed
  // allocation hits only the code under test.
  std::map<std::u16string, std::u16string, std::less<>> short_names;
  int short_queries = 0;
  int calls = 0;
  int open_handles = 0;
};
Script script;

os::Handle const query_handle = reinterpret_cast<os::Handle>(std::uintptr_t{0x5150});

// The Win32 convention: the length when text and terminator fit, otherwise the size needed.
std::uint32_t answer(std::u16string_view text, char16_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr || text.size() + 1 > capacity) return static_cast<std::uint32_t>(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = u'\0';
  return static_cast<std::uint32_t>(text.size());
}

// The next call of malloc returns null when set.
bool fail_next_allocation = false;

}  // namespace

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
  if (fail_next_allocation) {
    fail_next_allocation = false;
    return nullptr;
  }
  return __real_malloc(size);
}

namespace os {

std::uint32_t module_file_name(char16_t* buffer, std::uint32_t capacity) {
  ++script.calls;
  if (script.module_name.empty()) return 0;
  return answer(script.module_name, buffer, capacity);
}

Handle open_for_query(const char16_t*) {
  ++script.calls;
  if (!script.open_succeeds) return invalid_handle;
  ++script.open_handles;
  return query_handle;
}

bool close_handle(Handle handle) {
  ++script.calls;
  EXPECT_EQ(handle, query_handle);
  --script.open_handles;
  return true;
}

std::uint32_t final_path(Handle file, char16_t* buffer, std::uint32_t capacity) {
  ++script.calls;
  EXPECT_EQ(file, query_handle);
  if (!script.has_final_path) return 0;
  return script.final_path.empty() ? 0 : answer(script.final_path, buffer, capacity);
}

std::uint32_t short_path_name(const char16_t* path, char16_t* buffer, std::uint32_t capacity) {
  ++script.calls;
  ++script.short_queries;
  const auto found = script.short_names.find(std::u16string_view(path));
  if (found == script.short_names.end()) return 0;
  return answer(found->second, buffer, capacity);
}

}  // namespace os

namespace {

using test_support::aborted;
using testing::Eq;

// Runs an in-place step over path, copied into a buffer of the given capacity.
std::u16string applied(void (*step)(char16_t*, std::size_t), std::u16string path, std::size_t capacity) {
  path.resize(capacity, u'\0');
  step(path.data(), capacity);
  return path.c_str();
}
std::u16string resolved(const std::u16string& path, std::size_t capacity = 4097) {
  return applied(platform::resolve_final_path, path, capacity);
}
std::u16string shortened(const std::u16string& path, std::size_t capacity = 4097) {
  return applied(platform::shorten_directory_part, path, capacity);
}

class ScriptedTest : public testing::Test {
 protected:
  void SetUp() override { script = Script{}; }
  void TearDown() override { EXPECT_EQ(script.open_handles, 0) << "every query handle is closed"; }
};

using ResolveFinalPathTest = ScriptedTest;

TEST_F(ResolveFinalPathTest, StripsTheDrivePrefixAndTurnsUncIntoTwoBackslashes) {
  struct Case {
    std::u16string final_path, want;
  };
  const Case cases[] = {
      {u"\\\\?\\C:\\Apps\\launcher.exe", u"C:\\Apps\\launcher.exe"},
      {u"\\\\?\\UNC\\server\\share\\Apps\\launcher.exe", u"\\\\server\\share\\Apps\\launcher.exe"},
      // A volume name has no drive-letter form: the prefix stays.
      {u"\\\\?\\Volume{4c1b02c1-d990-11dc-99ae-806e6f6e6963}\\launcher.exe",
       u"\\\\?\\Volume{4c1b02c1-d990-11dc-99ae-806e6f6e6963}\\launcher.exe"},
      {u"\\\\?\\C", u"\\\\?\\C"},
  };
  for (const Case& c : cases) {
    script.final_path = c.final_path;
    EXPECT_EQ(resolved(u"C:\\link\\launcher.exe"), c.want) << test_support::narrow(c.final_path);
  }
}

TEST_F(ResolveFinalPathTest, KeepsThePathWhenTheSystemCannotAnswer) {
  script.final_path = u"C:\\elsewhere\\launcher.exe";
  script.open_succeeds = false;  // missing, a directory, or no permission
  EXPECT_EQ(resolved(u"\\\\?\\C:\\link\\launcher.exe"), u"\\\\?\\C:\\link\\launcher.exe");
  const int calls = script.calls;
  EXPECT_EQ(calls, 1) << "nothing but the open";

  // Without an answer only the prefixes are handled.
  script.open_succeeds = true;
  script.has_final_path = false;
  EXPECT_EQ(resolved(u"\\\\?\\C:\\link\\launcher.exe"), u"C:\\link\\launcher.exe");
  script.has_final_path = true;
  script.final_path.clear();
  EXPECT_EQ(resolved(u"\\\\?\\UNC\\server\\share\\launcher.exe"), u"\\\\server\\share\\launcher.exe");
}

TEST_F(ResolveFinalPathTest, FinalPathThatFillsTheBufferIsAccepted) {
  script.final_path = u"C:\\" + std::u16string(2044, u'f');  // 2047 units in a buffer of 2048
  EXPECT_EQ(resolved(u"C:\\launcher.exe", 2048), script.final_path);
}

TEST_F(ResolveFinalPathTest, LengthsAtTheCapacityAbort) {
  script.final_path = u"C:\\" + std::u16string(2045, u'f');  // 2048 units need 2049
  EXPECT_EXIT(resolved(u"C:\\launcher.exe", 2048), aborted(), Eq(""));
  std::u16string unterminated(16, u'x');
  EXPECT_EXIT(platform::resolve_final_path(unterminated.data(), unterminated.size()), aborted(), Eq(""));
}

using ShortenDirectoryPartTest = ScriptedTest;

TEST_F(ShortenDirectoryPartTest, ShortensOnlyTheDirectories) {
  script.short_names = {
      {u"C:\\Program Files\\App", u"C:\\PROGRA~1\\App"},
      {u"Long File Name.exe", u"LONGFI~1.EXE"},
  };
  struct Case {
    std::u16string path, want;
  };
  const Case cases[] = {
      {u"C:\\Program Files\\App\\Long File Name.exe", u"C:\\PROGRA~1\\App\\Long File Name.exe"},
      {u"C:\\Program Files\\App\\", u"C:\\PROGRA~1\\App\\"},  // the trailing backslash stays
      {u"Long File Name.exe", u"LONGFI~1.EXE"},  // without a directory the whole path is shortened
      {u"C:\\No Short Form\\a.exe", u"C:\\No Short Form\\a.exe"},
      {u"missing.exe", u"missing.exe"},
      {u"\\a.exe", u"\\a.exe"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    script.short_queries = 0;
    EXPECT_EQ(shortened(c.path), c.want) << test_support::narrow(c.path);
    // Each query walks every level of the path again on some systems.
    EXPECT_EQ(script.short_queries, 1) << test_support::narrow(c.path);
  }
}

TEST_F(ShortenDirectoryPartTest, AbortsRatherThanReturnAWrongPath) {
  // A short form longer than the long one (the system's answer, not ours to judge).
  script.short_names = {{u"C:\\A", u"C:\\LONGER~1"}};
  EXPECT_EQ(shortened(u"C:\\A\\b.exe", 18), u"C:\\LONGER~1\\b.exe") << "exactly fits";
  // The short form fits, the last component after it does not.
  EXPECT_EXIT(shortened(u"C:\\A\\b.exe", 17), aborted(), Eq(""));
  // The short form itself does not fit.
  EXPECT_EXIT(shortened(u"C:\\A\\b.exe", 11), aborted(), Eq(""));
  // The last component cannot be kept: the directory alone would be the wrong path.
  std::u16string file = u"C:\\Program Files\\App\\a.exe";
  file.resize(64, u'\0');
  EXPECT_EXIT((fail_next_allocation = true, platform::shorten_directory_part(file.data(), file.size())), aborted(), Eq(""));
  // The short form cannot be held.
  std::u16string bare = u"Long File Name.exe";
  script.short_names = {{bare, u"LONGFI~1.EXE"}};
  bare.resize(64, u'\0');
  EXPECT_EXIT((fail_next_allocation = true, platform::shorten_directory_part(bare.data(), bare.size())), aborted(), Eq(""));
}

using ExecutablePathTest = ScriptedTest;

TEST_F(ExecutablePathTest, ModuleFileNameAbortsWithoutOne) {
  platform::ExecutablePath own;
  EXPECT_EXIT((script.module_name.clear(), own.module_file_name()), aborted(), Eq(""));
}

TEST_F(ExecutablePathTest, EachFormIsComputedOnceAndThenServedFromItsCache) {
  platform::ExecutablePath own;
  script.short_names = {{u"C:\\Program Files\\App", u"C:\\PROGRA~1\\App"}, {u"D:\\Real Place", u"D:\\REALPL~1"}};
  script.final_path = u"\\\\?\\D:\\Real Place\\launcher.exe";

  // A failed module query leaves the form empty, to be tried again on the next request.
  script.module_name.clear();
  EXPECT_EQ(std::u16string(own.executable_path(false)), u"");
  script.module_name = u"C:\\Program Files\\App\\launcher.exe";

  EXPECT_EQ(std::u16string(own.module_file_name()), u"C:\\Program Files\\App\\launcher.exe");
  EXPECT_EQ(std::u16string(own.executable_path(false)), u"C:\\PROGRA~1\\App\\launcher.exe");
  EXPECT_EQ(std::u16string(own.executable_path(true)), u"D:\\REALPL~1\\launcher.exe");

  // Moved since: every form stays as first computed, without a single system call.
  script.module_name = u"E:\\moved\\launcher.exe";
  script.final_path = u"\\\\?\\E:\\moved\\launcher.exe";
  const int calls = script.calls;
  EXPECT_EQ(std::u16string(own.module_file_name()), u"C:\\Program Files\\App\\launcher.exe");
  EXPECT_EQ(std::u16string(own.executable_path(false)), u"C:\\PROGRA~1\\App\\launcher.exe");
  EXPECT_EQ(std::u16string(own.executable_path(true)), u"D:\\REALPL~1\\launcher.exe");
  EXPECT_EQ(script.calls, calls);
}

}  // namespace
