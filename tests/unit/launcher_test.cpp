#include "launcher/launcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "command_line/command_line.h"
#include "os/os.h"
#include "platform/environment.h"
#include "platform/executable_path.h"
#include "support/scoped_variable.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "os/win32/process_image.h"
#include "os/win32/windows_api.h"

#include <shellapi.h>
#else
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#endif

using test_support::aborted;
using test_support::narrow;
using test_support::ScopedVariable;

namespace {

using testing::Eq;
using testing::StartsWith;

std::u16string compose(const std::u16string& first, const std::vector<std::u16string>& rest) {
  std::vector<char16_t*> vector{nullptr};
  std::vector<std::u16string> copies = rest;
  for (std::u16string& argument : copies) vector.push_back(argument.data());
  std::vector<char16_t> buffer(launcher::command_line_capacity);
  command_line::Line line{buffer.data(), buffer.size()};
  command_line::compose(line, first.c_str(), static_cast<int>(vector.size()), vector.data());
  return std::u16string(buffer.data(), line.length);
}

std::u16string quote(const std::u16string& argument) {
  std::vector<char16_t> buffer(launcher::command_line_capacity);
  command_line::Line line{buffer.data(), buffer.size()};
  command_line::append_argument(line, argument.c_str());
  EXPECT_EQ(buffer[line.length], u'\0');
  return std::u16string(buffer.data(), line.length);
}

TEST(ChildCommandLine, QuotesAndEscapesOnlyWhereTheSplitterNeedsIt) {
  struct Case {
    std::u16string argument, written;
  };
  const Case cases[] = {
      {u"plain", u"plain"},
      {u"c:\\dir", u"c:\\dir"},                  // no quoting character: backslash stays single
      {u"a b", u"\"a b\""},
      {u"a\"b", u"\"a\\\"b\""},                  // the quote alone forces quoting
      {u"a b\\", u"\"a b\\\\\""},                // a backslash before the closing quote doubles
      {u"\\\" x", u"\"\\\\\\\" x\""},            // 2n + 1 backslashes before an inner quote
      {u"a \\b", u"\"a \\b\""},                  // not before a quote: copied as it is
      {u"a\\\\\"b c", u"\"a\\\\\\\\\\\"b c\""},  // two backslashes, then a quote: five
      {u"\\\\", u"\\\\"},
      {u"", u"\"\""},                            // an empty argument survives as ""
      {u"a\rb", u"a\rb"},                        // carriage return does not force quoting
      {u"\t", u"\"\t\""},
      {u"a\nb", u"\"a\nb\""},
      {u"a\vb", u"\"a\vb\""},
      {u"*.txt", u"\"*.txt\""},                  // quoted, so the child's run-time leaves it as it is
      {u"c?d", u"\"c?d\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quote(c.argument), c.written) << narrow(c.argument);
}

TEST(ChildCommandLine, PutsTheModuleFileNameFirstAndSeparatesWithOneBlank) {
  EXPECT_EQ(compose(u"C:\\Program Files\\app.exe", {}), u"\"C:\\Program Files\\app.exe\"");
  EXPECT_EQ(compose(u"C:\\app.exe", {u"a", u"", u"b c"}), u"C:\\app.exe a \"\" \"b c\"");
  std::vector<char16_t> buffer(16, u'x');
  command_line::Line line{buffer.data(), buffer.size()};
  command_line::compose(line, u"ignored", 0, nullptr);
  EXPECT_EQ(line.length, 0u);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(ChildCommandLine, FillsAllButTheTerminatorThenReportsALineTooLong) {
  const auto fits = [](const std::u16string& first, const std::vector<std::u16string>& rest) {
    std::vector<char16_t*> vector{nullptr};
    std::vector<std::u16string> copies = rest;
    for (std::u16string& argument : copies) vector.push_back(argument.data());
    std::vector<char16_t> buffer(command_line::longest_line + 2, u'#');
    command_line::Line line{buffer.data(), command_line::longest_line + 1};
    const bool fitted = command_line::compose(line, first.c_str(), static_cast<int>(vector.size()), vector.data());
    EXPECT_EQ(buffer.back(), u'#') << "written past the capacity";
    EXPECT_EQ(line.length, std::u16string_view(buffer.data()).size());
    return fitted ? line.length : 0;
  };
  // CreateProcessW's limit, stated here rather than taken from the constant under test.
  constexpr std::size_t limit = 32766;
  const std::u16string first = u"m";
  const std::u16string longest(limit - first.size() - 1, u'a');
  EXPECT_EQ(fits(first, {longest}), limit);
  EXPECT_EQ(fits(first, {longest + u"a"}), 0u);
  // The quotes count too.
  const std::u16string blank_fits = u" " + longest.substr(3);
  EXPECT_EQ(fits(first, {blank_fits}), limit);
  EXPECT_EQ(fits(first, {blank_fits + u"a"}), 0u);
  EXPECT_EQ(fits(first, {longest, u"b"}), 0u);
}

#ifdef _WIN32
std::vector<std::u16string> split_with_shell(const std::u16string& line) {
  int count = 0;
  wchar_t** vector = CommandLineToArgvW(os::win32::wide(line.c_str()), &count);
  std::vector<std::u16string> arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(os::win32::text(vector[i]));
  LocalFree(vector);
  return arguments;
}
#endif

TEST(ChildCommandLine, SplitsBackIntoTheSameArguments) {
#ifndef _WIN32
  GTEST_SKIP() << "the Windows splitter exists only on Windows";
#else
  // Every string of up to five characters over the characters that matter, in batches.
  const std::u16string alphabet = u"a \t\"\\";
  std::vector<std::u16string> arguments{u""};
  for (std::size_t begin = 0, length = 0; length < 5; ++length) {
    const std::size_t end = arguments.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char16_t c : alphabet) arguments.push_back(arguments[i] + c);
    }
    begin = end;
  }
  const std::u16string first = u"C:\\Program Files\\dir \\app.exe";
  for (std::size_t at = 0; at < arguments.size(); at += 500) {
    const std::vector<std::u16string> batch(arguments.begin() + at,
                                            arguments.begin() + std::min(arguments.size(), at + 500));
    std::vector<std::u16string> want{first};
    want.insert(want.end(), batch.begin(), batch.end());
    EXPECT_EQ(split_with_shell(compose(first, batch)), want) << "batch at " << at;
  }
#endif
}

// The splitter that the POSIX backend starts children with, against the system's own where there
// is one: the program name has no escapes, the other arguments do.
TEST(ChildCommandLine, SplitsAsTheSystemDoes) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> arguments;
    bool as_the_shell = true;  // false: CommandLineToArgvW (Wine's) reads it otherwise; the writer never writes it
  };
  const Case cases[] = {
      {u"\"C:\\Program Files\\app.exe\" a b", {u"C:\\Program Files\\app.exe", u"a", u"b"}},
      {u"C:\\dir\\app.exe \"a b\" \"\"", {u"C:\\dir\\app.exe", u"a b", u""}},
      {u"\"C:\\dir\\\\\" x\\\\\"y z\"", {u"C:\\dir\\\\", u"x\\y z"}},
      {u"C:\\a\\\"b c\"\\app.exe \\\"q", {u"C:\\a\\b c\\app.exe", u"\"q"}, false},
      {u"a\\\"b c", {u"a\\b c"}, false},           // escapes do not apply to the program name
      {u"p \t a\\\\b  \"c\\\\\"  ", {u"p", u"a\\\\b", u"c\\"}},
      {u"p \"a\"\"b\" c", {u"p", u"a\"b", u"c"}, false},  // two quotes inside quotes: one literal quote
      {u" x", {u"", u"x"}},                         // a blank first: an empty program name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(command_line::split(c.line), c.arguments) << narrow(c.line);
#ifdef _WIN32
    if (c.as_the_shell) EXPECT_EQ(split_with_shell(c.line), c.arguments) << narrow(c.line) << " (the system's)";
#endif
  }
}

// The parent's run-time has already expanded what the user left bare; what is still a wildcard
// was quoted by the user (or matched nothing) and must reach the application as it stands.
TEST(ChildCommandLine, CarriesTheRunTimesArgumentsAndQuotesEveryWildcard) {
  // The vector is the process's own: its elements are replaced for the call and put back. ctest
  // starts each test with a filter and one more option, so two elements can be replaced.
  char16_t** vector = os::argument_vector();
  const std::vector<char16_t*> kept(vector, vector + os::argument_count());
  if (kept.size() < 3) GTEST_SKIP() << "this run has fewer arguments than the case needs";
  std::u16string expanded = u"a.txt", pattern = u"*.log";
  vector[1] = expanded.data();
  vector[2] = pattern.data();
  const auto state = std::make_unique<launcher::RunState>();
  const bool built = launcher::build_child_command_line(*state);
  std::copy(kept.begin(), kept.end(), vector);
  ASSERT_TRUE(built);

  const std::u16string line = state->child_command_line;
  std::vector<std::u16string> arguments{state->executable.module_file_name(), expanded, pattern};
  for (std::size_t i = 3; i < kept.size(); ++i) arguments.emplace_back(kept[i]);
  std::u16string want = quote(arguments[0]) + u" a.txt \"*.log\"";
  for (std::size_t i = 3; i < arguments.size(); ++i) want += u" " + quote(arguments[i]);
  EXPECT_EQ(line, want);
#ifdef _WIN32
  EXPECT_EQ(split_with_shell(line), arguments);
#endif
}

// The variable's value, or "unset".
std::u16string value_of(const char16_t* name) {
  char16_t* value = platform::get_environment_value(name);
  const std::u16string text = value != nullptr ? value : u"unset";
  std::free(value);
  return text;
}

std::u16string widened(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string own_process_id() { return widened(std::to_string(os::current_process_id())); }

TEST(ChildRole, NeedsTheIdOfARunningInstanceOfThisExecutable) {
  struct Case {
    const char16_t* value;
    bool child;
  };
  const std::u16string own = own_process_id();
  // What {PID} would refuse must not give the child role either: it would end the child in an
  // abort as soon as it names its unpack directory.
  const std::u16string padded = u" \t+" + own;
  const std::u16string blank = u" " + own;
  const std::u16string sign = u"+" + own;
  const std::u16string trailing = own + u"x";
  const std::u16string zeros = u"00" + own;
  const Case cases[] = {
      {nullptr, false},
      {u"", false},
      {u"abc", false},
      {trailing.c_str(), false},     // digits followed by letters
      {u"99999999999", false},       // beyond a 32-bit long
      {u"2147483632", false},        // no such process
      {u"-", false},
      {u"-1", false},
      {own.c_str(), true},           // this very process runs this executable
      {zeros.c_str(), true},         // digits all the same
      {padded.c_str(), false},
      {blank.c_str(), false},
      {sign.c_str(), false},
  };
  const auto state = std::make_unique<launcher::RunState>();
  ScopedVariable no_marker(u"ZAMRIK_ONEFILE_CHILD", nullptr);
  for (const Case& c : cases) {
    ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", c.value);
    EXPECT_EQ(launcher::detect_child_role(*state), c.child) << (c.value ? narrow(c.value) : "unset");
  }
}

TEST(ChildRoleDeathTest, AChildStartedByAParentThatFailsTheCheckEndsInsteadOfStartingAnother) {
  // The marker that a parent hands to the child it starts.
  const std::u16string own = own_process_id();
  const auto state = std::make_unique<launcher::RunState>();
  {
    ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", own.c_str());
    ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", own.c_str());
    EXPECT_TRUE(launcher::detect_child_role(*state));
    // Taken away at once, so that nothing the application starts inherits it.
    EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_CHILD"), u"unset");
  }
  for (const char16_t* value : {static_cast<const char16_t*>(nullptr), u"abc", u"2147483632"}) {
    ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", own.c_str());
    ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", value);
    EXPECT_EXIT((test_support::show_standard_output_at_exit(), launcher::detect_child_role(*state)), test_support::exited_with_2(),
                Eq("Error, started as a child but couldn't recognise the parent.\n"))
        << (value ? narrow(value) : "unset");
  }
}

TEST(ChildRoleDeathTest, AChildMadeAheadGoesOnOnlyOnceItsGateOpens) {
  const std::u16string own = own_process_id();
  const auto state = std::make_unique<launcher::RunState>();
  ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", own.c_str());
  // Markers that name no gate: the role decision goes on at once.
  for (const std::u16string& value : {own, own + u":", own + u":x", own + u":12x", own + u":99999999999999999999999"}) {
    ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", value.c_str());
    EXPECT_TRUE(launcher::detect_child_role(*state)) << narrow(value.c_str());
  }
  // A gate that cannot be waited at: the child must not go on as if the files were written.
  const std::u16string broken = own + u":4294967292";
  ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", broken.c_str());
  EXPECT_EXIT((test_support::show_standard_output_at_exit(), launcher::detect_child_role(*state)), test_support::exited_with_2(),
              StartsWith("Error, couldn't launch child ("));
  // The gate as a parent hands it over: the child waits until it opens.
  const os::Handle gate = os::create_start_gate();
  ASSERT_NE(gate, nullptr);
  launcher::mark_child(gate);
  EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_CHILD"), own + u":" + widened(std::to_string(os::start_gate_value(gate))));
  const os::Handle parents_copy = os::duplicate_handle(gate);
  std::atomic<bool> opened{false};
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    opened = true;
    EXPECT_TRUE(os::open_start_gate(parents_copy));
  });
  EXPECT_TRUE(launcher::detect_child_role(*state));
  EXPECT_TRUE(opened.load()) << "went on before the gate opened";
  opener.join();
}

TEST(ChildRole, TheParentsImageIsReadAlsoWhereThePsapiCallIsMissing) {
#ifndef _WIN32
  GTEST_SKIP() << "a Windows fallback";
#else
  // Vista lacks K32GetModuleFileNameExW; the answer it gets instead must be the same.
  os::Handle process = os::open_process_for_query(os::current_process_id());
  ASSERT_NE(process, nullptr);
  std::vector<char16_t> usual(4096), fallback(4096);
  const std::uint32_t usual_length = os::process_image_path(process, usual.data(), 4096);
  const std::uint32_t fallback_length = os::win32::queried_image_path(process, fallback.data(), 4096);
  EXPECT_EQ(os::win32::queried_image_path(process, fallback.data(), 3), 0u) << "a path that does not fit";
  os::close_handle(process);
  ASSERT_GT(usual_length, 0u);
  EXPECT_EQ(std::u16string(fallback.data(), fallback_length), std::u16string(usual.data(), usual_length));
#endif
}

TEST(ChildRole, IsRecognisedForAnExecutableInAPathOfMoreThan2047Characters) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine cannot start a program that lies in a path this long";
#else
  // A copy of this program, deep down, runs the role table above against itself.
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / ("zamrik-long-path-" + std::to_string(os::current_process_id()));
  fs::path directory = base;
  while (directory.native().size() < 2100) directory /= std::string(200, 'd');
  fs::create_directories(directory);
  const fs::path copy = directory / "unit_tests";
  fs::copy_file("/proc/self/exe", copy);
  ASSERT_GT(copy.native().size(), 2047u);
  std::string program = copy.native();
  std::string filter = "--gtest_filter=ChildRole.NeedsTheIdOfARunningInstanceOfThisExecutable";
  char* arguments[] = {program.data(), filter.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environ), 0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  fs::remove_all(base);
#endif
}

TEST(ParentEnvironment, NamesThisProcessAndDropsEarlierRunValues) {
  ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", u"1");
  ScopedVariable marker(u"ZAMRIK_ONEFILE_CHILD", nullptr);
  ScopedVariable start(u"ZAMRIK_ONEFILE_START", u"old");
  ScopedVariable time_us(u"ZAMRIK_ONEFILE_TIME_US", u"old");
  ScopedVariable random(u"ZAMRIK_ONEFILE_RANDOM", u"old");
  launcher::prepare_parent_environment();
  EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_PARENT"), own_process_id());
  EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_CHILD"), own_process_id()) << "the marker for the child it starts";
  for (const char16_t* name : {u"ZAMRIK_ONEFILE_START", u"ZAMRIK_ONEFILE_TIME_US", u"ZAMRIK_ONEFILE_RANDOM"}) {
    EXPECT_EQ(value_of(name), u"unset") << narrow(name);
  }

  // The first expansion stores fresh values; an expansion that inherits them (as the child
  // does) names the same directory.
  const auto state = std::make_unique<launcher::RunState>();
  launcher::determine_unpack_directory(*state);
  const std::u16string first = state->unpack_directory;
  EXPECT_NE(first.find(u"\\onefile_" + own_process_id() + u"_"), std::u16string::npos) << narrow(first);
  EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_START"), u"unset");
  const auto child = std::make_unique<launcher::RunState>();
  launcher::determine_unpack_directory(*child);
  EXPECT_EQ(std::u16string(child->unpack_directory), first);
}

TEST(UnpackDirectory, IsTheFullPathWithDotsAndSlashesResolved) {
  namespace fs = std::filesystem;
  ScopedVariable time_us(u"ZAMRIK_ONEFILE_TIME_US", u"123456");
  ScopedVariable random(u"ZAMRIK_ONEFILE_RANDOM", u"0mHAFguB88o");
  ScopedVariable parent(u"ZAMRIK_ONEFILE_PARENT", u"4120");
  const std::u16string base = test_support::launcher_path(fs::temp_directory_path() / "zamrik-normalised");
#ifdef _WIN32
  // Taken as it stands, "/" included.
  const std::u16string temporary = base + u"\\a\\..\\b\\.\\c/d";
  ScopedVariable tmp(u"TMP", temporary.c_str());
#else
  std::u16string temporary = base + u"\\a\\..\\b\\.\\c\\\\d";
  for (char16_t& c : temporary) c = c == u'\\' ? u'/' : c;
  ScopedVariable tmp(u"TMPDIR", temporary.c_str());
#endif
  const auto state = std::make_unique<launcher::RunState>();
  launcher::determine_unpack_directory(*state);
  EXPECT_EQ(std::u16string(state->unpack_directory), base + u"\\b\\c\\d\\onefile_4120_123456_0mHAFguB88o")
      << narrow(state->unpack_directory);
}

TEST(UnpackDirectoryDeathTest, ATemporaryDirectoryThatDoesNotFitEndsWithTheExpansionMessage) {
#ifdef _WIN32
  GTEST_SKIP() << "the system's temporary directory always fits; the seam tests make its query fail";
#else
  // It once expanded to nothing, and the unpack directory went to the root: "\onefile_...".
  const std::u16string too_long = u"/" + std::u16string(5000, u'd');
  ScopedVariable temporary(u"TMPDIR", too_long.c_str());
  const auto state = std::make_unique<launcher::RunState>();
  EXPECT_EXIT(launcher::determine_unpack_directory(*state), aborted(),
              Eq("Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\n"));
#endif
}

TEST(LauncherVariables, NameTheLauncherDirectoryAndTheFirstArgument) {
  ScopedVariable directory(u"ZAMRIK_ONEFILE_DIRECTORY", nullptr);
  ScopedVariable argv0(u"ZAMRIK_ORIGINAL_ARGV0", nullptr);
  const auto state = std::make_unique<launcher::RunState>();
  launcher::publish_launcher_variables(*state);
  const std::u16string plain = platform::ExecutablePath().executable_path(false);
  EXPECT_EQ(value_of(u"ZAMRIK_ONEFILE_DIRECTORY"), plain.substr(0, plain.rfind(u'\\')));
  EXPECT_EQ(value_of(u"ZAMRIK_ORIGINAL_ARGV0"), std::u16string(os::argument_vector()[0]));
}

#ifndef _WIN32
// The Windows side runs against real Windows processes in the end-to-end tests.
TEST(ConsoleEventHandler, SupervisesARealChildAndRemovesTheDirectory) {
  namespace fs = std::filesystem;
  const fs::path directory = fs::temp_directory_path() / ("zamrik-handler-" + std::to_string(os::current_process_id()));
  const auto state = std::make_unique<launcher::RunState>();
  const auto unpack = [&] {
    fs::create_directories(directory / "sub");
    std::u16string path = directory.u16string();
    for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
    std::copy(path.begin(), path.end() + 1, state->unpack_directory);
  };
  const auto supervise = [&](std::u16string script) {
    std::u16string line = u"sh -c \"" + script + u"\"";
    os::Handle child = os::create_child_process(u"/bin/sh", line.data(), nullptr);
    EXPECT_NE(child, nullptr);
    os::Handle own = os::duplicate_handle(child);
    state->child_process.store(child);
    return own;
  };
  const auto exit_code = [](os::Handle own) {
    std::uint32_t code = 0;
    EXPECT_EQ(os::wait_for(own), os::WaitResult::ended);
    EXPECT_TRUE(os::exit_code_of(own, &code));
    os::close_handle(own);
    return code;
  };
  state->unpacked.cleanup_needed = true;
  state->unpacked.directory_created = true;

  unpack();
  os::Handle quick = supervise(u"sleep 0.2; exit 9");
  EXPECT_TRUE(fs::exists(directory));
  EXPECT_FALSE(launcher::console_event_handler(*state, os::ConsoleEvent::ctrl_c));
  EXPECT_EQ(exit_code(quick), 9u);
  EXPECT_EQ(state->child_process.load(), nullptr);
  EXPECT_FALSE(fs::exists(directory));

  unpack();
  os::Handle slow = supervise(u"exec sleep 30");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(launcher::console_event_handler(*state, os::ConsoleEvent::close));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900)) << "the child had its five seconds";
  EXPECT_EQ(exit_code(slow), 128u + 9u) << "ended by SIGKILL, which carries no exit code";
  EXPECT_FALSE(fs::exists(directory));
}
#endif

}  // namespace
