#include "launcher_link.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "icon.h"
#include "identity/app_identity.h"
#include "payload/linked_attached_data.h"
#include "text/wide_text.h"

extern char** environ;

namespace pack {
namespace {

namespace fs = std::filesystem;

constexpr char kit_library[] = "libzamrik_launcher_kit.a";

constexpr char manifest[] = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
    </windowsSettings>
  </application>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
</assembly>
)";

void write_file(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw LinkError("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a tool and waits; its error output becomes part of the failure message.
void run(const std::string& step, const std::vector<std::string>& command, const fs::path& log) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw LinkError(step + ": cannot run " + command[0] + " (is the mingw-w64 toolchain installed?)");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw LinkError(step + " failed (" + command[0] + "):\n" + read_file(log));
  }
}

// Quotes text for an assembler string: the paths we pass may hold any character.
std::string assembler_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Quotes text for a resource script read as UTF-8.
std::string resource_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    if (c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string wide_constant(const char* symbol, const std::string& text) {
  std::ostringstream out;
  out << "  .globl " << symbol << "\n  .balign 2\n" << symbol << ":\n  .short ";
  const std::optional<std::u16string> units = text::to_utf16(text);
  if (!units) throw LinkError("text is not valid UTF-8: " + text);
  for (char16_t unit : *units) out << unsigned{unit} << ", ";
  out << "0\n";
  return out.str();
}

std::string application_object_source(const LinkInputs& inputs) {
  const LauncherIdentity& id = inputs.identity;
  std::ostringstream out;
  out << "  .section " << attached_data_section_name << ",\"dr\"\n"
      << "  .balign 16\n"
      << "  .globl " << attached_data_symbol << "\n"
      << attached_data_symbol << ":\n"
      << "  .incbin " << assembler_string(fs::absolute(inputs.attached_data_file).string()) << "\n"
      << "  .section .rdata,\"dr\"\n"
      << "  .balign 8\n"
      << "  .globl " << attached_data_length_symbol << "\n"
      << attached_data_length_symbol << ":\n"
      << "  .quad " << fs::file_size(inputs.attached_data_file) << "\n"
      << wide_constant(identity::company_symbol, id.company) << wide_constant(identity::product_symbol, id.product)
      << wide_constant(identity::version_symbol, id.version);
  return out.str();
}

std::string resource_script(const LauncherIdentity& id, const fs::path& manifest_file, const fs::path& icon_file) {
  const VersionNumbers v = parse_version(id.version);
  const std::string numbers = std::to_string(v.part[0]) + "," + std::to_string(v.part[1]) + "," +
                              std::to_string(v.part[2]) + "," + std::to_string(v.part[3]);
  const std::string description = id.description.empty() ? id.product : id.description;
  std::ostringstream out;
  out << "1 24 " << resource_string(manifest_file.string()) << "\n"
      << "1 ICON " << resource_string(icon_file.string()) << "\n"
      << "1 VERSIONINFO\n"
      << "FILEVERSION " << numbers << "\nPRODUCTVERSION " << numbers << "\n"
      << "FILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\n"
      << "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904b0\"\n    BEGIN\n"
      << "      VALUE \"CompanyName\", " << resource_string(id.company) << "\n"
      << "      VALUE \"FileDescription\", " << resource_string(description) << "\n"
      << "      VALUE \"FileVersion\", " << resource_string(id.version) << "\n"
      << "      VALUE \"ProductName\", " << resource_string(id.product) << "\n"
      << "      VALUE \"ProductVersion\", " << resource_string(id.version) << "\n"
      << "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x409, 1200\n  END\nEND\n";
  return out.str();
}

}  // namespace

VersionNumbers parse_version(const std::string& version) {
  VersionNumbers numbers{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = at;
    while (end < version.size() && version[end] >= '0' && version[end] <= '9') ++end;
    const bool separator_ok = i < 3 ? end < version.size() && version[end] == '.' : end == version.size();
    if (end == at || end - at > 5 || !separator_ok) {
      throw LinkError("version '" + version + "' is not of the form A.B.C.D with numbers 0 to 65535");
    }
    const unsigned long value = std::stoul(version.substr(at, end - at));
    if (value > 65535) throw LinkError("version '" + version + "' is not of the form A.B.C.D with numbers 0 to 65535");
    numbers.part[i] = static_cast<std::uint16_t>(value);
    at = end + 1;
  }
  return numbers;
}

fs::path default_launcher_kit() {
  if (const char* kit = std::getenv("ZAMRIK_LAUNCHER_KIT"); kit != nullptr && *kit != '\0') return kit;
  return ZAMRIK_DEFAULT_LAUNCHER_KIT;
}

void link_launcher(const LinkInputs& inputs) {
  const fs::path kit = inputs.launcher_kit / kit_library;
  if (!fs::exists(kit)) {
    throw LinkError("launcher kit " + kit.string() + " not found (build the Windows preset, or pass --launcher-kit)");
  }
  const fs::path& work = inputs.work_directory;
  fs::create_directories(work);
  const fs::path manifest_file = work / "launcher.manifest";
  const fs::path icon_file = work / "launcher.ico";
  write_file(manifest_file, manifest);
  if (inputs.identity.icon.empty()) {
    write_file(icon_file, generated_icon());
  } else {
    fs::copy_file(inputs.identity.icon, icon_file, fs::copy_options::overwrite_existing);
  }
  write_file(work / "application.S", application_object_source(inputs));
  write_file(work / "resources.rc", resource_script(inputs.identity, manifest_file, icon_file));

  const std::string& prefix = inputs.toolchain_prefix;
  const fs::path log = work / "tool-output.txt";
  run("assembling the attached data", {prefix + "gcc-posix", "-c", (work / "application.S").string(), "-o", (work / "application.o").string()}, log);
  run("compiling the resources",
      {prefix + "windres", "-c", "65001", "-O", "coff", (work / "resources.rc").string(), "-o", (work / "resources.o").string()}, log);
  // Objects before the kit: their strings take the place of the kit's defaults. No timestamp
  // and no symbols, so the same input links to the same bytes. The entry is named so that the
  // kit's entry object is taken on purpose, not through a start-up symbol that it happens to
  // define. Sections aligned to pages in the file let the loader map the image (the attached data
  // included) instead of reading it into private memory.
  run("linking the launcher",
      {prefix + "g++-posix", "-municode", "-mwindows", "-static", "-s", "-Wl,--no-insert-timestamp",
       "-Wl,-u,wWinMain", "-Wl,--file-alignment=4096", "-o", inputs.output.string(), (work / "application.o").string(), (work / "resources.o").string(), kit.string(),
       "-lshell32"},
      log);
}

}  // namespace pack
