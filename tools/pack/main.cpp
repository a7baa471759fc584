// zamrik-pack: turns a Windows application folder into one launcher executable, and lists,
// verifies and extracts what such an executable carries.
#include <zstd.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "commands.h"
#include "host_files.h"
#include "options.h"
#include "pack_error.h"
#include "payload/attached_data_writer.h"
#include "text/wide_text.h"

namespace {

constexpr char overview[] = R"(usage: zamrik-pack COMMAND [OPTION]... ARGUMENT...

Packs a Windows application (a main library or a program, and the files it needs) into one
x86-64 executable, and looks inside such executables.

commands:
  build APP_DIR -o OUT.exe   pack a folder into an executable
  list EXE                   show the files that an executable carries
  verify EXE                 check that an executable is whole and unchanged
  extract EXE DIR            write an executable's files into a new folder

options:
  -h, --help      show this help; 'zamrik-pack help COMMAND' or 'zamrik-pack COMMAND --help'
                  shows a command's options
      --version   show the version

Exit status: 0 on success, 1 for a usage error or unusable input, 2 for a failure of the tool.
)";

std::string build_help() {
  return std::string(R"(usage: zamrik-pack build APP_DIR -o OUT.exe [OPTION]...

Packs every file below APP_DIR, the main library first, into one Windows x86-64 executable.
The main library is a DLL whose entry is exported under ordinal 1.

  -o, --output FILE       the executable to write (required); it appears only when complete
      --main RELPATH      the main library, relative to APP_DIR
                          (default: the only DLL in APP_DIR that exports ordinal 1)
      --no-main-check     pack the library named by --main even if it is no PE32+
                          x86-64 DLL with an ordinal-1 export (to test how the
                          launcher reports such a library)
      --run RELPATH       instead of a main library, run the x86-64 program RELPATH
                          in APP_DIR (MyApp.exe) with the user's arguments
      --run-arg ARG       give the program ARG before the user's arguments; repeat
                          for more
      --level N           Zstandard compression level, 1 to )" + std::to_string(ZSTD_maxCLevel()) + R"( (default )" +
                             std::to_string(payload::default_level) + R"()
      --threads N         compression threads, 0 for one per core (default 0);
                          the output is the same for any number; the contents are
                          cut into independent frames of )" + std::to_string(payload::default_frame_target >> 20) + R"( MiB, which the
                          launcher decodes on every core
      --checksum          store a checksum of the contents, checked as they are unpacked
                          (default)
      --no-checksum       store none (4 bytes smaller)
      --console           make a console executable: a command prompt waits for it
      --windowed          make a windowed executable: it opens no console
                          (default: with --run, what the program is; else windowed)

The executable's icon and version resource are the program's own with --run (the main
library's, if it has them), else a generated icon and the product named after OUT.exe,
version 0.0.0.0. Each of these options replaces one part:
      --icon FILE         the icon: an .ico file, or the first icon of an .exe or .dll
      --company TEXT      company name
      --product TEXT      product name
      --app-version A.B.C.D
                          file and product version
      --version A.B.C.D   the same; deprecated, it goes in the next release
      --description TEXT  file description

  -q, --quiet             no progress bar and no summary
  -h, --help              show this help

The same folder, options and OUT.exe name always give the same bytes.
)");
}

constexpr char list_help[] = R"(usage: zamrik-pack list EXE

Shows the files that EXE carries, in the order the launcher unpacks them (the main library
first), with their sizes in bytes.

  -h, --help   show this help
)";

constexpr char verify_help[] = R"(usage: zamrik-pack verify [-q] EXE

Checks the whole of EXE: its length against what its headers describe, the checksum in its
headers, and then its attached data as the launcher reads it: header, entry table and paths,
and the compressed stream, decoded completely; the data's checksum, when stored, must match and
the decoded sizes must add up. Exit status 0 when all is well, 1 with a message that names the
damage (and where it lies, as far as can be told) when not.

  -q, --quiet  print nothing on success
  -h, --help   show this help
)";

constexpr char extract_help[] = R"(usage: zamrik-pack extract [-q] EXE DIR

Writes the files that EXE carries into DIR, as the launcher unpacks them ("\" becomes "/").
DIR must not exist or be empty. An executable packed with --run keeps the runner and its record
to itself: they are left out, and the --run options that pack DIR again are shown.

  -q, --quiet  no progress bar and no summary
  -h, --help   show this help
)";

std::string checked_text(const std::string& option, const std::string& text) {
  if (!text::to_utf16(text)) throw pack::UsageError("option '" + option + "' takes UTF-8 text");
  return text;
}

pack::BuildRequest build_request(const pack::ParsedOptions& parsed) {
  pack::BuildRequest request;
  request.app_dir = pack::path_from_utf8(parsed.operands().at(0));
  const std::optional<std::string> output = parsed.value("output");
  if (!output || output->empty()) throw pack::UsageError("build needs an output: -o OUT.exe");
  request.output = pack::path_from_utf8(*output);
  request.main = parsed.value("main");
  request.check_main = !parsed.has("no-main-check");
  if (!request.check_main && !request.main) throw pack::UsageError("--no-main-check needs --main to name the library");
  if (auto program = parsed.value("run")) {
    if (request.main) throw pack::UsageError("--run packs a program instead of a main library: leave out --main");
    request.run = pack::RunTarget{checked_text("--run", *program), {}};
    for (const std::string& argument : parsed.all_values("run-arg")) {
      request.run->arguments.push_back(checked_text("--run-arg", argument));
    }
  } else if (parsed.has("run-arg")) {
    throw pack::UsageError("--run-arg gives arguments to the program that --run names");
  }
  if (auto level = parsed.value("level")) request.level = pack::parse_number("--level", *level, 1, ZSTD_maxCLevel());
  if (auto threads = parsed.value("threads")) request.threads = pack::parse_number("--threads", *threads, 0, 200);
  request.checksum = parsed.last_of({"checksum", "no-checksum"}) != "no-checksum";
  if (auto icon = parsed.value("icon")) request.identity.icon = pack::path_from_utf8(*icon);
  if (auto company = parsed.value("company")) request.identity.company = checked_text("--company", *company);
  if (auto product = parsed.value("product")) request.identity.product = checked_text("--product", *product);
  if (auto description = parsed.value("description")) {
    request.identity.description = checked_text("--description", *description);
  }
  // --version was the first spelling, until the tool's own --version made it ambiguous.
  if (auto spelling = parsed.last_of({"app-version", "version"})) {
    const std::string version = *parsed.value(*spelling);
    if (!pack::parse_version(version)) {
      throw pack::UsageError("option '--" + *spelling + "': version '" + version +
                             "' is not of the form A.B.C.D with numbers 0 to 65535");
    }
    request.identity.version = pack::parse_version(version);
    if (parsed.has("version")) std::fputs("zamrik-pack: warning: build --version is deprecated; use --app-version\n", stderr);
  }
  if (auto subsystem = parsed.last_of({"console", "windowed"})) {
    request.subsystem = *subsystem == "console" ? pack::Subsystem::console : pack::Subsystem::windowed;
  }
  request.quiet = parsed.has("quiet");
  return request;
}

struct Command {
  const char* name;
  std::string help;
  std::vector<pack::OptionSpec> options;
  std::vector<const char*> operands;  // what each one is, for the message when it is missing
  void (*run)(const pack::ParsedOptions& parsed);
};

const std::vector<Command>& commands() {
  static const std::vector<Command> all = {
      {"build", build_help(),
       {{"output", 'o', true}, {"main", 0, true}, {"no-main-check", 0, false}, {"run", 0, true}, {"run-arg", 0, true},
        {"level", 0, true}, {"threads", 0, true}, {"checksum", 0, false},
        {"no-checksum", 0, false}, {"icon", 0, true}, {"company", 0, true}, {"product", 0, true},
        {"app-version", 0, true}, {"version", 0, true}, {"description", 0, true}, {"console", 0, false},
        {"windowed", 0, false}, {"quiet", 'q', false},
        {"help", 'h', false}},
       {"the application folder: zamrik-pack build APP_DIR -o OUT.exe"},
       [](const pack::ParsedOptions& parsed) { pack::build_executable(build_request(parsed)); }},
      {"list", list_help, {{"help", 'h', false}}, {"the executable: zamrik-pack list EXE"},
       [](const pack::ParsedOptions& parsed) { pack::list_executable(pack::path_from_utf8(parsed.operands()[0])); }},
      {"verify", verify_help, {{"quiet", 'q', false}, {"help", 'h', false}}, {"the executable: zamrik-pack verify EXE"},
       [](const pack::ParsedOptions& parsed) {
         pack::verify_executable(pack::path_from_utf8(parsed.operands()[0]), parsed.has("quiet"));
       }},
      {"extract", extract_help, {{"quiet", 'q', false}, {"help", 'h', false}},
       {"the executable and a folder: zamrik-pack extract EXE DIR", "the folder to write into: zamrik-pack extract EXE DIR"},
       [](const pack::ParsedOptions& parsed) {
         pack::extract_executable(pack::path_from_utf8(parsed.operands()[0]), pack::path_from_utf8(parsed.operands()[1]),
                                  parsed.has("quiet"));
       }},
  };
  return all;
}

const Command* find_command(const std::string& name) {
  for (const Command& candidate : commands()) {
    if (name == candidate.name) return &candidate;
  }
  return nullptr;
}

void show_version() { std::printf("zamrik-pack %s (Zstandard %s)\n", ZAMRIK_VERSION_TEXT, ZSTD_versionString()); }

int run(const std::vector<std::string>& arguments) {
  if (arguments.empty()) throw pack::UsageError("no command given");
  const std::string& name = arguments[0];
  if (name == "help" && arguments.size() > 1) {
    const Command* command = find_command(arguments[1]);
    if (!command) throw pack::UsageError("unknown command '" + arguments[1] + "'");
    if (arguments.size() > 2) throw pack::UsageError("help takes one command, not " + std::to_string(arguments.size() - 1));
    std::fputs(command->help.c_str(), stdout);
    return 0;
  }
  if (name == "-h" || name == "--help" || name == "help") {
    std::fputs(overview, stdout);
    return 0;
  }
  if (name == "--version") {
    show_version();
    return 0;
  }
  const Command* command = find_command(name);
  if (!command) throw pack::UsageError(name.starts_with("-") ? "unknown option '" + name + "'" : "unknown command '" + name + "'");
  // Alone, "build --version" asks for the tool's version; after a folder and an output it is the
  // application's version (the deprecated spelling of --app-version) that lacks its value.
  if (name == "build" && arguments.back() == "--version") {
    if (arguments.size() == 2) {
      show_version();
      return 0;
    }
    throw pack::UsageError("option '--version' needs a value: the application's version A.B.C.D, now spelled "
                           "--app-version ('zamrik-pack --version' shows the tool's own)");
  }
  const pack::ParsedOptions parsed =
      pack::parse_options({arguments.begin() + 1, arguments.end()}, command->options);
  if (parsed.has("help")) {
    std::fputs(command->help.c_str(), stdout);
    return 0;
  }
  const std::vector<std::string>& operands = parsed.operands();
  if (operands.size() < command->operands.size()) {
    throw pack::UsageError(std::string(command->name) + " needs " + command->operands[operands.size()]);
  }
  if (operands.size() > command->operands.size()) {
    throw pack::UsageError(std::string(command->name) + " takes " +
                           (command->operands.size() == 1 ? "one argument" : "two arguments") + ", not " +
                           std::to_string(operands.size()));
  }
  command->run(parsed);
  return 0;
}

// Every line of a message gets the tool's prefix, so that each problem stands on its own line.
void report(const char* kind, const std::string& message) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = message.find('\n', start);
    std::fprintf(stderr, "zamrik-pack: %s: %s\n", kind, message.substr(start, end - start).c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

std::string usage_hint(const std::vector<std::string>& arguments) {
  for (const Command& command : commands()) {
    if (!arguments.empty() && arguments[0] == command.name) return std::string("zamrik-pack ") + command.name + " --help";
  }
  return "zamrik-pack --help";
}

int run_tool(const std::vector<std::string>& arguments) {
  try {
    return run(arguments);
  } catch (const pack::UsageError& error) {
    report("error", error.what());
    std::fprintf(stderr, "Try '%s'.\n", usage_hint(arguments).c_str());
    return 1;
  } catch (const pack::InputError& error) {
    report("error", error.what());
    return 1;
  } catch (const payload::AttachedDataError& error) {
    report("error", error.what());
    return 1;
  } catch (const pack::ToolError& error) {
    report("error", error.what());
    return 2;
  } catch (const std::exception& error) {
    report("internal error", error.what());
    return 2;
  }
}

}  // namespace

// Windows hands the arguments over in UTF-16; the packer works in UTF-8 everywhere.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(text::to_utf8_replacing(std::u16string(argv[i], argv[i] + std::wcslen(argv[i]))));
  return run_tool(arguments);
}
#else
int main(int argc, char** argv) { return run_tool({argv + 1, argv + argc}); }
#endif
