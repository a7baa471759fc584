// The launcher against OS calls that fail on demand: a real system fails them only in rare
// situations, so each is wrapped at link time (see CMakeLists.txt) and goes to the real call
// unless a test says otherwise. Everything else is the real backend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "os/os.h"
#include "payload/block_builder.h"
#include "payload/unpack.h"
#include "support/test_directory.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "os/win32/windows_api.h"
#endif

namespace {

// What the wrapped calls do; every test starts from the defaults.
struct Seams {
  int closes = 0;
  int failing_close = 0;  // this close (counted from 1) closes the handle, then reports a failure
};
Seams seams;

// A code that both systems have a text for: access denied on Windows, an I/O error on Linux.
constexpr std::uint32_t failure_code = 5;

void set_last_error(std::uint32_t code) {
#ifdef _WIN32
  SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

class SeamTest : public testing::Test {
 protected:
  void SetUp() override { seams = {}; }
  void TearDown() override { seams = {}; }
};

}  // namespace

extern "C" {
bool __real__ZN2os12close_handleEPv(os::Handle handle);
bool __wrap__ZN2os12close_handleEPv(os::Handle handle) {
  const bool closed = __real__ZN2os12close_handleEPv(handle);
  if (++seams.closes != seams.failing_close) return closed;
  set_last_error(failure_code);
  return false;
}
}

namespace {

using test_support::exited_with_2;
using test_support::TestDirectory;
using testing::StartsWith;

void unpack(const std::vector<std::uint8_t>& block, const std::u16string& directory) {
  auto unpacker = std::make_unique<payload::Unpacker>();
  payload::UnpackResult result;
  unpacker->unpack_attached_data({block.data(), block.size()}, directory.c_str(), payload::Role::parent, result);
}

using UnpackSeamDeathTest = SeamTest;

TEST_F(UnpackSeamDeathTest, AFileWhoseCloseFailsIsAWriteFailure) {
  TestDirectory scratch;
  const auto block = payload::build_block({{u"main.dll", std::string(70000, 'm'), {}}, {u"empty.txt", "", {}}});
  for (int failing : {1, 2}) {  // a file with data, an empty one
    EXPECT_EXIT((seams.failing_close = failing, unpack(block, scratch.launcher("unpacked"))), exited_with_2(),
                StartsWith("Error, couldn't unpack file to target path. ([Error 5] "))
        << failing;
  }
}

}  // namespace
