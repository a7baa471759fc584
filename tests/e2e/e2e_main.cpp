// The end-to-end test program. Started as "--sleep MS [CODE]" it only waits and exits with
// CODE: the tests use it as a child process that they control.
#include <gmock/gmock.h>

#include <cstdlib>
#include <string>

#include "os/win32/windows_api.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--sleep") {
    Sleep(std::strtoul(argv[2], nullptr, 0));
    return argc >= 4 ? static_cast<int>(std::strtoul(argv[3], nullptr, 0)) : 0;
  }
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
