#include "pe_image.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "bytes/little_endian.h"
#include "pack_test_support.h"

namespace {

using pack_test::fixture;
using pack_test::read_file;
using testing::HasSubstr;

std::span<const std::uint8_t> bytes_of(const std::string& file) {
  return {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
}

std::uint32_t pe_offset(const std::string& file) {
  return little_endian::load_u32(&file[0x3C]);
}

TEST(PeImage, ReadsARealDll) {
  const std::string dll = read_file(fixture("main.dll"));
  const pack::PeImage image = pack::parse_pe_image(bytes_of(dll));
  EXPECT_EQ(image.machine, pack::machine_x86_64);
  EXPECT_TRUE(image.pe32_plus);
  EXPECT_NE(image.characteristics & pack::file_is_dll, 0);
  EXPECT_NE(pack::find_section(image, ".text"), nullptr);
  EXPECT_EQ(pack::find_section(image, ".zamrik"), nullptr);
  EXPECT_TRUE(pack::exports_ordinal(bytes_of(dll), image, 1));
  EXPECT_FALSE(pack::exports_ordinal(bytes_of(dll), image, 2));
  EXPECT_EQ(pack::main_library_problem(bytes_of(dll)), "");
}

TEST(PeImage, NamesWhatKeepsAFileFromBeingTheMainLibrary) {
  const std::string dll = read_file(fixture("main.dll"));
  const std::uint32_t pe = pe_offset(dll);
  std::string x86 = dll;
  x86[pe + 4] = '\x4c', x86[pe + 5] = '\x01';
  std::string pe32 = dll;
  pe32[pe + 24] = '\x0b', pe32[pe + 25] = '\x01';
  struct Case {
    const char* label;
    std::string file;
    const char* problem;
  };
  const Case cases[] = {
      {"ordinal 2 only", read_file(fixture("other.dll")), "exports no function under ordinal 1"},
      {"program", read_file(fixture("program.exe")), "is an executable, not a DLL"},
      {"x86 machine", x86, "is built for x86 (32-bit), not x86-64"},
      {"PE32 header", pe32, "is a PE32 image, not PE32+"},
      {"text", "just some text, long enough to hold a DOS header's worth of bytes: 0123456789abcdef", "no MZ header"},
      {"cut short", dll.substr(0, pe + 10), "truncated PE header"},
      {"empty", "", "no MZ header"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(pack::main_library_problem(bytes_of(c.file)), HasSubstr(c.problem)) << c.label;
  }
}

TEST(PeImage, RefusesSectionsThatLiePastTheEndOfTheFile) {
  const std::string dll = read_file(fixture("main.dll"));
  const pack::PeImage image = pack::parse_pe_image(bytes_of(dll));
  pack::PeSection beyond = *pack::find_section(image, ".text");
  beyond.raw_offset = static_cast<std::uint32_t>(dll.size());
  EXPECT_THROW(pack::section_contents(bytes_of(dll), beyond), pack::PeFormatError);
}

}  // namespace
