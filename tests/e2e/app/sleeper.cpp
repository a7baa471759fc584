// Sleeps the milliseconds of its first argument, then exits with the code of its second.
#include <cstdlib>

#include "os/win32/windows_api.h"

int main(int argc, char** argv) {
  Sleep(argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 0);
  return argc > 2 ? static_cast<int>(std::strtoul(argv[2], nullptr, 0)) : 0;
}
