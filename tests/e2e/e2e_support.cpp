#include "e2e_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "os/win32/windows_api.h"
#include "bytes/little_endian.h"
#include "payload/attached_data.h"
#include "payload/linked_attached_data.h"

namespace e2e {
namespace {

constexpr const wchar_t* protocol_variables[] = {L"ZAMRIK_ONEFILE_PARENT",    L"ZAMRIK_ONEFILE_START",
                                                 L"ZAMRIK_ONEFILE_TIME_US",   L"ZAMRIK_ONEFILE_RANDOM",
                                                 L"ZAMRIK_ONEFILE_DIRECTORY", L"ZAMRIK_ORIGINAL_ARGV0"};
// Long enough for any run; a launcher that never ends is ended here and fails its test.
constexpr DWORD run_limit_milliseconds = 120000;

std::wstring unescape(const std::string& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 4 < text.size()) {
      out += static_cast<wchar_t>(std::stoul(text.substr(i + 1, 4), nullptr, 16));
      i += 4;
    } else {
      out += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
  }
  return out;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

// This program's environment without the six variables, then the test's changes, as a block.
std::wstring environment_block(const std::vector<Variable>& changes) {
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    const std::size_t equals = text.find(L'=', 1);
    entries.emplace_back(text.substr(0, equals), equals == std::wstring::npos ? L"" : text.substr(equals + 1));
  }
  FreeEnvironmentStringsW(strings);
  std::vector<Variable> all;
  for (const wchar_t* name : protocol_variables) all.push_back({name, std::nullopt});
  all.insert(all.end(), changes.begin(), changes.end());
  for (const Variable& change : all) {
    std::erase_if(entries, [&](const auto& entry) { return same_name(entry.first, change.name); });
    if (change.value) entries.emplace_back(change.name, *change.value);
  }
  std::wstring block;
  for (const auto& [name, value] : entries) block += name + L"=" + value + L'\0';
  return block + L'\0';
}

// A stream of the started process, read on a thread of its own; text() may be asked while the
// reading goes on.
struct Pipe {
  HANDLE read = nullptr, write = nullptr;
  std::mutex guard;
  std::string read_so_far;
  std::thread reader;

  Pipe() {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    CreatePipe(&read, &write, &inheritable, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  }
  void start_reading() {
    CloseHandle(write);
    reader = std::thread([this] {
      char chunk[4096];
      DWORD got = 0;
      while (ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        const std::lock_guard<std::mutex> lock(guard);
        read_so_far.append(chunk, got);
      }
    });
  }
  std::string text() {
    const std::lock_guard<std::mutex> lock(guard);
    return read_so_far;
  }
  void finish_reading() {
    if (reader.joinable()) reader.join();
  }
  ~Pipe() {
    finish_reading();
    CloseHandle(read);
  }
};

}  // namespace

struct Running::Streams {
  Pipe out, err;
};

Running::Running() : streams_(std::make_unique<Streams>()) {}

Running::~Running() {
  if (handle_ == nullptr) return;
  if (WaitForSingleObject(handle_, 0) != WAIT_OBJECT_0) TerminateProcess(handle_, 1);
  CloseHandle(handle_);
}

bool Running::wait_for_line(const std::string& prefix, std::uint32_t milliseconds) {
  const ULONGLONG give_up = GetTickCount64() + milliseconds;
  do {
    const std::string out = streams_->out.text();
    for (std::size_t at = 0; at < out.size();) {
      const std::size_t end = out.find('\n', at);
      if (end == std::string::npos) break;
      if (out.compare(at, prefix.size(), prefix) == 0) return true;
      at = end + 1;
    }
    Sleep(10);
  } while (GetTickCount64() < give_up);
  return false;
}

std::string Running::output_so_far() { return streams_->out.text(); }

Outcome Running::finish() {
  Outcome result;
  if (WaitForSingleObject(handle_, run_limit_milliseconds) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "process " << id_ << " did not end";
    TerminateProcess(handle_, 1);
    WaitForSingleObject(handle_, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(handle_, &code);
  FILETIME created, ended, kernel, user;
  GetProcessTimes(handle_, &created, &ended, &kernel, &user);
  streams_->out.finish_reading();
  streams_->err.finish_reading();

  result.process_id = id_;
  result.exit_code = code;
  result.exit_time = (std::uint64_t{ended.dwHighDateTime} << 32) | ended.dwLowDateTime;
  result.out = streams_->out.text();
  result.err = streams_->err.text();
  result.reports = reports_in(result.out);
  return result;
}

std::vector<Report> reports_in(const std::string& out) {
  std::vector<Report> reports;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    if (line.rfind("report ", 0) == 0) reports.emplace_back();
    if (reports.empty()) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    if (key.rfind("report ", 0) == 0) key = key.substr(7);
    reports.back().values[key] = unescape(line.substr(equals + 1));
  }
  return reports;
}

std::wstring Report::operator[](const std::string& key) const {
  const auto found = values.find(key);
  return found == values.end() ? L"<missing " + widen(key) + L">" : found->second;
}

std::vector<std::wstring> Report::arguments() const {
  std::vector<std::wstring> arguments;
  const int count = has("argc") ? std::stoi((*this)["argc"]) : 0;
  for (int i = 0; i < count; ++i) arguments.push_back((*this)["argv[" + std::to_string(i) + "]"]);
  return arguments;
}

std::wstring Report::directory() const {
  const std::wstring library = (*this)["library"];
  return library.substr(0, library.rfind(L'\\'));
}

std::wstring this_program() {
  wchar_t path[32768];
  GetModuleFileNameW(nullptr, path, 32768);
  return path;
}

std::wstring here() {
  const std::wstring program = this_program();
  return program.substr(0, program.rfind(L'\\'));
}

std::wstring built(const std::wstring& name) { return here() + L"\\" + name + L".exe"; }

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring short_path(const std::wstring& path) {
  wchar_t out[32768];
  const DWORD length = GetShortPathNameW(path.c_str(), out, 32768);
  return length == 0 ? path : std::wstring(out, length);
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write_small_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, "x", 1, &written, nullptr);
  CloseHandle(file);
}

bool remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(path.c_str()) != 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  bool removed = true;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") removed = remove_tree(path + L"\\" + name) && removed;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryW(path.c_str()) != 0 && removed;
}

void LauncherTest::SetUp() {
  static int serial = 0;
  wchar_t base[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, base);
  temporary_ = std::wstring(base) + L"e2e_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
  remove_tree(temporary_);
  ASSERT_TRUE(CreateDirectoryW(temporary_.c_str(), nullptr)) << narrow(temporary_);
}

void LauncherTest::TearDown() {
  end_watched();
  remove_tree(temporary_);
}

void* LauncherTest::watch(std::uint32_t process_id) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  EXPECT_NE(process, nullptr) << "process " << process_id << ": error " << GetLastError();
  if (process != nullptr) watched_.push_back(process);
  return process;
}

void LauncherTest::end_watched() {
  for (void* process : watched_) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
  watched_.clear();
}

Outcome LauncherTest::run(const Start& start) {
  const std::unique_ptr<Running> running = this->start(start);
  return running != nullptr ? running->finish() : Outcome{};
}

std::unique_ptr<Running> LauncherTest::start(const Start& start) {
  std::vector<Variable> variables{{L"TMP", temporary_}, {L"TEMP", temporary_}};
  variables.insert(variables.end(), start.variables.begin(), start.variables.end());
  std::wstring environment = environment_block(variables);
  std::wstring command_line = (start.first_word.empty() ? quoted(start.program) : start.first_word);
  if (!start.arguments.empty()) command_line += L" " + start.arguments;

  std::unique_ptr<Running> running(new Running());
  Pipe& out = running->streams_->out;
  Pipe& err = running->streams_->err;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = start.no_standard_handles ? nullptr : nothing;
  startup.hStdOutput = start.no_standard_handles ? nullptr : out.write;
  startup.hStdError = start.no_standard_handles ? nullptr : err.write;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(start.program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                      start.directory.empty() ? nullptr : start.directory.c_str(), &startup, &process);
  const DWORD start_error = GetLastError();
  CloseHandle(nothing);
  out.start_reading();
  err.start_reading();
  if (!started) {
    ADD_FAILURE() << "cannot start " << narrow(start.program) << ": error " << start_error;
    return nullptr;
  }
  CloseHandle(process.hThread);
  running->handle_ = process.hProcess;
  running->id_ = process.dwProcessId;
  return running;
}

std::vector<std::wstring> LauncherTest::temporary_entries() const { return entries_of(temporary_); }

std::vector<std::wstring> entries_of(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::vector<std::wstring> files_below(const std::wstring& directory) {
  std::vector<std::wstring> files;
  for (const std::wstring& name : entries_of(directory)) {
    const std::wstring path = directory + L"\\" + name;
    if ((GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      files.push_back(name);
      continue;
    }
    for (const std::wstring& below : files_below(path)) files.push_back(name + L"\\" + below);
  }
  return files;
}

namespace {

// The raw bytes of the executable's attached-data section.
std::span<std::uint8_t> attached_data_section(std::vector<std::uint8_t>& image) {
  const auto u32_at = [&](std::size_t at) { return little_endian::load_u32(&image[at]); };
  const std::uint32_t pe = u32_at(0x3C);
  const std::size_t sections = little_endian::load_u16(&image[pe + 6]);
  const std::size_t optional_header_size = little_endian::load_u16(&image[pe + 20]);
  for (std::size_t i = 0; i < sections; ++i) {
    const std::size_t header = pe + 24 + optional_header_size + 40 * i;
    if (std::strncmp(reinterpret_cast<const char*>(&image[header]), attached_data_section_name, 8) != 0) continue;
    const std::uint32_t size = std::min(u32_at(header + 8), u32_at(header + 16));
    return {image.data() + u32_at(header + 20), size};
  }
  ADD_FAILURE() << "no section " << attached_data_section_name;
  return {};
}

}  // namespace

void copy_with_changed_data(const std::wstring& launcher, const std::wstring& copy,
                            const std::function<void(std::span<std::uint8_t> data)>& edit) {
  std::ifstream in(launcher.c_str(), std::ios::binary);
  std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(image.empty()) << narrow(launcher);
  edit(attached_data_section(image));
  std::ofstream out(copy.c_str(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  ASSERT_TRUE(out.good()) << narrow(copy);
}

void rename_entry(std::span<std::uint8_t> data, std::size_t index, const std::wstring& path) {
  const auto header = payload::parse_attached_data_header({data.data(), data.size()});
  ASSERT_TRUE(header);
  const std::uint8_t* position = header->table;
  for (std::size_t i = 0;; ++i) {
    const auto entry = payload::parse_payload_entry(position, header->table + header->table_size);
    ASSERT_TRUE(entry) << "the table has no entry " << index;
    if (i == index) {
      ASSERT_EQ(entry->path_length, path.size()) << narrow(path);
      auto* units = const_cast<std::uint8_t*>(entry->path);
      for (std::size_t k = 0; k < path.size(); ++k) little_endian::store_u16(units + 2 * k, static_cast<std::uint16_t>(path[k]));
      return;
    }
    position = entry->end;
  }
}

void damage_stream_end(std::span<std::uint8_t> data) {
  const auto header = payload::parse_attached_data_header({data.data(), data.size()});
  ASSERT_TRUE(header && header->stream_size > 0);
  const_cast<std::uint8_t*>(header->stream)[header->stream_size - 1] ^= 0x5A;
}

}  // namespace e2e
