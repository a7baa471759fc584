// The launcher's resources: the section's directory tree read back, the resources compared with
// what the resource compiler makes of the same script, and the icon files refused.
#include "resources.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <tuple>

#include "bytes/little_endian.h"
#include "icon.h"
#include "pack_error.h"
#include "pack_test_support.h"
#include "pe_resources.h"

namespace {

namespace fs = std::filesystem;
using pack_test::read_file;
using pack_test::TempDir;
using pack_test::write_file;
using testing::HasSubstr;

// Checked: a wrong offset fails the test instead of reading past the end.
std::uint32_t u16_at(const std::string& bytes, std::uint64_t at) { return little_endian::load_u16(bytes.substr(at, 2).c_str()); }
std::uint32_t u32_at(const std::string& bytes, std::uint64_t at) { return little_endian::load_u32(bytes.substr(at, 4).c_str()); }

using Key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;  // type, id, language

// Reads a resource section as the loader does: three levels of directories of id entries, the
// leaves' data found by address.
std::map<Key, std::string> read_section(const std::string& section, std::uint32_t rva) {
  std::map<Key, std::string> found;
  const auto entries = [&](std::uint32_t directory) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    EXPECT_EQ(u16_at(section, directory + 12), 0u) << "named entries";
    const std::uint32_t count = u16_at(section, directory + 14);
    for (std::uint32_t i = 0; i < count; ++i) {
      list.emplace_back(u32_at(section, directory + 16 + 8 * i), u32_at(section, directory + 20 + 8 * i));
    }
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1].first, list[i].first) << "sorted ids";
    return list;
  };
  for (const auto& [type, type_at] : entries(0)) {
    EXPECT_NE(type_at & 0x80000000, 0u);
    for (const auto& [id, id_at] : entries(type_at & 0x7FFFFFFF)) {
      EXPECT_NE(id_at & 0x80000000, 0u);
      for (const auto& [language, leaf] : entries(id_at & 0x7FFFFFFF)) {
        EXPECT_EQ(leaf & 0x80000000, 0u);
        const std::uint32_t data_rva = u32_at(section, leaf), size = u32_at(section, leaf + 4);
        EXPECT_EQ((data_rva - rva) % 8, 0u);
        found[{type, id, language}] = section.substr(data_rva - rva, size);
      }
    }
  }
  return found;
}

// Reads a compiled resource file (.res): a header for each resource, then its data.
std::map<Key, std::string> read_res_file(const std::string& res) {
  std::map<Key, std::string> found;
  std::uint64_t at = 0;
  while (at + 32 <= res.size()) {
    const std::uint32_t data_size = u32_at(res, at), header_size = u32_at(res, at + 4);
    EXPECT_EQ(u16_at(res, at + 8), 0xFFFFu) << "a numbered type";
    EXPECT_EQ(u16_at(res, at + 12), 0xFFFFu) << "a numbered name";
    const Key key{u16_at(res, at + 10), u16_at(res, at + 14), u16_at(res, at + 22)};
    if (data_size != 0) found[key] = res.substr(at + header_size, data_size);
    at = (at + header_size + data_size + 3) & ~std::uint64_t{3};
  }
  return found;
}

pack::LauncherIdentity sample_identity() {
  pack::IdentityOptions options;
  options.company = "Zo\xc3\xab & \"Sons\"";
  options.product = "Hello \xe6\x97\xa5\xe6\x9c\xac";
  options.version = pack::VersionNumbers{{1, 2, 65535, 0}};
  return pack::decide_identity(options, {}, "unused");
}

TEST(Resources, SectionHoldsEachResourceOnceInEnglish) {
  const auto icons = pack::read_icon_file(pack::generated_icon(), "the generated icon");
  const std::vector<pack::Resource> resources = pack::launcher_resources(sample_identity());
  constexpr std::uint32_t rva = 0x91000;
  const std::map<Key, std::string> found = read_section(pack::resource_section(resources, rva), rva);
  ASSERT_EQ(found.size(), icons.size() + 3);
  for (const pack::Resource& resource : resources) {
    const auto at = found.find({resource.type, resource.id, 0x409});
    ASSERT_NE(at, found.end()) << resource.type << "/" << resource.id;
    EXPECT_TRUE(at->second == resource.data) << resource.type << "/" << resource.id;
  }
  for (std::uint32_t id = 1; id <= icons.size(); ++id) EXPECT_TRUE(found.count({3, id, 0x409})) << "icon " << id;
  for (std::uint32_t type : {14, 16, 24}) EXPECT_TRUE(found.count({type, 1, 0x409})) << "type " << type;
}

// The resource compiler is the reference for the version resource's layout, the icon group and
// the manifest: the same script through it gives the same bytes.
TEST(Resources, MatchWhatTheResourceCompilerMakesOfTheSameScript) {
  if (std::system("x86_64-w64-mingw32-windres --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no resource compiler";
  TempDir dir;
  const std::string ico = pack::generated_icon();
  write_file(dir / "app.ico", ico);
  const std::vector<pack::Resource> resources = pack::launcher_resources(sample_identity());
  write_file(dir / "app.manifest", resources.back().data);
  const pack::LauncherIdentity id = sample_identity();
  write_file(dir / "app.rc",
             "1 24 \"app.manifest\"\n1 ICON \"app.ico\"\n1 VERSIONINFO\nFILEVERSION 1,2,65535,0\n"
             "PRODUCTVERSION 1,2,65535,0\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\n"
             "FILESUBTYPE 0\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904b0\"\n    BEGIN\n"
             "      VALUE \"CompanyName\", \"Zo\xc3\xab & \"\"Sons\"\"\"\n"
             "      VALUE \"FileDescription\", \"" + id.product() + "\"\n"
             "      VALUE \"FileVersion\", \"" + id.version_text() + "\"\n"
             "      VALUE \"ProductName\", \"" + id.product() + "\"\n"
             "      VALUE \"ProductVersion\", \"" + id.version_text() + "\"\n"
             "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x409, 1200\n  END\nEND\n");
  const std::string command = "cd " + dir.path().string() +
                              " && x86_64-w64-mingw32-windres -c 65001 -O res app.rc app.res 2>windres.txt";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir / "windres.txt");
  const std::map<Key, std::string> compiled = read_res_file(read_file(dir / "app.res"));
  ASSERT_EQ(compiled.size(), resources.size());
  for (const pack::Resource& resource : resources) {
    const auto at = compiled.find({resource.type, resource.id, 0x409});
    ASSERT_NE(at, compiled.end()) << resource.type << "/" << resource.id;
    EXPECT_TRUE(at->second == resource.data) << "type " << resource.type << ", id " << resource.id;
  }
}

TEST(Resources, RefusesIconFilesThatAreNone) {
  const std::string header("\0\0\1\0\1\0", 6);
  const auto entry = [](std::uint32_t size, std::uint32_t offset) {
    std::string e("\x10\x10\0\0\1\0\x20\0", 8);
    for (std::uint32_t v : {size, offset}) {
      for (int i = 0; i < 4; ++i) e += static_cast<char>(v >> (8 * i));
    }
    return e;
  };
  struct Case {
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"", "not an .ico file"},
      {std::string("\0\0\2\0\1\0", 6), "not an .ico file"},  // a cursor file
      {std::string("\0\0\1\0\0\0", 6), "holds no image"},
      {header, "cut short"},
      {header + entry(10, 22), "lies outside it"},
      {header + entry(0, 22), "lies outside it"},
      {header + entry(4, 0xFFFFFFFF) + "abcd", "lies outside it"},
  };
  for (const Case& c : cases) {
    try {
      pack::read_icon_file(c.bytes, "x.ico");
      ADD_FAILURE() << c.message << ": accepted";
    } catch (const pack::InputError& error) {
      EXPECT_THAT(error.what(), testing::StartsWith("x.ico: "));
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
  const std::vector<pack::IconImage> one = pack::read_icon_file(header + entry(4, 22) + "abcd", "x.ico");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].data, "abcd");
  EXPECT_EQ(one[0].width, 16);
  EXPECT_EQ(one[0].bit_count, 32);
}

}  // namespace
