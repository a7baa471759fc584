// zamrik-pack: turns an application folder into one launcher executable.
// A first form of the tool: `build APP_DIR -o OUT.exe [--main RELPATH] [--launcher-kit DIR]`.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "launcher_link.h"
#include "payload/block_builder.h"

namespace fs = std::filesystem;

namespace {

std::u16string entry_path(const fs::path& relative) {
  std::u16string out;
  for (char16_t c : pack::utf16_from_utf8(relative.generic_string())) out += c == u'/' ? u'\\' : c;
  return out;
}

int build(int argc, char** argv) {
  fs::path app, output, kit = pack::default_launcher_kit();
  std::string main_library = "main.dll";
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-o" || arg == "--output") output = value();
    else if (arg == "--main") main_library = value();
    else if (arg == "--launcher-kit") kit = value();
    else if (app.empty()) app = arg;
    else throw std::invalid_argument("unexpected argument " + arg);
  }
  if (app.empty() || output.empty()) throw std::invalid_argument("usage: zamrik-pack build APP_DIR -o OUT.exe [--main RELPATH]");

  std::vector<fs::path> files;
  for (const auto& item : fs::recursive_directory_iterator(app)) {
    if (item.is_regular_file()) files.push_back(fs::relative(item.path(), app));
  }
  std::sort(files.begin(), files.end());
  const auto main_entry = std::find(files.begin(), files.end(), fs::path(main_library));
  if (main_entry == files.end()) throw std::invalid_argument((app / main_library).string() + ": main library not found");
  std::rotate(files.begin(), main_entry, main_entry + 1);

  std::vector<payload::BlockEntry> entries;
  for (const fs::path& file : files) entries.push_back({entry_path(file), {}, app / file});

  const fs::path work = fs::path(output).concat(".work");
  fs::create_directories(work);
  const fs::path block = work / "block.bin";
  {
    std::ofstream out(block, std::ios::binary | std::ios::trunc);
    payload::write_block(entries, payload::BlockOptions{}, out);
  }
  const fs::path partial = fs::path(output).concat(".partial");
  pack::link_launcher({block, partial, {}, kit, "x86_64-w64-mingw32-", work});
  fs::rename(partial, output);
  fs::remove_all(work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 2 && std::string(argv[1]) == "build") return build(argc - 2, argv + 2);
    std::cerr << "usage: zamrik-pack build APP_DIR -o OUT.exe [--main RELPATH] [--launcher-kit DIR]\n";
    return 1;
  } catch (const std::invalid_argument& error) {
    std::cerr << "zamrik-pack: " << error.what() << "\n";
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "zamrik-pack: " << error.what() << "\n";
    return 2;
  }
}
