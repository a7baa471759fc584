#include "payload/contained_path.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using test_support::narrow;

TEST(EntryPathStaysInside, TakesPlainNamesSeparatedByBackslashes) {
  const std::u16string_view accepted[] = {
      u"main.dll", u"data\\a.txt", u"a\\b\\c\\d.bin", u".hidden", u"a..b", u"...x", u"a b\\c d.txt", u"~\\x",
      u"CONSOLE.txt", u"COM10", u"nul-device.txt", u"LPT", u"x\\con-x", u"\u00e9t\u00e9\\\u65e5\u672c.txt",
      u"a*b", u"tab\there",  // names Windows refuses to create, but no way out
  };
  for (std::u16string_view path : accepted) EXPECT_TRUE(payload::entry_path_stays_inside(path)) << narrow(path);
}

TEST(EntryPathStaysInside, RefusesEveryWayOut) {
  const std::u16string_view refused[] = {
      u"",
      u"..", u"..\\x.txt", u"..\\..\\dir\\x", u"a\\..\\..\\x", u"a\\..",                    // parents
      u".", u".\\x.txt", u"a\\.\\b",                                                       // the directory itself
      u"\\x.txt", u"\\\\server\\share\\x", u"a\\\\b", u"a\\",                               // empty components
      u"C:", u"C:x.txt", u"C:\\x.txt", u"x:stream", u"a\\b:c",                             // drives and streams
      u"a/b", u"../x", u"a\\..\\/x", u"/etc/x",                                           // the other separator
      u"a.", u"...", u". .", u".. ", u"..\u0020\\x", u"a \\b", u"data.\\x",               // stripped endings
      u"NUL", u"nul.txt", u"data\\Con.log", u"aux .c", u"COM1", u"lpt9.txt", u"COM\u00b9", u"CONOUT$",  // devices
  };
  for (std::u16string_view path : refused) EXPECT_FALSE(payload::entry_path_stays_inside(path)) << narrow(path);
}

}  // namespace
