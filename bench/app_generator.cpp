// zamrik-bench-app: writes an application-shaped folder for the benchmarks.
//
// The default shape is the delivered application's: 707 files in 38 directories (the folder
// and 37 below it), paths of at most 79 code units, the smallest file 19 bytes, 1,351,699,297
// bytes in all, sizes skewed as in a real application (many small files, a few large ones).
// Content comes from the machine's own binaries and text, cut into pieces at seeded offsets,
// each piece passed through its own seeded byte permutation: a piece keeps the redundancy of its
// source (so it compresses like it), but two pieces from the same source do not match each
// other. The content is one tape read in the packer's file order, so the same seed and byte
// count give the same stream whatever the number of files.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t application_bytes = 1'351'699'297;
constexpr int application_files = 707;
constexpr int application_directories = 37;  // below the folder itself
constexpr std::size_t longest_path = 79;
constexpr std::uint64_t smallest_file = 19;

// splitmix64: small, and the same sequence on every compiler (the standard distributions are not).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  double normal() {
    const double u = std::max(unit(), 1e-300), v = unit();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
  }

 private:
  std::uint64_t state_;
};

struct Options {
  fs::path output;
  fs::path main_dll;
  std::uint64_t seed = 1;
  double scale = 1.0;
  std::uint64_t bytes = application_bytes;  // before scaling
  int files = application_files;
  int directories = application_directories;
  double text_share = 0.3;
  double compressed_share = 0.05;  // with level 9, about 3.1:1 as the delivered application
  bool single = false;  // the main library and one file that holds all the other bytes
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "zamrik-bench-app: " << problem << "\n"
            << "usage: zamrik-bench-app OUT_DIR --main-dll FILE [--seed N] [--scale F] [--bytes N] [--files N]\n"
            << "                        [--directories N] [--text-share F] [--compressed-share F] [--single]\n";
  std::exit(1);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--main-dll") o.main_dll = value();
    else if (arg == "--seed") o.seed = std::stoull(value());
    else if (arg == "--scale") o.scale = std::stod(value());
    else if (arg == "--bytes") o.bytes = std::stoull(value());
    else if (arg == "--files") o.files = std::stoi(value());
    else if (arg == "--directories") o.directories = std::stoi(value());
    else if (arg == "--text-share") o.text_share = std::stod(value());
    else if (arg == "--compressed-share") o.compressed_share = std::stod(value());
    else if (arg == "--single") o.single = true;
    else if (o.output.empty() && arg[0] != '-') o.output = arg;
    else usage("unexpected argument " + arg);
  }
  if (o.output.empty() || o.main_dll.empty()) usage("an output folder and --main-dll are required");
  if (o.files < 2) usage("--files must be at least 2");
  if (o.directories < 0) usage("--directories must not be negative");
  return o;
}

// ---- the source pool: real files of the machine, listed in a fixed order ----

bool already_compressed(const fs::path& path) {
  unsigned char head[4] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(head), 4);
  if (in.gcount() < 4) return true;
  const std::uint32_t magic = head[0] | head[1] << 8 | head[2] << 16 | static_cast<std::uint32_t>(head[3]) << 24;
  return (head[0] == 0x1F && (head[1] == 0x8B || head[1] == 0x9D)) ||  // gzip, compress
         magic == 0xFD2FB528 || magic == 0x04034B50 ||                  // zstd, zip
         (head[0] == 0xFD && head[1] == '7') || (head[0] == 'B' && head[1] == 'Z') ||  // xz, bzip2
         (head[0] == 0x89 && head[1] == 'P') || (head[0] == 0xFF && head[1] == 0xD8);  // png, jpeg
}

struct Source {
  fs::path path;
  std::uint64_t size;
};

struct Pools {
  std::vector<Source> binaries, texts, compressed;
};

std::vector<Source> list_sources(const std::vector<fs::path>& roots, std::uint64_t min_size) {
  std::vector<Source> out;
  for (const fs::path& root : roots) {
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
    for (; !error && it != end; it.increment(error)) {
      std::error_code e;
      if (!it->is_regular_file(e) || it->is_symlink(e)) continue;
      const std::uint64_t size = it->file_size(e);
      if (e || size < min_size) continue;
      out.push_back({it->path(), size});
    }
  }
  std::sort(out.begin(), out.end(), [](const Source& a, const Source& b) { return a.path < b.path; });
  return out;
}

// Binaries and text as they are, and already-compressed files (archives, images) from both, as
// an application ships some of those too.
Pools list_pools() {
  Pools pools;
  const auto split = [&pools](std::vector<Source> sources, std::vector<Source>& plain) {
    for (Source& s : sources) (already_compressed(s.path) ? pools.compressed : plain).push_back(std::move(s));
  };
  split(list_sources({"/usr/lib"}, 4096), pools.binaries);
  split(list_sources({"/usr/share/doc", "/usr/include"}, 1024), pools.texts);
  std::sort(pools.compressed.begin(), pools.compressed.end(), [](const Source& a, const Source& b) { return a.path < b.path; });
  if (pools.binaries.empty() || pools.texts.empty() || pools.compressed.empty()) {
    throw std::runtime_error("too few source files under /usr/lib, /usr/share/doc and /usr/include");
  }
  return pools;
}

// ---- the tape: pieces of sources, each through its own byte permutation ----

class Tape {
 public:
  Tape(std::uint64_t seed, double text_share, double compressed_share)
      : random_(seed ^ 0x7A70E5EEDull), text_share_(text_share), compressed_share_(compressed_share), pools_(list_pools()) {}

  void read(char* out, std::size_t n) {
    while (n > 0) {
      if (piece_left_ == 0) next_piece();
      const std::size_t k = std::min<std::uint64_t>(n, piece_left_);
      in_.read(out, static_cast<std::streamsize>(k));
      if (static_cast<std::size_t>(in_.gcount()) != k) throw std::runtime_error("a source file shrank while read");
      for (std::size_t i = 0; i < k; ++i) out[i] = static_cast<char>(permutation_[static_cast<unsigned char>(out[i])]);
      out += k;
      n -= k;
      piece_left_ -= k;
    }
  }

 private:
  void next_piece() {
    const double pick = random_.unit();
    const std::vector<Source>& pool = pick < compressed_share_                ? pools_.compressed
                                      : pick < compressed_share_ + text_share_ ? pools_.texts
                                                                               : pools_.binaries;
    const Source& source = pool[random_.below(pool.size())];
    // Pieces of 16 KiB to 4 MiB, log-uniform: long enough to keep the source's structure.
    const std::uint64_t wanted = static_cast<std::uint64_t>(std::exp(std::log(16384.0) + random_.unit() * std::log(256.0)));
    const std::uint64_t length = std::min(wanted, source.size);
    const std::uint64_t offset = random_.below(source.size - length + 1);
    in_.close();
    in_.clear();
    in_.open(source.path, std::ios::binary);
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_) throw std::runtime_error("cannot read " + source.path.string());
    piece_left_ = length;
    for (int i = 0; i < 256; ++i) permutation_[i] = static_cast<unsigned char>(i);
    for (int i = 255; i > 0; --i) std::swap(permutation_[i], permutation_[random_.below(i + 1)]);
  }

  Random random_;
  double text_share_, compressed_share_;
  Pools pools_;
  std::ifstream in_;
  std::uint64_t piece_left_ = 0;
  std::array<unsigned char, 256> permutation_{};
};

// ---- the shape: directories, names and sizes ----

const char* const words[] = {"core", "data", "lib", "plugins", "platforms", "imageformats", "styles", "locales",
                             "resources", "python", "site", "packages", "encodings", "json", "xml", "http",
                             "email", "assets", "shaders", "fonts", "icons", "themes", "translations", "runtime",
                             "modules", "codecs", "network", "sql", "crypto", "audio", "video", "render",
                             "ui", "tools", "config", "cache", "media", "help", "scripts", "extensions"};
const char* const extensions[] = {".dll", ".dll", ".pyd", ".py", ".txt", ".json", ".dat", ".bin", ".qm", ".pak", ".xml"};

std::string pick_word(Random& random) { return words[random.below(std::size(words))]; }

std::vector<std::string> make_directories(Random& random, int count) {
  std::vector<std::string> dirs;  // relative, "/" as separator; "" is the folder itself
  std::set<std::string> seen;
  while (static_cast<int>(dirs.size()) < count) {
    // Either a new top-level directory or a child of one made before, at most four deep.
    std::string parent;
    if (!dirs.empty() && random.below(4) != 0) parent = dirs[random.below(dirs.size())];
    if (std::count(parent.begin(), parent.end(), '/') >= 3) continue;
    std::string name = (parent.empty() ? "" : parent + "/") + pick_word(random);
    if (name.size() > 40 || !seen.insert(name).second) continue;
    dirs.push_back(name);
  }
  return dirs;
}

struct Planned {
  std::string path;  // relative, "/" as separator
  std::uint64_t size;
};

// Skewed sizes: log-normal, scaled to the total, the smallest set to 19 bytes.
std::vector<std::uint64_t> make_sizes(Random& random, int count, std::uint64_t total) {
  std::vector<double> weights(count);
  for (double& w : weights) w = std::exp(2.6 * random.normal());
  std::sort(weights.begin(), weights.end());
  std::vector<std::uint64_t> sizes(count);
  sizes[0] = std::min(smallest_file, total / count);
  double rest = 0;
  for (int i = 1; i < count; ++i) rest += weights[i];
  std::uint64_t sum = sizes[0];
  for (int i = 1; i < count; ++i) {
    sizes[i] = std::max<std::uint64_t>(sizes[0], static_cast<std::uint64_t>(weights[i] / rest * static_cast<double>(total - sizes[0])));
    sum += sizes[i];
  }
  // Rounding lands on the largest file.
  sizes.back() = sizes.back() + total - sum;
  return sizes;
}

std::vector<Planned> plan(const Options& o, std::uint64_t total, std::uint64_t main_size) {
  Random random(o.seed);
  std::vector<Planned> files;
  if (o.single) {
    files.push_back({"data/payload.bin", total - main_size});
    return files;
  }
  std::vector<std::string> dirs = make_directories(random, o.directories);
  std::vector<std::uint64_t> sizes = make_sizes(random, o.files - 1, total - main_size);
  for (std::size_t i = sizes.size(); i > 1; --i) std::swap(sizes[i - 1], sizes[random.below(i)]);
  std::set<std::string> seen{"main.dll"};
  // Every directory holds at least one file, so the tree has exactly the directories asked for.
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string dir = i < dirs.size() ? dirs[i] : (random.below(5) == 0 ? "" : dirs.empty() ? "" : dirs[random.below(dirs.size())]);
    for (int attempt = 0;; ++attempt) {
      std::string stem = pick_word(random) + "_" + pick_word(random);
      if (attempt > 2) stem += std::to_string(random.below(100000));
      std::string path = (dir.empty() ? "" : dir + "/") + stem + extensions[random.below(std::size(extensions))];
      if (path.size() <= longest_path && seen.insert(path).second) {
        files.push_back({path, sizes[i]});
        break;
      }
    }
  }
  // One path of exactly the longest length, as in the delivered application.
  Planned& longest = *std::max_element(files.begin(), files.end(), [](const Planned& a, const Planned& b) {
    return std::count(a.path.begin(), a.path.end(), '/') < std::count(b.path.begin(), b.path.end(), '/');
  });
  const std::size_t dot = longest.path.rfind('.');
  seen.erase(longest.path);
  longest.path.insert(dot, std::string(longest_path - longest.path.size(), 'x'));
  seen.insert(longest.path);
  return files;
}

void write_from_tape(Tape& tape, const fs::path& path, std::uint64_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  while (size > 0) {
    const std::size_t k = std::min<std::uint64_t>(size, buffer.size());
    tape.read(buffer.data(), k);
    out.write(buffer.data(), static_cast<std::streamsize>(k));
    size -= k;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parse(argc, argv);
    const std::uint64_t total = static_cast<std::uint64_t>(std::llround(static_cast<double>(o.bytes) * o.scale));
    const std::uint64_t main_size = fs::file_size(o.main_dll);
    if (total < main_size + static_cast<std::uint64_t>(o.files) * smallest_file) usage("too few bytes for that many files");
    if (fs::exists(o.output)) fs::remove_all(o.output);
    fs::create_directories(o.output);
    fs::copy_file(o.main_dll, o.output / "main.dll");

    std::vector<Planned> files = plan(o, total, main_size);
    // The packer's order: sorted paths (the main library goes first on its own).
    std::sort(files.begin(), files.end(), [](const Planned& a, const Planned& b) { return fs::path(a.path) < fs::path(b.path); });
    Tape tape(o.seed, o.text_share, o.compressed_share);
    std::set<std::string> dirs;
    std::size_t longest = 8;
    std::uint64_t smallest = main_size;
    for (const Planned& f : files) {
      write_from_tape(tape, o.output / f.path, f.size);
      for (fs::path d = fs::path(f.path).parent_path(); !d.empty(); d = d.parent_path()) dirs.insert(d.generic_string());
      longest = std::max(longest, f.path.size());
      smallest = std::min(smallest, f.size);
    }
    std::cout << "{\"files\": " << files.size() + 1 << ", \"directories\": " << dirs.size() + 1 << ", \"bytes\": " << total
              << ", \"longest_path\": " << longest << ", \"smallest_file\": " << smallest << "}\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "zamrik-bench-app: " << error.what() << "\n";
    return 2;
  }
}
