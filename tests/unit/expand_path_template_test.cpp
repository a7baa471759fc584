#include "path_template/expand_path_template.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "os/os.h"
#include "identity/app_identity.h"
#include "support/scoped_variable.h"
#include "support/test_support.h"
#include "text/wide_text.h"

#ifdef _WIN32
#include "os/win32/windows_api.h"

#include <shellapi.h>
#include <shlobj.h>
#endif

using test_support::aborted;
using test_support::narrow;
using test_support::ScopedVariable;

namespace {

using testing::Eq;

struct Expansion {
  bool ok;
  std::u16string text;
};

// Expands into a buffer of exactly capacity units, followed by guard units that must stay.
Expansion expand(const std::u16string& text, std::uint64_t capacity = 4096) {
  constexpr std::size_t guard = 8;
  std::u16string buffer(capacity + guard, u'#');
  const bool ok = path_template::expand_path_template(buffer.data(), text.c_str(), capacity);
  EXPECT_EQ(buffer.substr(capacity), std::u16string(guard, u'#')) << "wrote past the capacity: " << narrow(text);
  return {ok, capacity > 0 ? std::u16string(buffer.c_str()) : std::u16string()};
}

std::u16string expanded(const std::u16string& text) {
  const Expansion result = expand(text);
  EXPECT_TRUE(result.ok) << narrow(text);
  return result.text;
}

// What the system itself gives for the temporary directory and the two shell folders.
#ifdef _WIN32
std::u16string without_trailing_backslashes(std::u16string path) {
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}
std::u16string system_temp_path() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}
std::u16string system_folder(int csidl) {
  wchar_t buffer[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer), S_OK);
  return reinterpret_cast<const char16_t*>(buffer);
}
#endif

// Puts another element 0 into the argument vector for one scope.
class ScopedProgram {
 public:
  explicit ScopedProgram(const char16_t* program) : text_(program), old_(os::argument_vector()[0]) {
    os::argument_vector()[0] = text_.data();
  }
  ~ScopedProgram() { os::argument_vector()[0] = old_; }

 private:
  std::u16string text_;
  char16_t* old_;
};

TEST(ExpandPathTemplate, LiteralsAndFields) {
  struct Case {
    std::u16string spec;
    std::uint64_t capacity;
    bool ok;
    std::u16string want;
  };
  const Case cases[] = {
      {u"", 4096, true, u""},
      {u"", 1, true, u""},
      {u"abc", 4, true, u"abc"},
      {u"abc", 3, false, u"ab"},
      {u"C:\\a b\\c", 4096, true, u"C:\\a b\\c"},
      {u"a}b}", 4096, true, u"a}b}"},  // a closing brace outside a field is a literal
      {u"abc{TEMP", 4096, true, u"abc"},  // an unfinished field is dropped
      {u"x{COMPANY", 4096, true, u"x"},
      {u"{A{COMPANY}", 4096, true, u"Caldrevine"},  // "{" starts the field again
      {u"{COMPANY}", 11, true, u"Caldrevine"},
      {u"{company}-{Product}-{VERSION}", 4096, true, u"Caldrevine-Caldrevine-1.22.4.0"},
      {u"{file_version}/{Product_Version}", 4096, true, u"1.22.4.0/1.22.4.0"},
      {u"{}", 4096, false, u""},
      {u"x{NOPE}y", 4096, false, u"x"},
      {u"{ TEMP}", 4096, false, u""},
      {u"{TEMP }", 4096, false, u""},
      {u"{TEM\u212A}", 4096, false, u""},  // the Kelvin sign is no K
      {u"{" + std::u16string(2000, u'A') + u"}", 4096, false, u""},
      {u"{" + std::u16string(1023, u'A') + u"}", 4096, false, u""},
      {u"{" + std::u16string(2000, u'A') + u"{COMPANY}", 4096, true, u"Caldrevine"},
      {u"abc", 0, false, u""},
  };
  for (const Case& c : cases) {
    const Expansion result = expand(c.spec, c.capacity);
    EXPECT_EQ(result.ok, c.ok) << narrow(c.spec.substr(0, 40)) << " / " << c.capacity;
    EXPECT_EQ(result.text, c.want) << narrow(c.spec.substr(0, 40)) << " / " << c.capacity;
  }
}

TEST(ExpandPathTemplate, ConfiguredStringsAreConvertedToUtf16) {
  const char16_t sample[] = {ZAMRIK_UTF16_SAMPLE_UNITS};
  EXPECT_EQ(std::u16string(sample), u"Zo\u00eb \"Q\" \\ ; \u65e5\u672c \U0001F600");
  using identity::IdentityString;
  const std::u16string company = identity::identity_string(IdentityString::company);
  const std::u16string product = identity::identity_string(IdentityString::product);
  const std::u16string version = identity::identity_string(IdentityString::version);
  EXPECT_EQ(company, u"Caldrevine");
  EXPECT_EQ(product, u"Caldrevine");
  EXPECT_EQ(version, u"1.22.4.0");
  // The packer's defaults, so that an application packed without options names itself as the image does.
  EXPECT_EQ(text::to_utf16(identity::default_company), company);
  EXPECT_EQ(text::to_utf16(identity::default_product), product);
  EXPECT_EQ(text::to_utf16(identity::default_version), version);
}

TEST(ExpandPathTemplate, TempIsTheSystemsTemporaryDirectoryWithoutTrailingBackslash) {
#ifdef _WIN32
  const std::u16string temp = without_trailing_backslashes(system_temp_path());
#else
  ScopedVariable directory(u"TMPDIR", u"/var/tmp/zamrik test/");
  const std::u16string temp = u"\\var\\tmp\\zamrik test";
#endif
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(expanded(u"{TEMP}"), temp);
  EXPECT_EQ(expanded(u"{temp}"), temp);
  EXPECT_EQ(expanded(u"{Temp}\\x"), temp + u"\\x");
}

TEST(ExpandPathTemplate, TempAtTheRootOfADrive) {
  struct Case {
    const char16_t* directory;
    std::u16string spec, want;
  };
#ifdef _WIN32
  const char16_t* variable = u"TMP";
  const Case cases[] = {
      {u"C:\\", u"{TEMP}\\x", u"C:\\x"},
      {u"C:\\", u"{TEMP}", u"C:"},
      {u"C:\\windows\\", u"{TEMP}\\x", u"C:\\windows\\x"},
  };
#else
  const char16_t* variable = u"TMPDIR";
  const Case cases[] = {
      {u"/", u"{TEMP}\\x", u"\\x"},
      {u"/", u"a\\\\{TEMP}", u"a"},  // the trim reaches into the text before an empty value
      {u"/srv/tmp", u"{TEMP}\\x", u"\\srv\\tmp\\x"},
  };
#endif
  for (const Case& c : cases) {
    ScopedVariable directory(variable, c.directory);
    EXPECT_EQ(expanded(c.spec), c.want) << narrow(c.spec);
  }
}

TEST(ExpandPathTemplate, TempThatDoesNotFitFailsTheExpansion) {
  // Going on without the directory gave "D:" or "\onefile_..." at the root of a drive.
  struct Case {
    std::u16string spec;
    std::uint64_t capacity;
    std::u16string left;
  };
  const Case cases[] = {
      {u"D:\\{TEMP}", 5, u"D:\\"},
      {u"D:\\{TEMP}x", 5, u"D:\\"},
      {u"{TEMP}\\onefile", 2, u""},
      {u"{TEMP}", 1, u""},
  };
  for (const Case& c : cases) {
    const Expansion result = expand(c.spec, c.capacity);
    EXPECT_FALSE(result.ok) << narrow(c.spec) << " / " << c.capacity;
    EXPECT_EQ(result.text, c.left) << narrow(c.spec) << " / " << c.capacity;
  }
  // The whole directory and its terminator just fit.
  const std::u16string temp = expanded(u"{TEMP}");
  const Expansion exact = expand(u"{TEMP}", temp.size() + 2);  // with the trimmed backslash
  EXPECT_TRUE(exact.ok);
  EXPECT_EQ(exact.text, temp);
  EXPECT_FALSE(expand(u"{TEMP}", temp.size() + 1).ok);
}

TEST(ExpandPathTemplate, HomeAndCacheDirAreTheUsersFolders) {
#ifdef _WIN32
  const std::u16string home = without_trailing_backslashes(system_folder(CSIDL_PROFILE));
  const std::u16string cache = without_trailing_backslashes(system_folder(CSIDL_LOCAL_APPDATA));
#else
  ScopedVariable home_variable(u"HOME", u"/home/zamrik/");
  ScopedVariable cache_variable(u"XDG_CACHE_HOME", nullptr);
  const std::u16string home = u"\\home\\zamrik";
  const std::u16string cache = u"\\home\\zamrik\\.cache";
#endif
  ASSERT_FALSE(home.empty());
  EXPECT_EQ(expanded(u"{HOME}"), home);
  EXPECT_EQ(expanded(u"{A{home}\\x"), home + u"\\x");
  EXPECT_EQ(expanded(u"{CACHE_DIR}"), cache);
  EXPECT_EQ(expanded(u"{Cache_Dir}\\onefile"), cache + u"\\onefile");
}

#ifndef _WIN32
TEST(ExpandPathTemplate, FoldersFollowHomeAndTheCacheVariable) {
  struct Case {
    const char16_t *home, *cache, *spec;
    bool ok;
    std::u16string want;
  };
  const Case cases[] = {
      {u"/home/z", u"/var/cache/z/", u"{CACHE_DIR}", true, u"\\var\\cache\\z"},
      {u"/home/z", u"relative", u"{CACHE_DIR}", true, u"\\home\\z\\.cache"},  // a relative one is ignored
      {nullptr, u"/var/cache/z", u"{CACHE_DIR}", true, u"\\var\\cache\\z"},
      {nullptr, nullptr, u"{CACHE_DIR}", false, u""},
      {nullptr, u"/var/cache/z", u"x{HOME}", false, u"x"},  // a failed folder lookup fails the expansion
      {u"", nullptr, u"{HOME}", false, u""},
      {u"/", nullptr, u"{HOME}\\x", true, u"\\x"},
      {u"/", nullptr, u"{CACHE_DIR}", true, u"\\.cache"},
      {u"//home//z//", u"", u"{CACHE_DIR}", true, u"\\home\\z\\.cache"},
  };
  for (const Case& c : cases) {
    ScopedVariable home(u"HOME", c.home);
    ScopedVariable cache(u"XDG_CACHE_HOME", c.cache);
    const Expansion result = expand(c.spec);
    EXPECT_EQ(result.ok, c.ok) << narrow(c.spec);
    EXPECT_EQ(result.text, c.want) << narrow(c.spec);
  }
}
#endif

TEST(ExpandPathTemplate, ProgramIsElementZeroOfTheArgumentVector) {
  struct Case {
    const char16_t* program;
    std::u16string program_base, program_dir;
  };
  const Case cases[] = {
      {u"C:\\Apps\\tool.exe", u"C:\\Apps\\tool", u"C:\\Apps"},
      {u"tool.EXE", u"tool", u"tool.EXE"},
      {u".exe", u"", u".exe"},
      {u"exe", u"exe", u"exe"},
      {u"\\tool.exe", u"\\tool", u""},
      {u"C:/Apps/tool.exe", u"C:/Apps/tool", u"C:/Apps/tool.exe"},
      {u"C:\\Apps\\tool.exe.txt", u"C:\\Apps\\tool.exe.txt", u"C:\\Apps"},
      {u"{TEMP}\\x.exe", u"{TEMP}\\x", u"{TEMP}"},  // values are never scanned
  };
  for (const Case& c : cases) {
    ScopedProgram program(c.program);
    EXPECT_EQ(expanded(u"{PROGRAM}"), c.program);
    EXPECT_EQ(expanded(u"<{PROGRAM_BASE}>"), u"<" + c.program_base + u">") << narrow(c.program);
    EXPECT_EQ(expanded(u"<{program_dir}>"), u"<" + c.program_dir + u">") << narrow(c.program);
  }
}

TEST(ExpandPathTemplate, BuiltinSpecNamesAFreshDirectoryBelowTemp) {
  ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", nullptr);
  ScopedVariable time_us(u"ZAMRIK_ONEFILE_TIME_US", nullptr);
  ScopedVariable random(u"ZAMRIK_ONEFILE_RANDOM", nullptr);
  const std::u16string temp = expanded(u"{TEMP}");
  const std::string path = narrow(expanded(path_template::builtin_unpack_template));

  const std::string prefix = narrow(temp) + "\\onefile_" + std::to_string(os::current_process_id()) + "_";
  ASSERT_THAT(path, testing::StartsWith(prefix));
  const std::string tail = path.substr(prefix.size());  // 123456_0mHAFguB88o
  ASSERT_EQ(tail.size(), 6u + 1 + 11) << path;
  EXPECT_EQ(tail.find_first_not_of("0123456789"), 6u) << path;
  EXPECT_EQ(tail[6], '_') << path;
  const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  EXPECT_EQ(tail.find_first_not_of(alphabet, 7), std::string::npos) << path;
  EXPECT_NE(std::string_view("AEIMQUYcgkosw048").find(tail.back()), std::string_view::npos) << path;

  // A second expansion in the same process, like the child's, names the same directory.
  EXPECT_EQ(narrow(expanded(path_template::builtin_unpack_template)), path);
}

TEST(ExpandPathTemplateDeathTest, ValueThatDoesNotFitEndsTheProcess) {
#ifndef _WIN32
  ScopedVariable home(u"HOME", u"/home/zamrik");
#endif
  char16_t output[32];
  EXPECT_EXIT(path_template::expand_path_template(output, u"{COMPANY}", 10), aborted(), Eq(""));
  EXPECT_EXIT(path_template::expand_path_template(output, u"x{VERSION}", 9), aborted(), Eq(""));
  EXPECT_EXIT(path_template::expand_path_template(output, u"{HOME}", 3), aborted(), Eq(""));
  ScopedProgram program(u"C:\\Apps\\tool.exe");
  EXPECT_EXIT(path_template::expand_path_template(output, u"{PROGRAM}", 16), aborted(), Eq(""));
  EXPECT_EXIT(path_template::expand_path_template(output, u"{PROGRAM_DIR}", 16), aborted(), Eq(""));  // before the cut
  EXPECT_TRUE(path_template::expand_path_template(output, u"{PROGRAM}", 17));
}

TEST(ArgumentVector, IsTheProcessCommandLineSplit) {
  ASSERT_GE(os::argument_count(), 1);
  char16_t** arguments = os::argument_vector();
  ASSERT_NE(arguments, nullptr);
#ifdef _WIN32
  EXPECT_THAT(narrow(arguments[0]), testing::EndsWith("unit_tests.exe"));
#else
  EXPECT_THAT(narrow(arguments[0]), testing::EndsWith("unit_tests"));
#endif
  EXPECT_EQ(arguments[os::argument_count()], nullptr);

#ifdef _WIN32
  // The test runs without wildcards, so the run-time's split equals the shell's.
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  ASSERT_NE(split, nullptr);
  ASSERT_EQ(count, os::argument_count());
  for (int i = 0; i < count; ++i) EXPECT_EQ(std::u16string(os::win32::text(split[i])), std::u16string(arguments[i])) << i;
  LocalFree(split);
#endif
}

}  // namespace
