// The OS layer's file calls where the system's answer needs reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/test_directory.h"

#ifdef _WIN32
#include "os/win32/private_security.h"
#include "os/win32/windows_api.h"

#include <aclapi.h>  // after windows_api.h, which settles how <windows.h> is included
#else
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/posix/descriptor.h"
#endif

namespace {

using test_support::TestDirectory;

// The writing end of a pipe that takes only what fits in its buffer, at once, and reports success
// for the part it took; the second handle is the reading end, which nobody reads.
struct ShortWritePipe {
  os::Handle write_end = os::invalid_handle;
  os::Handle read_end = os::invalid_handle;

  ShortWritePipe() {
#ifdef _WIN32
    const wchar_t* name = L"\\\\.\\pipe\\zamrik-short-write";
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 4096, 0, nullptr);
    HANDLE client = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_NOWAIT;
    if (server == INVALID_HANDLE_VALUE || client == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) {
      ADD_FAILURE() << "cannot make the pipe: " << GetLastError();
    }
    read_end = server;
    write_end = client;
#else
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) ADD_FAILURE() << "cannot make the pipe";
    read_end = os::posix::handle_of(ends[0]);
    write_end = os::posix::handle_of(ends[1]);
#endif
  }
  ~ShortWritePipe() {
    os::close_handle(write_end);
    os::close_handle(read_end);
  }
};

TEST(WriteFile, FailsWhenTheSystemTakesFewerBytesThanOffered) {
  const ShortWritePipe pipe;
  const std::vector<char> data(1 << 20, 'x');
  EXPECT_FALSE(os::write_file(pipe.write_end, data.data(), static_cast<std::uint32_t>(data.size())));
  // The unpack loop prints this code with the system's text for it.
  EXPECT_NE(os::last_error(), 0u);
}

// Several threads write pieces of one file at their offsets, in any order, through one handle.
TEST(WriteFileAt, PiecesFromSeveralThreadsLandAtTheirOffsets) {
  TestDirectory scratch;
  const std::u16string path = scratch.launcher("pieces.bin");
  const os::Handle file = os::create_file_for_writing(path.c_str());
  ASSERT_NE(file, os::invalid_handle);
  constexpr std::size_t piece = 100000;
  std::string whole(8 * piece, '\0');
  for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<char>(i * 7 + i / 251);
  std::vector<std::thread> writers;
  bool written[8] = {};
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 7 - t; i >= 0; i -= 2) written[i] = os::write_file_at(file, whole.data() + i * piece, piece, i * piece);
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_TRUE(os::close_handle(file));
  for (bool ok : written) EXPECT_TRUE(ok);
  EXPECT_TRUE(test_support::read_file(scratch.path() / "pieces.bin") == whole);

  // A handle that cannot write reports the failure.
  EXPECT_FALSE(os::write_file_at(os::open_file_for_reading(path.c_str()), whole.data(), 1, 0));
}

// The processors that the process may use, not those that the machine has.
TEST(ProcessorCount, FollowsTheProcessAffinity) {
  const std::uint32_t all = os::processor_count();
  EXPECT_GE(all, 1u);
#ifdef _WIN32
  DWORD_PTR process_mask = 0, system_mask = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
  DWORD_PTR lowest = process_mask & (~process_mask + 1);
  if (!SetProcessAffinityMask(GetCurrentProcess(), lowest)) GTEST_SKIP() << "the affinity cannot be set here";
  EXPECT_EQ(os::processor_count(), 1u);
  SetProcessAffinityMask(GetCurrentProcess(), process_mask);
#else
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(os::processor_count(), 1u);
  sched_setaffinity(0, sizeof saved, &saved);
#endif
  EXPECT_EQ(os::processor_count(), all);
}

TEST(CloseHandle, ReportsWhetherTheSystemClosedIt) {
  ShortWritePipe pipe;
  EXPECT_TRUE(os::close_handle(pipe.write_end));
  EXPECT_FALSE(os::close_handle(pipe.write_end)) << "closed twice";
  pipe.write_end = os::invalid_handle;
}

#ifdef _WIN32
// An access list in words: whether it is protected from inheritance, then one
// "allow <mask> <flags> user|other" per entry.
std::vector<std::string> describe(PSECURITY_DESCRIPTOR descriptor) {
  std::vector<std::string> words;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    return {"no access list"};
  }
  words.push_back((control & SE_DACL_PROTECTED) != 0 ? "protected" : "inherits");
  os::win32::PrivateSecurity own;
  if (!os::win32::make_private_security(own)) return {"the user is unknown"};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    GetAce(dacl, i, reinterpret_cast<void**>(&ace));
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      words.push_back("type " + std::to_string(ace->AceType));
      continue;
    }
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    const bool user = EqualSid(&allowed->SidStart, own.token_user.user.User.Sid) != 0;
    char text[64];
    std::snprintf(text, sizeof text, "allow %lx %x %s", allowed->Mask, ace->AceFlags, user ? "user" : "other");
    words.push_back(text);
  }
  return words;
}

std::vector<std::string> access_list_on_disk(const std::filesystem::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return {"unreadable"};
  }
  std::vector<std::string> words = describe(descriptor);
  LocalFree(descriptor);
  return words;
}

bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::string only_the_user(unsigned flags) {
  char text[64];
  std::snprintf(text, sizeof text, "allow %lx %x user", static_cast<unsigned long>(FILE_ALL_ACCESS), flags);
  return text;
}
#endif

TEST(CreatePrivateDirectory, AsksForOneAccessEntryForTheUserHandedDownAndNothingInherited) {
#ifndef _WIN32
  GTEST_SKIP() << "the POSIX backend asks for mode 0700; see the next test";
#else
  // What is passed to the system, checked where the system (Wine) keeps no access lists.
  os::win32::PrivateSecurity security;
  ASSERT_TRUE(os::win32::make_private_security(security));
  EXPECT_THAT(describe(&security.descriptor),
              testing::ElementsAre("protected", only_the_user(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)));
#endif
}

TEST(CreatePrivateDirectory, MakesANewDirectoryOnlyTheUserMayOpen) {
  TestDirectory scratch;
  const std::filesystem::path made = scratch.path() / "private";
  ASSERT_EQ(os::create_private_directory(scratch.launcher("private").c_str()), os::CreateDirectoryResult::created);
  ASSERT_TRUE(std::filesystem::is_directory(made));
#ifdef _WIN32
  if (under_wine()) GTEST_SKIP() << "Wine keeps no access list for files; it reads one back made from the Unix mode";
  EXPECT_THAT(access_list_on_disk(made),
              testing::ElementsAre("protected", only_the_user(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)));
  test_support::write_file(made / "inside.txt", "x");
  EXPECT_THAT(access_list_on_disk(made / "inside.txt"), testing::ElementsAre("inherits", only_the_user(INHERITED_ACE)));
#else
  struct stat status;
  ASSERT_EQ(::stat(made.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u) << "whatever the umask allows";
#endif
}

TEST(CreatePrivateDirectory, AnythingOfThatNameCountsAsExistingAndStaysAsItIs) {
  TestDirectory scratch;
  test_support::write_file(scratch.path() / "directory" / "planted.txt", "planted");
  test_support::write_file(scratch.path() / "file", "a file");
  std::error_code no_links;
  std::filesystem::create_directory_symlink(scratch.path() / "directory", scratch.path() / "link", no_links);
  for (const char* name : {"directory", "file", "link"}) {
    if (!std::filesystem::exists(std::filesystem::symlink_status(scratch.path() / name))) continue;  // no link made here
    EXPECT_EQ(os::create_private_directory(scratch.launcher(name).c_str()), os::CreateDirectoryResult::already_exists) << name;
  }
  EXPECT_EQ(test_support::read_file(scratch.path() / "directory" / "planted.txt"), "planted");
  EXPECT_EQ(test_support::read_file(scratch.path() / "file"), "a file");
  EXPECT_EQ(os::create_private_directory(scratch.launcher(std::filesystem::path("missing") / "below").c_str()),
            os::CreateDirectoryResult::failed);
}

}  // namespace
