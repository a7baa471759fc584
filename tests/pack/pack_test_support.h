// Helpers for the packer's tests: scratch folders, files, the fixtures and the tool itself.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_directory.h"

namespace pack_test {

namespace fs = std::filesystem;

using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

inline fs::path fixture(const std::string& name) { return fs::path(PACK_FIXTURE_DIR) / name; }

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs zamrik-pack with arguments; standard output and error are captured through files. A
// file size limit (bytes) makes writing past it fail as on a full disk.
inline ToolResult run_tool(const std::vector<std::string>& arguments, std::uint64_t file_size_limit = 0) {
  TempDir capture;
  const fs::path out = capture / "out", err = capture / "err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    if (file_size_limit != 0) {
      const rlimit limit{file_size_limit, file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      std::signal(SIGXFSZ, SIG_IGN);
    }
    std::vector<char*> argv{const_cast<char*>(ZAMRIK_PACK_TOOL)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out), read_file(err)};
}

}  // namespace pack_test
