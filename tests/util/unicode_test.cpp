// The UTF-8 / UTF-16 edge that every Windows file call and the command line
// pass through, and the names Windows refuses: a name either converts to the
// very same characters or fails with a reason, never into another name.
#include "util/unicode.h"

#include <gtest/gtest.h>

#include <string>

#include "util/localpath.h"

namespace zud {
namespace {

TEST(UnicodeTest, WellFormedTextConvertsBothWaysUnchanged) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {"index.html", u"index.html"},
      {"caf\xC3\xA9 \xC3\x9C" "bersicht", u"caf\u00E9 \u00DCbersicht"},
      {"\xE6\x97\xA5\xE6\x9C\xAC/\xC3\xBC.txt", u"\u65E5\u672C/\u00FC.txt"},
      {"\xF0\x9F\x98\x80.png", u"\xD83D\xDE00.png"},  // outside the BMP: a surrogate pair
      // The edges of each sequence length and around the surrogates.
      {"\x7F", u"\u007F"},
      {"\xC2\x80\xDF\xBF", u"\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF", u"\u0800\uD7FF"},
      {"\xEE\x80\x80\xEF\xBF\xBF", u"\uE000\uFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\xD800\xDC00\xDBFF\xDFFF"},
  };
  for (const Case& c : cases) {
    std::u16string wide;
    std::string narrow, error;
    EXPECT_TRUE(Utf8ToUtf16(c.utf8, wide, error)) << c.utf8 << ": " << error;
    EXPECT_EQ(wide, c.utf16) << c.utf8;
    EXPECT_TRUE(Utf16ToUtf8(c.utf16, narrow, error)) << c.utf8 << ": " << error;
    EXPECT_EQ(narrow, c.utf8);
    EXPECT_TRUE(IsWellFormedUtf8(c.utf8)) << c.utf8;
    EXPECT_EQ(Utf8ToUtf16ForDisplay(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ForDisplay(c.utf16), c.utf8);
  }
}

TEST(UnicodeTest, IllFormedUtf8IsAnErrorAndShowsAsReplacementCharacters) {
  struct Case {
    std::string utf8, error;
    std::u16string shown;  // one U+FFFD per longest start of a sequence
  } cases[] = {
      // A Latin-1 name from an old server's listing.
      {"caf\xE9.txt", "ill-formed UTF-8 at byte 4 (0xE9)", u"caf\uFFFD.txt"},
      {"\x80", "ill-formed UTF-8 at byte 1 (0x80)", u"\uFFFD"},
      {"\xC0\x80", "ill-formed UTF-8 at byte 1 (0xC0)", u"\uFFFD\uFFFD"},  // overlong NUL
      {"a\xE0\x80\xAF", "ill-formed UTF-8 at byte 2 (0xE0)", u"a\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", "ill-formed UTF-8 at byte 1 (0xED)", u"\uFFFD\uFFFD\uFFFD"},  // U+D800
      {"\xF4\x90\x80\x80", "ill-formed UTF-8 at byte 1 (0xF4)",
       u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xF5\x80", "ill-formed UTF-8 at byte 1 (0xF5)", u"\uFFFD\uFFFD"},
      {"x\xE6\x97", "ill-formed UTF-8 at byte 2 (0xE6)", u"x\uFFFD"},  // cut short
      {"\xE6\x97y", "ill-formed UTF-8 at byte 1 (0xE6)", u"\uFFFDy"},
      {"\xF0\x9F\x98", "ill-formed UTF-8 at byte 1 (0xF0)", u"\uFFFD"},
      {"ok\xFF", "ill-formed UTF-8 at byte 3 (0xFF)", u"ok\uFFFD"},
  };
  for (const Case& c : cases) {
    std::u16string wide = u"stale";
    std::string error;
    EXPECT_FALSE(Utf8ToUtf16(c.utf8, wide, error)) << c.error;
    EXPECT_TRUE(wide.empty()) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(IsWellFormedUtf8(c.utf8)) << c.error;
    EXPECT_EQ(Utf8ToUtf16ForDisplay(c.utf8), c.shown) << c.error;
  }
}

TEST(UnicodeTest, UnpairedSurrogatesAreAnErrorAndShowAsEscapes) {
  struct Case {
    std::u16string utf16;
    std::string error, shown;
  } cases[] = {
      {u"\xD800", "unpaired surrogate U+D800 at unit 1", "\\uD800"},
      {u"a\xD83D" "b", "unpaired surrogate U+D83D at unit 2", "a\\uD83Db"},
      {u"\xDC00x", "unpaired surrogate U+DC00 at unit 1", "\\uDC00x"},
      // The two halves in the wrong order are two lone halves.
      {u"\xDE00\xD83D", "unpaired surrogate U+DE00 at unit 1", "\\uDE00\\uD83D"},
      {u"\xD83D\xDE00\xDE00", "unpaired surrogate U+DE00 at unit 3", "\xF0\x9F\x98\x80\\uDE00"},
  };
  for (const Case& c : cases) {
    std::string narrow = "stale", error;
    EXPECT_FALSE(Utf16ToUtf8(c.utf16, narrow, error)) << c.error;
    EXPECT_TRUE(narrow.empty()) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Utf16ForDisplay(c.utf16), c.shown);
  }
}

TEST(WindowsNameRefusalTest, NamesWindowsCannotHold) {
  struct Case {
    const char* name;
    const char* refusal;  // "" when Windows takes the name
  } cases[] = {
      {"CON", "is a reserved device name"},
      {"nul.txt", "is a reserved device name"},
      {"Com1 .log", "is a reserved device name"},
      {"LPT9", "is a reserved device name"},
      {"com\xC2\xB9", "is a reserved device name"},  // COM with a superscript one
      {"aux.tar.gz", "is a reserved device name"},
      {"notes.", "ends in a dot"},
      {"notes ", "ends in a blank"},
      {"a:b", "holds the character \":\""},
      {"why?", "holds the character \"?\""},
      {"back\\slash", "holds the character \"\\\""},
      {"tab\there", "holds a control character"},
      // Names that only look close.
      {"CONSOLE", ""},
      {"com10", ""},
      {"LPT", ""},
      {"nul-device.txt", ""},
      {".htaccess", ""},
      {"caf\xC3\xA9", ""},
      {"a b.txt", ""},
      {"..", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WindowsNameRefusal(c.name), c.refusal) << c.name;
}

TEST(LocalPathTest, PlatformFacts) {
#if defined(_WIN32)
  EXPECT_TRUE(IsLocalPathSeparator('\\'));
  EXPECT_EQ(LocalNameRefusal("CON"), "is a reserved device name");
#else
  EXPECT_FALSE(IsLocalPathSeparator('\\'));
  EXPECT_EQ(LocalNameRefusal("CON"), "");
#endif
  EXPECT_TRUE(IsLocalPathSeparator('/'));
  EXPECT_FALSE(IsLocalPathSeparator(':'));
  EXPECT_EQ(LocalNameRefusal("index.html"), "");
}

}  // namespace
}  // namespace zud
