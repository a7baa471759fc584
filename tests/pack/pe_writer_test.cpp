// The executables that the packer writes, read back field by field: the launcher image's bytes
// kept, the three sections it adds, and every header field that must agree with them.
#include "pe_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "bytes/little_endian.h"
#include "icon.h"
#include "launcher_file.h"
#include "pe_resources.h"
#include "launcher_image.h"
#include "pack_error.h"
#include "pack_test_support.h"
#include "pe_image.h"

namespace {

namespace fs = std::filesystem;
using pack_test::read_file;
using pack_test::TempDir;
using testing::HasSubstr;
using testing::Not;
using namespace std::string_literals;

std::span<const std::uint8_t> bytes_of(const std::string& file) {
  return {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
}
std::uint32_t u16_at(const std::string& file, std::uint64_t at) { return little_endian::load_u16(&file[at]); }
std::uint32_t u32_at(const std::string& file, std::uint64_t at) { return little_endian::load_u32(&file[at]); }

struct Headers {
  std::uint64_t optional;
  std::uint64_t table;
};
Headers headers_of(const std::string& file) {
  const std::uint64_t pe = u32_at(file, 0x3C);
  return {pe + 24, pe + 24 + u16_at(file, pe + 20)};
}

std::uint32_t checksum_of(const std::string& file) {
  std::istringstream in(file);
  return pack::pe_checksum(in, headers_of(file).optional + 64);
}

pack::LauncherIdentity identity_of(const pack::IdentityOptions& options) { return pack::decide_identity(options, {}, "out"); }

std::string write_executable(const TempDir& dir, const pack::LauncherIdentity& identity, const std::string& block,
                             pack::Subsystem subsystem = pack::Subsystem::windowed) {
  const fs::path path = dir / "out.exe";
  {
    std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    pack::write_launcher(out, identity, subsystem, [&](std::ostream& stream) {
      stream << block;
      return block.size();
    });
  }
  return read_file(path);
}

std::string utf16le(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) little_endian::append_u16(out, unit);
  return out;
}

TEST(LauncherImage, EndsWithItsIdentitySectionAndCarriesTheLinkersChecksum) {
  const std::span<const std::uint8_t> bytes = pack::embedded_launcher_image();
  const std::string image(bytes.begin(), bytes.end());
  const pack::PeImage pe = pack::parse_pe_image(bytes);
  ASSERT_FALSE(pe.sections.empty());
  EXPECT_EQ(pe.sections.back().name, ".zamid");
  EXPECT_EQ(pe.sections.back().raw_offset + pe.sections.back().raw_size, image.size());
  EXPECT_EQ(pack::find_section(pe, ".zamrik"), nullptr);
  EXPECT_EQ(pack::find_section(pe, ".rsrc"), nullptr);
  const Headers h = headers_of(image);
  EXPECT_EQ(u16_at(image, h.optional + 68), 2u) << "graphical subsystem";
  EXPECT_EQ(u32_at(image, h.optional + 36), 4096u) << "file alignment";
  EXPECT_EQ(u32_at(image, u32_at(image, 0x3C) + 8), 0u) << "time stamp";
  // The linker computed this one: our sum must agree with it.
  EXPECT_EQ(checksum_of(image), u32_at(image, h.optional + 64));
  // The build's identity, as the launcher reads it when nothing replaced it (the linker pads
  // the section with zeros).
  const auto section = pack::section_contents(bytes, pe.sections.back());
  const std::string identity(section.begin(), section.end());
  const std::string want = utf16le(u"Caldrevine\0Caldrevine\0" u"1.22.4.0\0"s);
  ASSERT_GE(identity.size(), want.size());
  EXPECT_EQ(identity.substr(0, want.size()), want);
  EXPECT_EQ(identity.substr(want.size()), std::string(identity.size() - want.size(), '\0'));
}

TEST(ExecutableWriter, HeadersAgreeWithTheSectionsItAdds) {
  const std::span<const std::uint8_t> launcher = pack::embedded_launcher_image();
  const std::string image(launcher.begin(), launcher.end());
  const pack::PeImage original = pack::parse_pe_image(launcher);
  const std::uint64_t kept = original.sections.back().raw_offset;

  const pack::LauncherIdentity plain = identity_of({});
  const pack::LauncherIdentity long_one = identity_of(
      {std::string(5000, 'c') + "\xc3\xa9", "Zo\xc3\xab \xe6\x97\xa5\xe6\x9c\xac", std::nullopt, pack::VersionNumbers{{65535, 0, 1, 2}}, {}});
  using pack::Subsystem;
  struct Case {
    const pack::LauncherIdentity* identity;
    std::u16string identity_units;
    std::size_t block_size;
    Subsystem subsystem;
  };
  const Case cases[] = {
      {&plain, u"\0out\0" u"0.0.0.0\0"s, 16, Subsystem::windowed},
      {&plain, u"\0out\0" u"0.0.0.0\0"s, 4096, Subsystem::console},
      {&long_one, std::u16string(5000, u'c') + u"\u00e9\0Zo\u00eb \u65e5\u672c\0" u"65535.0.1.2\0"s, 4097, Subsystem::console},
      {&long_one, std::u16string(5000, u'c') + u"\u00e9\0Zo\u00eb \u65e5\u672c\0" u"65535.0.1.2\0"s, (1 << 20) + 3,
       Subsystem::windowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("block of " + std::to_string(c.block_size) + " bytes");
    std::string block(c.block_size, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 1);
    TempDir dir;
    const std::string exe = write_executable(dir, *c.identity, block, c.subsystem);
    const pack::PeImage pe = pack::parse_pe_image(bytes_of(exe));
    const Headers h = headers_of(exe);

    // Every byte before the identity section is the image's, but for the header fields below.
    std::string masked_exe = exe.substr(0, kept), masked_image = image.substr(0, kept);
    for (std::string* s : {&masked_exe, &masked_image}) {
      s->replace(u32_at(image, 0x3C) + 6, 2, 2, '\0');  // section count
      for (std::uint64_t field : {8, 56, 64, 112 + 16, 112 + 20}) s->replace(h.optional + field, 4, 4, '\0');
      s->replace(h.optional + 68, 2, 2, '\0');  // subsystem
      s->replace(h.table + 40 * (original.sections.size() - 1), 120, 120, '\0');
    }
    EXPECT_TRUE(masked_exe == masked_image);

    ASSERT_EQ(pe.sections.size(), original.sections.size() + 2);
    const std::uint32_t section_alignment = u32_at(exe, h.optional + 32);
    std::uint64_t initialized = 0;
    for (std::size_t i = 0; i < pe.sections.size(); ++i) {
      const pack::PeSection& s = pe.sections[i];
      EXPECT_EQ(s.virtual_address % 4096, 0u) << s.name;
      if (s.raw_size != 0) {
        EXPECT_EQ(s.raw_offset % 4096, 0u) << s.name;
      }
      if (s.characteristics & 0x40) initialized += s.raw_size;
      if (i + 1 < pe.sections.size()) {
        const std::uint64_t end = (std::uint64_t{s.virtual_address} + s.virtual_size + section_alignment - 1) /
                                  section_alignment * section_alignment;
        EXPECT_EQ(pe.sections[i + 1].virtual_address, end) << "after " << s.name;
      }
    }
    const pack::PeSection& identity = pe.sections[pe.sections.size() - 3];
    const pack::PeSection& data = pe.sections[pe.sections.size() - 2];
    const pack::PeSection& resources = pe.sections.back();
    EXPECT_EQ(identity.name, ".zamid");
    EXPECT_EQ(identity.virtual_address, original.sections.back().virtual_address);
    const auto identity_bytes = pack::section_contents(bytes_of(exe), identity);
    EXPECT_EQ(std::string(identity_bytes.begin(), identity_bytes.end()), utf16le(c.identity_units));
    EXPECT_EQ(data.name, ".zamrik");
    EXPECT_EQ(data.characteristics, 0x40000040u) << "initialized data, read-only, not executable";
    const auto data_bytes = pack::section_contents(bytes_of(exe), data);
    EXPECT_TRUE(std::string(data_bytes.begin(), data_bytes.end()) == block);
    EXPECT_EQ(data.raw_offset, identity.raw_offset + identity.raw_size);
    EXPECT_EQ(resources.name, ".rsrc");
    EXPECT_EQ(resources.raw_offset, data.raw_offset + data.raw_size);
    EXPECT_EQ(std::uint64_t{resources.raw_offset} + resources.raw_size, exe.size());

    EXPECT_EQ(u32_at(exe, h.optional + 8), initialized) << "size of initialized data";
    EXPECT_EQ(u32_at(exe, h.optional + 56),
              (resources.virtual_address + resources.virtual_size + section_alignment - 1) / section_alignment * section_alignment)
        << "size of image";
    EXPECT_EQ(u32_at(exe, h.optional + 112 + 16), resources.virtual_address) << "resource directory";
    EXPECT_EQ(u32_at(exe, h.optional + 112 + 20), resources.virtual_size);
    EXPECT_EQ(u32_at(exe, h.optional + 112 + 32), 0u) << "no certificate";
    EXPECT_EQ(u32_at(exe, h.optional + 112 + 36), 0u);
    EXPECT_EQ(u32_at(exe, h.optional + 64), checksum_of(exe));
    EXPECT_NE(u32_at(exe, h.optional + 64), 0u);
    EXPECT_EQ(u16_at(exe, h.optional + 68), static_cast<std::uint32_t>(c.subsystem));
  }
}

TEST(ExecutableWriter, RefusesImagesNotLaidOutForIt) {
  const std::span<const std::uint8_t> launcher = pack::embedded_launcher_image();
  const std::string image(launcher.begin(), launcher.end());
  const Headers h = headers_of(image);
  const pack::PeImage pe = pack::parse_pe_image(launcher);
  const std::uint64_t last = h.table + 40 * (pe.sections.size() - 1);
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  std::string renamed = image, trailing = image + std::string(16, '\x01'), with_resources = image, crowded = image;
  renamed.replace(last, 6, ".other");
  with_resources.replace(h.optional + 112 + 16, 4, "\x00\x10\x00\x00", 4);
  crowded[last + 40 + 60] = 1;
  const Case cases[] = {
      {"last section renamed", renamed, "does not end with its identity section"},
      {"bytes after the last section", trailing, "data after its last section"},
      {"resources already", with_resources, "already has resources"},
      {"no room in the table", crowded, "no room for two more sections"},
      {"not a PE file", std::string(4096, 'x'), "not a PE image"},
  };
  for (const Case& c : cases) {
    try {
      pack::ExecutableWriter writer(bytes_of(c.bytes), "");
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const pack::ToolError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message)) << c.what;
    }
  }
}

// The checksum over awkward lengths: an odd last byte counts as the low half of a word, and the
// field's own bytes never count.
TEST(PeChecksum, SumsWordsWithFoldedCarriesAndSkipsItsOwnField) {
  struct Case {
    std::string bytes;
    std::uint64_t field;
    std::uint32_t want;
  };
  const Case cases[] = {
      {"", 100, 0},
      {"\x01", 100, 1 + 1},
      {"\x01\x02\x03", 100, 0x0201 + 0x03 + 3},
      // 0xFFFF + 0xFFFF folds to 0xFFFF, and + 2 to 0x0002.
      {std::string("\xff\xff\xff\xff\x02\x00", 6), 100, 2 + 6},
      {std::string("\x10\x00\xaa\xbb\xcc\xdd\x20\x00", 8), 2, 0x30 + 8},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.bytes);
    EXPECT_EQ(pack::pe_checksum(in, c.field), c.want) << c.bytes.size() << " bytes";
  }
}

// objdump reads the written executable as a well-formed image, with the data section read-only.
TEST(ExecutableWriter, ObjdumpReadsTheExecutable) {
  if (std::system("x86_64-w64-mingw32-objdump --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no objdump for PE";
  TempDir dir;
  write_executable(dir, identity_of({}), std::string(5000, 'z'));
  const std::string command = "x86_64-w64-mingw32-objdump -x " + (dir / "out.exe").string() + " >" +
                              (dir / "dump.txt").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir / "dump.txt");
  const std::string dump = read_file(dir / "dump.txt");
  EXPECT_THAT(dump, Not(HasSubstr("warning")));
  EXPECT_THAT(dump, testing::ContainsRegex("\\.zamrik +00001388 .*\n +CONTENTS, ALLOC, LOAD, READONLY, DATA"));
  EXPECT_THAT(dump, testing::ContainsRegex("Entry 2 [0-9a-f]+ 0000[0-9a-f]+ Resource Directory \\[\\.rsrc\\]"));
}

}  // namespace
