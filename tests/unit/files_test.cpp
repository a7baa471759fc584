// The OS layer's file calls where the system's answer needs reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "os/os.h"

#ifdef _WIN32
#include "os/win32/windows_api.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

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
    read_end = reinterpret_cast<os::Handle>(static_cast<std::intptr_t>(ends[0]));
    write_end = reinterpret_cast<os::Handle>(static_cast<std::intptr_t>(ends[1]));
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

}  // namespace
