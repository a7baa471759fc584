#include "platform/environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/scoped_variable.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "os/win32/loaded_module.h"
#include "os/win32/windows_api.h"
#endif

using test_support::aborted;
using test_support::narrow;

namespace {

using testing::Eq;

constexpr char variable[] = "ZAMRIK_TEST_ENVIRONMENT";
constexpr char16_t wide_variable[] = u"ZAMRIK_TEST_ENVIRONMENT";

std::optional<std::u16string> value_of(const char16_t* name) {
  char16_t* value = platform::get_environment_value(name);
  if (value == nullptr) return std::nullopt;
  std::u16string text = value;
  std::free(value);
  return text;
}

// What the tests' own C run-time reads for name (ASCII values only).
std::optional<std::u16string> runtime_value(const char* name) {
#ifdef _WIN32
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  const wchar_t* value = _wgetenv(wide_name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::u16string(value, value + wcslen(value));
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::u16string(value, value + std::char_traits<char>::length(value));
#endif
}

TEST(WidenAsciiAppend, AppendsBehindTheTextWhenEverythingFits) {
  struct Case {
    std::u16string start;
    const char* source;
    std::size_t capacity;
    std::u16string want;
  };
  const Case cases[] = {
      {u"", "ZAMRIK_ONEFILE_DIRECTORY", 40, u"ZAMRIK_ONEFILE_DIRECTORY"},
      {u"AB", "CD", 5, u"ABCD"},  // the text already there counts; the result fills the buffer
      {u"AB", "", 3, u"AB"},
      {u"", "", 1, u""},
      {u"", "4120", 5, u"4120"},
  };
  for (const Case& c : cases) {
    std::u16string buffer = c.start;
    buffer.resize(c.capacity, u'\0');
    platform::widen_ascii_append(buffer.data(), c.source, c.capacity);
    EXPECT_EQ(std::u16string(buffer.c_str()), c.want) << c.source;
  }
}

TEST(WidenAsciiAppendDeathTest, AbortsInsteadOfTruncating) {
  char16_t buffer[5] = u"AB";
  EXPECT_EXIT(platform::widen_ascii_append(buffer, "CDE", 5), aborted(), Eq(""));
  char16_t full[3] = {u'A', u'B', u'C'};  // no terminator within the capacity
  EXPECT_EXIT(platform::widen_ascii_append(full, "", 3), aborted(), Eq(""));
  char16_t room[5] = u"";
  EXPECT_EXIT(platform::widen_ascii_append(room, "\xC3\xA9", 5), aborted(), Eq("")) << "not ASCII";
}

TEST(EnvironmentValue, ReadsValuesThatFitAndNothingElse) {
  struct Case {
    const char16_t* value;
    std::optional<std::u16string> want;
  };
  const Case cases[] = {
      {nullptr, std::nullopt},
      {u"", std::nullopt},  // empty reads as unset
      {u"4120", u"4120"},
      {u"C:\\Users\\Zo\u00eb\\\u65e5\u672c", u"C:\\Users\\Zo\u00eb\\\u65e5\u672c"},
  };
  for (const Case& c : cases) {
    test_support::ScopedVariable set(wide_variable, c.value);
    EXPECT_EQ(value_of(wide_variable), c.want) << (c.value != nullptr ? narrow(c.value).substr(0, 20) : "(unset)");
  }
}

TEST(EnvironmentValue, LongestValueFitsTheReadBufferAndOneMoreReadsAsUnset) {
  for (const std::size_t length : {32767u, 32768u}) {
    const std::u16string value(length, u'x');
    test_support::ScopedVariable set(wide_variable, value.c_str());
    std::vector<char16_t> buffer(40000);
    os::get_environment_variable(wide_variable, buffer.data(), 40000);
    if (buffer.data() != value) {
      std::cout << "this system does not hold a value of " << length << " characters\n";
      continue;
    }
    const std::optional<std::u16string> read = value_of(wide_variable);
    EXPECT_EQ(read.has_value(), length < 32768) << length;
    if (read) {
      EXPECT_EQ(read->size(), length);
    }
  }
}

TEST(EnvironmentValue, SetAndRemoveReachTheProcessAndItsRunTime) {
  test_support::ScopedVariable restore(wide_variable, nullptr);
  platform::set_environment_value(variable, u"first");
  EXPECT_EQ(value_of(wide_variable), u"first");
  EXPECT_EQ(runtime_value(variable), u"first");

  platform::set_environment_value(variable, u"second");
  EXPECT_EQ(value_of(wide_variable), u"second");
  EXPECT_EQ(runtime_value(variable), u"second");

  platform::set_environment_value(variable, u"");
  EXPECT_EQ(value_of(wide_variable), std::nullopt);
#ifdef _WIN32
  EXPECT_EQ(runtime_value(variable), std::nullopt);  // "name=" removes it from a run-time's copy
#endif

  platform::set_environment_value(variable, u"third");
  platform::remove_environment_value(variable);
  EXPECT_EQ(value_of(wide_variable), std::nullopt);
  EXPECT_EQ(runtime_value(variable), std::nullopt);

  platform::remove_environment_value(variable);  // absent already: nothing to report
  EXPECT_EQ(value_of(wide_variable), std::nullopt);
}

TEST(EnvironmentValue, NamesUpToTheirBuffers) {
  const std::string name39 = "ZAMRIK_" + std::string(32, 'N');
  const std::u16string wide39(name39.begin(), name39.end());
  test_support::ScopedVariable restore(wide39, nullptr);
  platform::set_environment_value(name39.c_str(), u"fits");
  EXPECT_EQ(value_of(wide39.c_str()), u"fits");
  EXPECT_EQ(runtime_value(name39.c_str()), u"fits");
  platform::remove_environment_value(name39.c_str());
  EXPECT_EQ(value_of(wide39.c_str()), std::nullopt);

  const std::string name63 = "ZAMRIK_" + std::string(56, 'N');
  platform::propagate_to_runtimes(name63.c_str(), u"");
}

TEST(EnvironmentValueDeathTest, NameTooLongForItsBufferEndsTheProcess) {
  const std::string name40 = "ZAMRIK_" + std::string(33, 'N');
  EXPECT_EXIT(platform::set_environment_value(name40.c_str(), u"x"), aborted(), Eq(""));
  EXPECT_EXIT(platform::remove_environment_value(name40.c_str()), aborted(), Eq(""));
  const std::string name64 = "ZAMRIK_" + std::string(57, 'N');
  EXPECT_EXIT(platform::propagate_to_runtimes(name64.c_str(), u"x"), aborted(), Eq(""));
}

TEST(RuntimePutEnvironment, SetsAndRemovesInTheLaunchersOwnRunTime) {
  test_support::ScopedVariable restore(wide_variable, nullptr);
  os::runtime_put_environment(u"ZAMRIK_TEST_ENVIRONMENT=put");
  EXPECT_EQ(runtime_value(variable), u"put");
  os::runtime_put_environment(u"ZAMRIK_TEST_ENVIRONMENT=");
  EXPECT_EQ(runtime_value(variable), std::nullopt);
}

#ifdef _WIN32

// The loader's list, read under its lock, must answer as the documented call that stands in for
// it where the lock cannot be had.
TEST(LoadedModule, TheLoadersListAnswersAsTheDocumentedCall) {
  for (const char16_t* name : {u"ntdll.dll", u"KERNEL32.DLL", u"msvcrt.dll", u"ucrtbase.dll", u"msvcr90.dll", u"zamrik-none.dll"}) {
    EXPECT_EQ(os::win32::loaded_module(name), os::win32::loaded_module_by_name(name)) << narrow(name);
  }
  EXPECT_NE(os::win32::loaded_module_by_name(u"ntdll.dll"), nullptr);
  EXPECT_EQ(os::win32::loaded_module_by_name(u"zamrik-none.dll"), nullptr);
}

using GetEnvironmentFunction = const wchar_t* (*)(const wchar_t*);

std::optional<std::u16string> value_in(GetEnvironmentFunction get, const wchar_t* name) {
  const wchar_t* value = get(name);
  if (value == nullptr) return std::nullopt;
  return std::u16string(value, value + wcslen(value));
}

GetEnvironmentFunction get_environment_of(HMODULE runtime) {
  return reinterpret_cast<GetEnvironmentFunction>(reinterpret_cast<void*>(GetProcAddress(runtime, "_wgetenv")));
}

TEST(Propagation, ReachesAnotherLoadedRunTime) {
  HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
  ASSERT_NE(ucrt, nullptr);
  const GetEnvironmentFunction ucrt_getenv = get_environment_of(ucrt);
  ASSERT_NE(ucrt_getenv, nullptr);
  ASSERT_NE(os::loaded_runtime_put_environment(u"ucrtbase.dll"), nullptr);
  const wchar_t* name = L"ZAMRIK_TEST_ENVIRONMENT";
  test_support::ScopedVariable restore(wide_variable, nullptr);

  // That run-time keeps a copy of its own, taken when it is first asked, and the process
  // environment alone does not reach it.
  ucrt_getenv(L"PATH");
  os::set_environment_variable(wide_variable, u"process only");
  EXPECT_EQ(value_in(ucrt_getenv, name), std::nullopt);

  platform::set_environment_value(variable, u"everywhere");
  EXPECT_EQ(value_in(ucrt_getenv, name), u"everywhere");
  platform::set_environment_value(variable, u"");
  EXPECT_EQ(value_in(ucrt_getenv, name), std::nullopt);
  platform::set_environment_value(variable, u"again");
  EXPECT_EQ(value_in(ucrt_getenv, name), u"again");
  platform::remove_environment_value(variable);
  EXPECT_EQ(value_in(ucrt_getenv, name), std::nullopt);
  EXPECT_EQ(runtime_value(variable), std::nullopt);
  FreeLibrary(ucrt);
}

// Loads the test's msvcr90.dll, which lacks _wputenv, by its full path. Wine would put its own
// run-time of that name in its place unless told otherwise for the one load.
HMODULE load_runtime_without_putenv() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring module(path, length);
  module = module.substr(0, module.rfind(L'\\')) + L"\\runtime-without-putenv\\msvcr90.dll";
  HKEY overrides = nullptr;
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  if (wine && RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, KEY_SET_VALUE, &overrides) == ERROR_SUCCESS) {
    RegSetValueExW(overrides, L"msvcr90", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native"), sizeof L"native");
  }
  HMODULE runtime = LoadLibraryW(module.c_str());
  if (overrides != nullptr) {
    RegDeleteValueW(overrides, L"msvcr90");
    RegCloseKey(overrides);
  }
  return runtime;
}

TEST(Propagation, PassesByARunTimeWithoutPutEnvironment) {
  HMODULE without = load_runtime_without_putenv();
  ASSERT_NE(without, nullptr);
  ASSERT_NE(GetProcAddress(without, "zamrik_runtime_without_putenv"), nullptr) << "not the test's own module";
  ASSERT_EQ(GetModuleHandleW(L"msvcr90.dll"), without);
  EXPECT_EQ(os::loaded_runtime_put_environment(u"msvcr90.dll"), nullptr);

  // A run-time further down the list still receives every change.
  HMODULE later = LoadLibraryW(L"msvcr120.dll");
  ASSERT_NE(later, nullptr);
  const GetEnvironmentFunction later_getenv = get_environment_of(later);
  ASSERT_NE(later_getenv, nullptr);
  test_support::ScopedVariable restore(wide_variable, nullptr);
  later_getenv(L"PATH");
  os::set_environment_variable(wide_variable, u"process only");
  ASSERT_EQ(value_in(later_getenv, L"ZAMRIK_TEST_ENVIRONMENT"), std::nullopt) << "no copy of its own";
  platform::set_environment_value(variable, u"passed by");
  EXPECT_EQ(value_in(later_getenv, L"ZAMRIK_TEST_ENVIRONMENT"), u"passed by");
  platform::remove_environment_value(variable);
  EXPECT_EQ(value_in(later_getenv, L"ZAMRIK_TEST_ENVIRONMENT"), std::nullopt);
  FreeLibrary(later);
  FreeLibrary(without);
}

// Which run-times are loaded is looked up at every setting: a library that comes or goes in
// between must be seen.
TEST(Propagation, FollowsARunTimeThatIsLoadedOrUnloadedBetweenSettings) {
  ASSERT_EQ(GetModuleHandleW(L"msvcr110.dll"), nullptr) << "loaded before the test";
  test_support::ScopedVariable restore(wide_variable, nullptr);
  platform::set_environment_value(variable, u"before");

  HMODULE runtime = LoadLibraryW(L"msvcr110.dll");
  ASSERT_NE(runtime, nullptr);
  const GetEnvironmentFunction runtime_getenv = get_environment_of(runtime);
  ASSERT_NE(runtime_getenv, nullptr);
  runtime_getenv(L"PATH");
  os::set_environment_variable(wide_variable, u"process only");
  ASSERT_EQ(value_in(runtime_getenv, L"ZAMRIK_TEST_ENVIRONMENT"), u"before") << "no copy of its own";
  platform::set_environment_value(variable, u"after");
  EXPECT_EQ(value_in(runtime_getenv, L"ZAMRIK_TEST_ENVIRONMENT"), u"after");

  FreeLibrary(runtime);
  platform::set_environment_value(variable, u"gone");
  EXPECT_EQ(os::loaded_runtime_put_environment(u"msvcr110.dll") != nullptr, GetModuleHandleW(L"msvcr110.dll") != nullptr);
}

#endif

}  // namespace
