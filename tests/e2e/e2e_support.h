// Starting launcher executables as a user would, and reading what their application reported.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace e2e {

// One report of the test application: its "key=value" lines, values unescaped.
struct Report {
  std::map<std::string, std::wstring> values;

  bool has(const std::string& key) const { return values.count(key) != 0; }
  std::wstring operator[](const std::string& key) const;
  std::vector<std::wstring> arguments() const;  // argv[0 .. argc - 1]
  std::wstring directory() const;               // the unpack directory: the library's
};

struct Outcome {
  std::uint32_t process_id = 0;
  std::uint32_t exit_code = 0;
  std::uint64_t exit_time = 0;  // system time, 100 ns units
  std::string out, err;
  std::vector<Report> reports;
};

// A variable to set for the started process; no value removes it.
struct Variable {
  std::wstring name;
  std::optional<std::wstring> value;
};

std::wstring here();                          // the directory of this test program
std::wstring this_program();                  // its full path; "--sleep MS [CODE]" makes it wait
std::wstring built(const std::wstring& name);  // here()\name.exe
std::wstring quoted(const std::wstring& text);
std::wstring short_path(const std::wstring& path);
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);
bool exists(const std::wstring& path);
std::vector<std::wstring> entries_of(const std::wstring& directory);  // the names in it
void write_small_file(const std::wstring& path);
bool remove_tree(const std::wstring& path);
// Every file below directory, as paths relative to it.
std::vector<std::wstring> files_below(const std::wstring& directory);

// Copies a built launcher to copy and lets edit change its attached data in place: the bytes of
// its section, header first. For data that the packer would never write.
void copy_with_changed_data(const std::wstring& launcher, const std::wstring& copy,
                            const std::function<void(std::span<std::uint8_t> data)>& edit);
// Edits for copy_with_changed_data: the path of the table's entry at index becomes path, which
// must have the same length; the stream's last byte is changed.
void rename_entry(std::span<std::uint8_t> data, std::size_t index, const std::wstring& path);
void damage_stream_end(std::span<std::uint8_t> data);

struct Start {
  std::wstring program;       // the application name given to CreateProcessW
  std::wstring arguments;     // the command line after its first word, as typed
  std::wstring first_word;    // the command line's first word; empty: the quoted program
  std::vector<Variable> variables;
  std::wstring directory;     // empty: this program's current directory
  // No standard handles at all, as a program started from the desktop gets; the streams then
  // stay empty.
  bool no_standard_handles = false;
};

std::vector<Report> reports_in(const std::string& out);

// A started process that the test has not waited for yet; its streams are read as they come.
class Running {
 public:
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running();  // ends the process if it still runs

  std::uint32_t id() const { return id_; }
  void* handle() const { return handle_; }  // the process, to wait on or to end
  // Waits until the standard output holds a whole line that starts with prefix: false when
  // the limit passes first.
  bool wait_for_line(const std::string& prefix, std::uint32_t milliseconds = 60000);
  std::string output_so_far();
  // Waits for the end and gathers what the process left.
  Outcome finish();

 private:
  friend class LauncherTest;
  struct Streams;
  Running();

  std::unique_ptr<Streams> streams_;
  void* handle_ = nullptr;
  std::uint32_t id_ = 0;
};

// Every launcher test gets a fresh temporary directory (TMP and TEMP of the started
// processes), and none of the six variables unless it sets them.
class LauncherTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Outcome run(const Start& start);
  // Starts as run does and returns at once; null when the process could not start.
  std::unique_ptr<Running> start(const Start& start);
  // The names in the temporary directory.
  std::vector<std::wstring> temporary_entries() const;
  // A process that the test waits on or ends: its handle, null (and a failure) when it cannot
  // be opened. Ended and closed when the test ends, before anything else.
  void* watch(std::uint32_t process_id);
  // Ends and closes the watched processes now.
  void end_watched();

  std::wstring temporary_;
  std::vector<void*> watched_;
};

}  // namespace e2e
