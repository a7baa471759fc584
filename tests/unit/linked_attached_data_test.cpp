// The launcher finds its attached data by name in its own section table. On Windows the test
// also reads the real image it runs in; everywhere it reads mapped images made here.
#include "payload/linked_attached_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Section {
  const char* name;  // up to 8 characters
  std::uint32_t rva;
  std::uint32_t virtual_size;
};

// A mapped image as the loader leaves it: headers at the base, each section at its RVA.
std::vector<std::uint8_t> mapped_image(const std::vector<Section>& sections, std::uint16_t optional_size = 240) {
  std::vector<std::uint8_t> image(0x10000, 0);
  const std::uint32_t pe = 0x80;
  image[0] = 'M';
  image[1] = 'Z';
  std::memcpy(&image[0x3C], &pe, 4);
  std::memcpy(&image[pe], "PE\0\0", 4);
  const std::uint16_t count = static_cast<std::uint16_t>(sections.size());
  std::memcpy(&image[pe + 6], &count, 2);
  std::memcpy(&image[pe + 20], &optional_size, 2);
  std::uint32_t at = pe + 24 + optional_size;
  for (const Section& s : sections) {
    std::memcpy(&image[at], s.name, std::strlen(s.name));
    std::memcpy(&image[at + 8], &s.virtual_size, 4);
    std::memcpy(&image[at + 12], &s.rva, 4);
    at += 40;
  }
  return image;
}

TEST(LinkedBlock, FindsTheSectionByItsWholeName) {
  struct Case {
    std::vector<Section> sections;
    std::uint16_t optional_size;
    std::uint32_t want_rva;  // 0: not found
    std::uint64_t want_size;
  };
  const Case cases[] = {
      {{{".text", 0x1000, 0x800}, {".zamrik", 0x2000, 16}, {".rsrc", 0x3000, 0x10}}, 240, 0x2000, 16},
      {{{".text", 0x1000, 0x800}, {".rsrc", 0x3000, 0x10}, {".zamrik", 0x4000, 0x1234}}, 240, 0x4000, 0x1234},
      {{{".zamrik", 0x5000, 77}}, 224, 0x5000, 77},  // a smaller optional header moves the table
      {{{".zamrikx", 0x2000, 16}, {".zamri", 0x3000, 16}}, 240, 0, 0},
      {{{".text", 0x1000, 0x800}}, 240, 0, 0},
      {{}, 240, 0, 0},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> image = mapped_image(c.sections, c.optional_size);
    const payload::AttachedData found = payload::find_image_section(image.data(), attached_data_section_name);
    if (c.want_rva == 0) {
      EXPECT_EQ(found.start, nullptr);
      EXPECT_EQ(found.length, 0u);
    } else {
      EXPECT_EQ(found.start, image.data() + c.want_rva);
      EXPECT_EQ(found.length, c.want_size);
    }
  }
}

#ifdef _WIN32
extern "C" const std::uint8_t __ImageBase[];

// The test program itself has a .text section and no attached data.
TEST(LinkedBlock, ReadsTheImageItRunsIn) {
  EXPECT_NE(payload::find_image_section(__ImageBase, ".text").start, nullptr);
  EXPECT_EQ(payload::find_image_section(__ImageBase, attached_data_section_name).start, nullptr);
}
#endif

}  // namespace
