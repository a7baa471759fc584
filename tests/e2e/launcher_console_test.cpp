// What a packed executable is to Windows: its subsystem, its version resource and icon as the
// system reads them; and a windowed launcher that fails with nowhere to write. A console
// launcher on a console is console_launcher.sh's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "bytes/little_endian.h"
#include "os/win32/windows_api.h"

namespace e2e {
namespace {

using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;

std::uint16_t subsystem_of(const std::wstring& path) {
  std::ifstream in(narrow(path), std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const std::size_t pe = little_endian::load_u32(&head[0x3C]);
  return little_endian::load_u16(&head[pe + 24 + 68]);
}

// The version resource as the system reads it: the fixed numbers and every usual string.
std::map<std::string, std::wstring> version_of(const std::wstring& path) {
  std::map<std::string, std::wstring> found;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return found;
  std::vector<char> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return found;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr) {
    found["file version"] = std::to_wstring(fixed->dwFileVersionMS) + L"." + std::to_wstring(fixed->dwFileVersionLS);
    found["product version"] = std::to_wstring(fixed->dwProductVersionMS) + L"." + std::to_wstring(fixed->dwProductVersionLS);
  }
  WORD* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) || length < 4) {
    return found;
  }
  const auto hex4 = [](WORD value) {
    std::wstring digits;
    for (int shift = 12; shift >= 0; shift -= 4) digits += L"0123456789abcdef"[(value >> shift) & 0xF];
    return digits;
  };
  const std::wstring table = L"\\StringFileInfo\\" + hex4(translation[0]) + hex4(translation[1]) + L"\\";
  for (const char* key : {"Comments", "CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                          "LegalTrademarks", "OriginalFilename", "PrivateBuild", "ProductName", "ProductVersion", "SpecialBuild"}) {
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), (table + widen(key)).c_str(), reinterpret_cast<void**>(&value), &length) && value != nullptr) {
      found[key] = std::wstring(value);
    }
  }
  return found;
}

// The images of the first icon group, as the system loads them.
std::vector<std::string> icons_of(const std::wstring& path) {
  std::vector<std::string> images;
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return images;
  const auto bytes = [&](HRSRC found) {
    const HGLOBAL loaded = LoadResource(module, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data == nullptr ? std::string() : std::string(data, SizeofResource(module, found));
  };
  LPWSTR first = nullptr;
  EnumResourceNamesW(module, MAKEINTRESOURCEW(14), [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR first) -> BOOL {
    *reinterpret_cast<LPWSTR*>(first) = IS_INTRESOURCE(name) ? name : _wcsdup(name);
    return FALSE;
  }, reinterpret_cast<LONG_PTR>(&first));
  if (HRSRC group = first != nullptr ? FindResourceW(module, first, MAKEINTRESOURCEW(14)) : nullptr) {
    const std::string directory = bytes(group);
    const std::size_t count = directory.size() >= 6 ? static_cast<std::uint8_t>(directory[4]) : 0;
    for (std::size_t i = 0; i < count && 6 + 14 * (i + 1) <= directory.size(); ++i) {
      const WORD id = little_endian::load_u16(&directory[6 + 14 * i + 12]);
      const HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
      images.push_back(icon != nullptr ? bytes(icon) : std::string("missing"));
    }
  }
  FreeLibrary(module);
  return images;
}

std::wstring wine_program(const wchar_t* name) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\" + name;
}

TEST(PackedIdentity, ARunProgramLendsItsSubsystemVersionAndIcon) {
  struct Case {
    const wchar_t* launcher;
    const wchar_t* program;  // in the system folder
    std::uint16_t subsystem;
  };
  const Case cases[] = {
      {L"launcher_wine_cmd", L"cmd.exe", IMAGE_SUBSYSTEM_WINDOWS_CUI},
      {L"launcher_wine_regedit", L"regedit.exe", IMAGE_SUBSYSTEM_WINDOWS_GUI},
  };
  for (const Case& c : cases) {
    const std::wstring packed = built(c.launcher), original = wine_program(c.program);
    if (!exists(packed) || !exists(original)) {
      std::printf("skipped: this Wine has no x86-64 %ls to pack\n", c.program);
      continue;
    }
    SCOPED_TRACE(narrow(c.program));
    EXPECT_EQ(subsystem_of(packed), c.subsystem);
    const std::vector<std::string> icons = icons_of(original);
    EXPECT_FALSE(icons.empty());
    EXPECT_EQ(icons_of(packed), icons);
    const std::map<std::string, std::wstring> version = version_of(original);
    const std::map<std::string, std::wstring> packed_version = version_of(packed);
    if (version.empty()) {
      // Wine's cmd.exe has none: the product is named after the executable, at 0.0.0.0.
      EXPECT_EQ(packed_version.at("ProductName"), c.launcher);
      EXPECT_EQ(packed_version.at("FileVersion"), L"0.0.0.0");
      EXPECT_EQ(packed_version.count("CompanyName"), 0u);
    } else {
      EXPECT_GE(version.size(), 6u);
      EXPECT_EQ(packed_version, version);
    }
    for (const auto& [key, value] : packed_version) {
      EXPECT_EQ(value.find(L"Caldrevine"), std::wstring::npos) << key;
      EXPECT_EQ(value.find(L"1.22.4.0"), std::wstring::npos) << key;
    }
  }
}

TEST(PackedIdentity, ConsoleProgramsMakeConsoleExecutablesAndMainLibrariesWindowedOnes) {
  EXPECT_EQ(subsystem_of(built(L"launcher_console_program")), IMAGE_SUBSYSTEM_WINDOWS_CUI);
  EXPECT_EQ(subsystem_of(built(L"launcher_graphical_program")), IMAGE_SUBSYSTEM_WINDOWS_GUI);
  EXPECT_EQ(subsystem_of(built(L"launcher_basic")), IMAGE_SUBSYSTEM_WINDOWS_GUI);
  EXPECT_EQ(version_of(built(L"launcher_basic")).at("ProductName"), L"launcher_basic");
}

BOOL CALLBACK find_box(HWND window, LPARAM found) {
  wchar_t title[256] = {};
  wchar_t kind[64] = {};
  GetWindowTextW(window, title, 256);
  GetClassNameW(window, kind, 64);
  if (std::wstring(kind) == L"#32770" && std::wstring(title) == L"launcher_no_entry.exe") {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// Started from the desktop, a windowed launcher has no standard handles: its failure appears in
// a message box, and it ends as it always does once the box is closed.
using WindowedLauncher = LauncherTest;

TEST_F(WindowedLauncher, WithNoStandardHandlesShowsItsFailureInAMessageBox) {
  const std::unique_ptr<Running> launcher =
      start({.program = built(L"launcher_no_entry"), .arguments = L"", .no_standard_handles = true});
  ASSERT_NE(launcher, nullptr);
  HWND box = nullptr;
  for (int waited = 0; box == nullptr && waited < 60000; waited += 100) {
    EnumWindows(find_box, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr && WaitForSingleObject(launcher->handle(), 100) == WAIT_OBJECT_0) break;
  }
  ASSERT_NE(box, nullptr) << "no message box appeared";
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);
  EXPECT_EQ(std::wstring(text), L"Error, DLL entry point not found.");
  EXPECT_NE(WaitForSingleObject(launcher->handle(), 500), WAIT_OBJECT_0) << "it waits for the box";
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  const Outcome run = launcher->finish();
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(temporary_entries(), IsEmpty());
}

}  // namespace
}  // namespace e2e
