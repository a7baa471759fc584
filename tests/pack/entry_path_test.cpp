#include "entry_path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "payload/contained_path.h"
#include "text/wide_text.h"

namespace {

using testing::HasSubstr;

// A path of exactly this many units, in names of 199 units.
std::u16string path_of_length(std::size_t units) {
  std::u16string path;
  while (units - path.size() > 200) path += std::u16string(199, u'p') + u"\\";
  return path + std::u16string(units - path.size(), u'q');
}

TEST(EntryPath, AcceptsWhatLandsInsideTheUnpackDirectory) {
  const std::u16string accepted[] = {
      u"main.dll", u"data\\a.txt", u".hidden", u"a..b", u"...x", u"CONSOLE.txt", u"COM10", u"nul-device.txt",
      u"\u00e9t\u00e9\\\u65e5\u672c.txt", u"\U0001F600.png", std::u16string(255, u'n'),
      path_of_length(pack::max_entry_path_units),
  };
  for (const std::u16string& path : accepted) {
    EXPECT_EQ(pack::entry_path_problem(path), "") << text::to_utf8_replacing(path);
    // What the packer writes, the launcher takes.
    EXPECT_TRUE(payload::entry_path_stays_inside(path)) << text::to_utf8_replacing(path);
  }
}

TEST(EntryPath, RefusesWhatWouldEscapeOrChangeOnWindows) {
  struct Case {
    std::u16string path;
    const char* reason;
  };
  const Case cases[] = {
      {u"", "is empty"},
      {u"..\\evil.dll", "climbs out"},
      {u"data\\..\\..\\evil.dll", "climbs out"},
      {u"\\Windows\\evil.dll", "absolute"},
      {u"C:\\evil.dll", "drive letter"},
      {u"c:evil.dll", "drive letter"},
      {u"data\\\\a.txt", "empty component"},
      {u"data\\", "empty component"},
      {u".\\a.txt", "'.' component"},
      {u"ab:stream", "':'"},
      {u"what?.txt", "'?'"},
      {u"a*b", "'*'"},
      {u"a<b", "'<'"},
      {u"a|b", "'|'"},
      {u"a\"b", "'\"'"},
      {u"a/b", "'/'"},
      {u"tab\there", "U+0009"},
      {u"name.", "ends in a dot"},
      {u"data.\\a.txt", "ends in a dot"},
      {u"name ", "ends in a space"},
      {u"NUL", "device"},
      {u"nul.txt", "device"},
      {u"data\\Con.log", "device"},
      {u"aux .c", "device"},
      {u"COM1", "device"},
      {u"lpt9.txt", "device"},
      {u"COM\u00b9", "device"},
      {u"CONOUT$", "device"},
      {std::u16string(256, u'n'), "255"},
      {path_of_length(pack::max_entry_path_units + 1), "is 4064 units long; behind the shortest unpack directory the launcher takes 4063"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(pack::entry_path_problem(c.path), HasSubstr(c.reason)) << text::to_utf8_replacing(c.path);
  }
}

}  // namespace
