// The OS layer's file calls where the system's answer needs reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/test_directory.h"

#ifdef _WIN32
#include "os/win32/private_security.h"
#include "os/win32/windows_api.h"

#include <aclapi.h>  // after windows_api.h, which settles how <windows.h> is included
#else
#include <fcntl.h>
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
