// The executable's identity: decided once from the options, the packed program's own resources
// and the defaults, and written alike to the version resource, the icon group and the identity
// section. Programs with resources of their own are made here by the resource compiler.
#include "launcher_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "icon.h"
#include "pack_error.h"
#include "pack_test_support.h"
#include "pe_image.h"
#include "pe_resources.h"
#include "resources.h"

namespace {

namespace fs = std::filesystem;
using pack_test::fixture;
using pack_test::read_file;
using pack_test::run_tool;
using pack_test::TempDir;
using pack_test::write_file;
using testing::ElementsAre;
using testing::HasSubstr;

std::span<const std::uint8_t> bytes_of(const std::string& file) {
  return {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
}

bool have_cross_tools() {
  return std::system("x86_64-w64-mingw32-windres --version >/dev/null 2>&1 && x86_64-w64-mingw32-gcc-posix --version >/dev/null 2>&1") == 0;
}

// A German table in code page 1252, two different versions, a debug flag and a string that the
// launcher's defaults never write.
constexpr char version_script[] =
    "1 VERSIONINFO\nFILEVERSION 3,1,4,1\nPRODUCTVERSION 2,7,0,0\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0x1\n"
    "FILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040704e4\"\n"
    "    BEGIN\n      VALUE \"CompanyName\", \"K\xc3\xa4se AG\"\n      VALUE \"FileDescription\", \"Ein Werkzeug\"\n"
    "      VALUE \"FileVersion\", \"3.1.4.1 (release)\"\n      VALUE \"InternalName\", \"tool\"\n"
    "      VALUE \"LegalCopyright\", \"(c) K\xc3\xa4se\"\n      VALUE \"OriginalFilename\", \"tool.exe\"\n"
    "      VALUE \"ProductName\", \"Werkzeugkasten\"\n      VALUE \"ProductVersion\", \"2.7\"\n    END\n  END\n"
    "  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x407, 1252\n  END\nEND\n";

// A 16-pixel icon of one image, and a second group after it that must not be taken.
std::string small_icon(char shade) {
  std::string image(40, '\0');
  image[0] = 40, image[4] = 16, image[8] = 32, image[12] = 1, image[14] = 32;
  image += std::string(16 * 16 * 4, shade) + std::string(16 * 4, '\0');
  std::string ico("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0", 14);
  for (std::uint32_t v : {static_cast<std::uint32_t>(image.size()), 22u}) {
    for (int i = 0; i < 4; ++i) ico += static_cast<char>(v >> (8 * i));
  }
  return ico + image;
}

// Compiles fixtures/entry.c with a resource script into dir/name (a program, or with .dll a main
// library).
fs::path build_with_resources(const TempDir& dir, const std::string& name, const std::string& script) {
  write_file(dir / "first.ico", small_icon('\x40'));
  write_file(dir / "second.ico", small_icon('\x7f'));
  write_file(dir / (name + ".rc"), script);
  const bool library = name.ends_with(".dll");
  const std::string link = library ? std::string("-shared ") + PACK_FIXTURE_DEF : "-nostdlib -nostartfiles -Wl,-e,entry";
  const std::string command = "cd " + dir.path().string() + " && x86_64-w64-mingw32-windres -c 65001 " + name +
                              ".rc -o " + name + ".o 2>err.txt && x86_64-w64-mingw32-gcc-posix -O2 -s " + link + " -o " +
                              name + " " + PACK_FIXTURE_SOURCE + " " + name + ".o 2>>err.txt";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir / "err.txt");
  return dir / name;
}

const std::string icons_script = "1 ICON \"first.ico\"\n2 ICON \"second.ico\"\n";

pack::VersionNumbers v(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) { return {{a, b, c, d}}; }

TEST(OwnResources, ReadsTheVersionResourceAndTheFirstIconGroupAsCompiled) {
  if (!have_cross_tools()) GTEST_SKIP() << "no resource compiler or cross compiler";
  TempDir dir;
  const fs::path program = build_with_resources(dir, "tool.exe", version_script + icons_script);
  const pack::OwnResources own = pack::read_own_resources(bytes_of(read_file(program)));
  ASSERT_TRUE(own.version);
  EXPECT_EQ(own.version->file_version, v(3, 1, 4, 1));
  EXPECT_EQ(own.version->product_version, v(2, 7, 0, 0));
  EXPECT_EQ(own.version->flags, 1u);
  EXPECT_EQ(own.version->language, 0x407);
  EXPECT_EQ(own.version->code_page, 1252);
  using S = pack::VersionString;
  EXPECT_THAT(own.version->strings,
              ElementsAre(S{"CompanyName", "K\xc3\xa4se AG"}, S{"FileDescription", "Ein Werkzeug"},
                          S{"FileVersion", "3.1.4.1 (release)"}, S{"InternalName", "tool"},
                          S{"LegalCopyright", "(c) K\xc3\xa4se"}, S{"OriginalFilename", "tool.exe"},
                          S{"ProductName", "Werkzeugkasten"}, S{"ProductVersion", "2.7"}));
  const std::vector<pack::IconImage> first = pack::read_icon_file(small_icon('\x40'), "first.ico");
  ASSERT_EQ(own.icons.size(), 1u);
  EXPECT_EQ(own.icons[0].data, first[0].data) << "the first group's image";
  EXPECT_EQ(own.icons[0].width, 16);

  // What the packer writes from it reads back the same.
  const pack::VersionInfo again = pack::parse_version_resource(bytes_of(pack::version_resource(*own.version)));
  EXPECT_EQ(again.strings, own.version->strings);
  EXPECT_EQ(again.file_version, own.version->file_version);
  EXPECT_EQ(again.product_version, own.version->product_version);
  EXPECT_EQ(again.language, 0x407);
  EXPECT_EQ(again.code_page, 1252);
}

TEST(OwnResources, RefusesDamagedVersionResources) {
  const std::string good = pack::version_resource(pack::decide_identity({}, {}, "x").version);
  std::string wrong_key = good, too_long = good, no_signature = good;
  wrong_key[6] = 'W';
  too_long[0] = static_cast<char>(0xFF), too_long[1] = static_cast<char>(0xFF);
  no_signature[40] ^= 1;  // inside the fixed numbers' signature
  for (const std::string* bytes : {&wrong_key, &too_long, &no_signature}) {
    EXPECT_THROW(pack::parse_version_resource(bytes_of(*bytes)), pack::PeFormatError);
  }
  EXPECT_THROW(pack::parse_version_resource(bytes_of(good.substr(0, 5))), pack::PeFormatError);
}

// Options over the program's own over the defaults, for each part on its own.
TEST(DecideIdentity, OptionsOverTheProgramsOwnOverTheDefaults) {
  pack::OwnResources own;
  own.version = pack::VersionInfo{};
  own.version->file_version = v(3, 1, 4, 1);
  own.version->product_version = v(2, 7, 0, 0);
  own.version->strings = {{"CompanyName", "K"}, {"ProductName", "P"}, {"FileDescription", "D"}, {"Comments", "C"}};
  own.icons = pack::read_icon_file(small_icon('\x40'), "own");

  const pack::LauncherIdentity defaults = pack::decide_identity({}, {}, "MyApp");
  using S = pack::VersionString;
  EXPECT_THAT(defaults.version.strings, ElementsAre(S{"FileDescription", "MyApp"}, S{"FileVersion", "0.0.0.0"},
                                                    S{"ProductName", "MyApp"}, S{"ProductVersion", "0.0.0.0"}));
  EXPECT_EQ(defaults.version.file_version, v(0, 0, 0, 0));
  EXPECT_EQ(defaults.icons.size(), pack::read_icon_file(pack::generated_icon(), "generated").size());
  EXPECT_EQ(defaults.company(), "");

  const pack::LauncherIdentity taken = pack::decide_identity({}, own, "MyApp");
  EXPECT_EQ(taken.version.strings, own.version->strings);
  EXPECT_EQ(taken.version.product_version, v(2, 7, 0, 0));
  EXPECT_EQ(taken.icons[0].data, own.icons[0].data);
  EXPECT_EQ(taken.product(), "P");
  EXPECT_EQ(taken.version_text(), "3.1.4.1");

  pack::IdentityOptions options;
  options.company = "Me";
  options.version = v(1, 2, 3, 4);
  const pack::LauncherIdentity overridden = pack::decide_identity(options, own, "MyApp");
  EXPECT_THAT(overridden.version.strings,
              ElementsAre(S{"CompanyName", "Me"}, S{"ProductName", "P"}, S{"FileDescription", "D"}, S{"Comments", "C"},
                          S{"FileVersion", "1.2.3.4"}, S{"ProductVersion", "1.2.3.4"}));
  EXPECT_EQ(overridden.version.product_version, v(1, 2, 3, 4));
  EXPECT_EQ(overridden.icons[0].data, own.icons[0].data);

  options.product = "Named";
  const pack::LauncherIdentity named = pack::decide_identity(options, {}, "MyApp");
  EXPECT_THAT(named.version.strings, ElementsAre(S{"CompanyName", "Me"}, S{"FileDescription", "Named"},
                                                 S{"FileVersion", "1.2.3.4"}, S{"ProductName", "Named"},
                                                 S{"ProductVersion", "1.2.3.4"}));
  // The identity section says what the version resource says.
  const std::string section = pack::identity_section_contents(named);
  EXPECT_EQ(section, std::string("M\0e\0\0\0N\0a\0m\0e\0d\0\0\0" "1\0.\0" "2\0.\0" "3\0.\0" "4\0\0\0", 34));
}

// Every executable the packer writes, from each kind of input.
class BuiltIdentity : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_cross_tools()) GTEST_SKIP() << "no resource compiler or cross compiler";
    fs::create_directories(dir_ / "app");
    tool_ = build_with_resources(dir_, "tool.exe", version_script + icons_script);
    fs::copy_file(tool_, dir_ / "app" / "tool.exe");
  }
  // Builds dir/app with arguments and reads the output's resources back.
  pack::OwnResources build(const std::vector<std::string>& arguments, const std::string& output = "out.exe") {
    std::vector<std::string> all{"build", (dir_ / "app").string(), "-o", (dir_ / output).string(), "-q"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const pack_test::ToolResult result = run_tool(all);
    EXPECT_EQ(result.status, 0) << result.err;
    written_ = read_file(dir_ / output);
    EXPECT_EQ(written_.find(utf16("Caldrevine")), std::string::npos);
    EXPECT_EQ(written_.find(utf16("1.22.4.0")), std::string::npos);
    return pack::read_own_resources(bytes_of(written_));
  }
  std::uint16_t subsystem() const { return pack::parse_pe_image(bytes_of(written_)).subsystem; }
  static std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
  }

  TempDir dir_;
  fs::path tool_;
  std::string written_;
};

TEST_F(BuiltIdentity, ARunProgramLendsItsVersionIconAndSubsystem) {
  const pack::OwnResources own = pack::read_own_resources(bytes_of(read_file(tool_)));
  const pack::OwnResources out = build({"--run", "tool.exe"});
  ASSERT_TRUE(out.version);
  EXPECT_EQ(out.version->strings, own.version->strings);
  EXPECT_EQ(out.version->file_version, own.version->file_version);
  EXPECT_EQ(out.version->product_version, own.version->product_version);
  EXPECT_EQ(out.version->language, own.version->language);
  ASSERT_EQ(out.icons.size(), 1u);
  EXPECT_EQ(out.icons[0].data, own.icons[0].data);
  EXPECT_EQ(subsystem(), 3u) << "console, as the program";

  EXPECT_EQ(build({"--run", "tool.exe", "--windowed"}).version->strings, own.version->strings);
  EXPECT_EQ(subsystem(), 2u);
  const pack::OwnResources renamed = build({"--run", "tool.exe", "--product", "Mine", "--icon", tool_.string()});
  EXPECT_EQ(renamed.version->strings[6], (pack::VersionString{"ProductName", "Mine"}));
  EXPECT_EQ(renamed.icons[0].data, own.icons[0].data) << "--icon takes an executable's first icon group";
}

TEST_F(BuiltIdentity, AMainLibraryIsWindowedAndNamedAfterTheOutputUnlessItSaysOtherwise) {
  fs::remove(dir_ / "app" / "tool.exe");
  fs::copy_file(fixture("main.dll"), dir_ / "app" / "main.dll");
  const pack::OwnResources plain = build({}, "My App.exe");
  ASSERT_TRUE(plain.version);
  EXPECT_EQ(plain.version->text("ProductName"), "My App");
  EXPECT_EQ(plain.version->text("CompanyName"), "");
  EXPECT_EQ(plain.version->file_version, v(0, 0, 0, 0));
  EXPECT_EQ(plain.icons.size(), pack::read_icon_file(pack::generated_icon(), "generated").size());
  EXPECT_EQ(subsystem(), 2u);
  build({"--console"});
  EXPECT_EQ(subsystem(), 3u);

  fs::remove(dir_ / "app" / "main.dll");
  const fs::path library = build_with_resources(dir_, "main.dll", version_script);
  fs::copy_file(library, dir_ / "app" / "main.dll");
  const pack::OwnResources own = build({});
  EXPECT_EQ(own.version->text("ProductName"), "Werkzeugkasten");
  EXPECT_EQ(own.version->file_version, v(3, 1, 4, 1));
  EXPECT_EQ(subsystem(), 2u);
}

TEST_F(BuiltIdentity, RefusesAnIconSourceWithoutIcons) {
  const pack_test::ToolResult result = run_tool(
      {"build", (dir_ / "app").string(), "-o", (dir_ / "out.exe").string(), "--run", "tool.exe", "--icon", fixture("main.dll").string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr(fixture("main.dll").string() + ": holds no icon group"));
  EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
}

}  // namespace
