#include "text/wide_text.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

#ifndef _WIN32
#include "os/posix/text.h"
#endif

using test_support::narrow;

namespace {

// Every byte as two hex digits, for messages about text that is not UTF-8.
std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{digits[c >> 4], digits[c & 15], ' '};
  return out;
}

TEST(WideText, ConvertsUtf8StrictlyBothWays) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case round_trips[] = {
      {"plain", u"plain"}, {"\xc3\xa9", u"\u00e9"}, {"\xe6\x97\xa5", u"\u65e5"}, {"\xf0\x9f\x98\x80", u"\U0001F600"}, {"", u""},
      // The ends of each range, and U+FFFD written out.
      {"\xc2\x80", u"\u0080"}, {"\xdf\xbf", u"\u07ff"}, {"\xe0\xa0\x80", u"\u0800"}, {"\xed\x9f\xbf", u"\ud7ff"},
      {"\xee\x80\x80", u"\ue000"}, {"\xef\xbf\xbd", u"\ufffd"}, {"\xef\xbf\xbf", u"\uffff"},
      {"\xf0\x90\x80\x80", u"\U00010000"}, {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
  };
  for (const Case& c : round_trips) {
    EXPECT_EQ(text::to_utf16(c.utf8), c.utf16) << hex(c.utf8);
    EXPECT_EQ(text::to_utf8(c.utf16), c.utf8) << hex(c.utf8);
    EXPECT_EQ(text::to_utf16_replacing(c.utf8), c.utf16) << hex(c.utf8);
    EXPECT_EQ(text::to_utf8_replacing(c.utf16), c.utf8) << hex(c.utf8);
  }
}

// Each malformed sequence: refused by the strict conversion, and one U+FFFD for each maximal
// ill-formed subpart in the replacing one.
struct Malformed {
  std::string utf8;
  std::u16string replaced;
};
const Malformed malformed[] = {
    {"\x80", u"\ufffd"},                                // a continuation byte without a lead
    {"a\x80" "b", u"a\ufffd" "b"},
    {"\xc0\xaf", u"\ufffd\ufffd"},                      // C0 and C1 only ever start overlong forms
    {"\xc1\xbf", u"\ufffd\ufffd"},
    {"\xe0\x80\xaf", u"\ufffd\ufffd\ufffd"},            // overlong '/' in three bytes
    {"\xf0\x80\x80\xaf", u"\ufffd\ufffd\ufffd\ufffd"},  // and in four
    {"\xed\xa0\x80", u"\ufffd\ufffd\ufffd"},            // a surrogate
    {"\xed\xbf\xbf", u"\ufffd\ufffd\ufffd"},
    {"\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},  // past U+10FFFF
    {"\xf5\x80\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},  // lead bytes F5 to F7 start nothing either
    {"\xf7\xbf\xbf\xbf", u"\ufffd\ufffd\ufffd\ufffd"},
    {"\xf8\x88\x80\x80\x80", u"\ufffd\ufffd\ufffd\ufffd\ufffd"},
    {"\xff", u"\ufffd"},
    {"\xc3", u"\ufffd"},                                // cut short by the end
    {"\xe6\x97", u"\ufffd"},
    {"\xf0\x9f\x98", u"\ufffd"},
    {"\xc3(", u"\ufffd("},                              // broken by a byte that does not continue it
    {"\xe6(\xa5", u"\ufffd(\ufffd"},
    {"\xe6\x97(", u"\ufffd("},
    {"\xf0\x9f\x98(", u"\ufffd("},
    {"\xf0\x9f(\x80", u"\ufffd(\ufffd"},
};

TEST(WideText, RefusesMalformedUtf8) {
  for (const Malformed& c : malformed) {
    EXPECT_EQ(text::to_utf16(c.utf8), std::nullopt) << hex(c.utf8);
    EXPECT_EQ(text::to_utf16_replacing(c.utf8), c.replaced) << hex(c.utf8);
  }
}

TEST(WideText, RefusesUnpairedSurrogates) {
  struct Case {
    std::u16string utf16;
    std::string replaced;
  };
  const Case cases[] = {
      {std::u16string(1, u'\xd800'), "\xef\xbf\xbd"},
      {std::u16string(u"a") + u'\xdc00' + u"b", "a\xef\xbf\xbd" "b"},
      {std::u16string(u"a") + u'\xd83d', "a\xef\xbf\xbd"},
      {std::u16string{u'\xdc00', u'\xd800'}, "\xef\xbf\xbd\xef\xbf\xbd"},
      {std::u16string{u'\xd83d', u'x', u'\xde00'}, "\xef\xbf\xbdx\xef\xbf\xbd"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::to_utf8(c.utf16), std::nullopt) << c.replaced;
    EXPECT_EQ(text::to_utf8_replacing(c.utf16), c.replaced);
  }
}

TEST(WideText, ThePosixBoundaryTakesNoMalformedSequenceForACharacter) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows' text is UTF-16 already: the POSIX backend alone converts at its boundary";
#else
  for (const Malformed& c : malformed) {
    EXPECT_EQ(os::posix::from_utf8(c.utf8), c.replaced) << hex(c.utf8);
    EXPECT_EQ(os::posix::launcher_path("dir/" + c.utf8), u"dir\\" + c.replaced) << hex(c.utf8);
  }
  EXPECT_EQ(os::posix::native_path(u"dir\\\xd800"), "dir/\xef\xbf\xbd");
#endif
}

TEST(WideText, FoldsAsciiLettersOnly) {
  struct Case {
    std::u16string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {u"{temp}", u"{TEMP}", true},     {u"Program_Dir", u"PROGRAM_DIR", true}, {u"a.EXE", u"A.exe", true},
      {u"\u00e9", u"\u00c9", false},    {u"stra\u00dfe", u"STRASSE", false},    {u"abc", u"abcd", false},
      {u"[", u"{", false},              {u"@", u"`", false},                    {u"", u"", true},
  };
  for (const Case& c : cases) EXPECT_EQ(text::equal_ignoring_case(c.a, c.b), c.equal) << narrow(c.a) << " / " << narrow(c.b);
  EXPECT_EQ(text::fold_case(u"data\\Main.dll \u00e9z"), u"DATA\\MAIN.DLL \u00e9Z");
}

TEST(WideText, BoundedLengthStopsAtTheCapacity) {
  const char16_t buffer[] = {u'a', u'b', u'c', u'\0', u'd'};
  EXPECT_EQ(text::bounded_length(buffer, 5), 3u);
  EXPECT_EQ(text::bounded_length(buffer, 4), 3u);
  EXPECT_EQ(text::bounded_length(buffer, 3), 3u);  // no terminator within the capacity
  EXPECT_EQ(text::bounded_length(buffer, 2), 2u);
  EXPECT_EQ(text::bounded_length(buffer + 3, 2), 0u);
  EXPECT_EQ(text::bounded_length(buffer, 0), 0u);
}

}  // namespace
