#include "util/textutil.h"

#include <gtest/gtest.h>

#include <string>

#include "util/stream.h"

namespace zud {
namespace {

TEST(TickTest, SpanHandlesWrapAndSteppingBack) {
  struct Case {
    uint32_t older, newer, span;
  } cases[] = {
      {4294967290u, 5, 11},                 // wrapped past 2^32
      {100, 40, 60},                        // stepped back: the size of the step
      {7, 7, 0},
      {3000000000u, 2500000000u, 500000000},  // both in the upper half: a step back
      {0, 4294967295u, 4294967295u},
      {2147483648u, 2147483647u, 4294967295u},  // just across the half: wrap
      {2147483647u, 2147483646u, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComputeTickSpan(c.older, c.newer), c.span) << c.older << " -> " << c.newer;
  }
}

TEST(TickTest, CounterDoesNotRunBackwards) {
  const uint32_t first = ReadTickCounter();
  const uint32_t second = ReadTickCounter();
  EXPECT_LT(ComputeTickSpan(first, second), 60000u);
}

TEST(PackingTest, BigEndianRoundTrips) {
  EXPECT_EQ(EncodeUInt16BE(0x1234), std::string("\x12\x34"));
  EXPECT_EQ(EncodeUInt16BE(0), std::string(2, '\0'));
  EXPECT_EQ(EncodeUInt32BE(0x01020304u), std::string("\x01\x02\x03\x04"));
  EXPECT_EQ(EncodeUInt32BE(0xFFFFFF00u), std::string("\xFF\xFF\xFF\x00", 4));
  EXPECT_EQ(ReverseByteOrder32(0x01020304u), 0x04030201u);
}

TEST(PackingTest, DecodeUsesOneBasedIndexAndGuardsTheEnd) {
  const std::string s("\x01\xFF\x80", 3);
  EXPECT_EQ(DecodeUInt16BE(s, 1), 0x01FF);
  EXPECT_EQ(DecodeUInt16BE(s, 2), 0xFF80);  // bytes are unsigned
  EXPECT_EQ(DecodeUInt16BE(s, 3), 0);       // second byte missing
  EXPECT_EQ(DecodeUInt16BE(s, 0), 0);
  EXPECT_EQ(DecodeUInt16BE(s, -5), 0);
  EXPECT_EQ(DecodeUInt16BE("", 1), 0);
}

TEST(TrimTest, OnlySpacesAreStripped) {
  EXPECT_EQ(StripSpaces("\t a \t"), "\t a \t");
  EXPECT_EQ(StripSpaces("  a b  "), "a b");
  EXPECT_EQ(StripSpaces("    "), "");
  EXPECT_EQ(StripSpaces(""), "");
  EXPECT_EQ(StripLeadingSpaces("  a  "), "a  ");
  EXPECT_EQ(StripTrailingSpaces("  a  "), "  a");
  EXPECT_EQ(StripSpaces(std::string(" \0 ", 3)), std::string(1, '\0'));
}

TEST(DelimiterTest, BeforeAndAfter) {
  struct Case {
    const char* value;
    const char* delimiter;
    const char* before;
    const char* after;
  } cases[] = {
      {"abc", ",", "abc", "abc"},  // absent: the whole value both ways
      {"abc,", ",", "abc", ""},
      {",abc", ",", "", "abc"},
      {"a,b,c", ",", "a", "b,c"},
      {"a -> b", " -> ", "a", "b"},  // multi-byte delimiter
      {"abc", "", "abc", "abc"},     // empty delimiter counts as absent
      {"", ",", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextBeforeDelimiter(c.value, c.delimiter), c.before) << c.value;
    EXPECT_EQ(TextAfterDelimiter(c.value, c.delimiter), c.after) << c.value;
  }
}

std::vector<std::string> AllFields(std::string value, std::string_view delimiter) {
  std::vector<std::string> fields;
  while (!value.empty()) fields.push_back(TakeField(value, delimiter));
  return fields;
}

TEST(FieldTest, ConsumingLoopYieldsTheDocumentedFields) {
  using V = std::vector<std::string>;
  EXPECT_EQ(AllFields("a,,b", ","), (V{"a", "", "b"}));
  EXPECT_EQ(AllFields("a,", ","), (V{"a"}));  // the trailing empty field is lost
  EXPECT_EQ(AllFields(",a", ","), (V{"", "a"}));
  EXPECT_EQ(AllFields(" a , b ", ","), (V{"a", "b"}));
  EXPECT_EQ(AllFields("a", ","), (V{"a"}));
  EXPECT_EQ(AllFields("a::b", "::"), (V{"a", "b"}));
}

TEST(FieldTest, RawKeepsSpacesAndEmptiesValueWithoutDelimiter) {
  std::string value = " a , b ";
  EXPECT_EQ(TakeFieldRaw(value, ","), " a ");
  EXPECT_EQ(value, " b ");
  EXPECT_EQ(TakeFieldRaw(value, ","), " b ");
  EXPECT_EQ(value, "");

  value = "abc";
  EXPECT_EQ(TakeField(value, ","), "abc");
  EXPECT_EQ(value, "");
}

TEST(ReplaceTest, LeftToRightWithoutRescanning) {
  struct Case {
    const char* value;
    const char* search;
    const char* replacement;
    const char* result;
  } cases[] = {
      {"aaa", "aa", "b", "ba"},
      {"1::2", "::", ":0:", "1:0:2"},
      {"::", "::", ":0::0:", ":0::0:"},  // the inserted text is not searched again
      {"abc", "", "x", "abc"},
      {"", "a", "x", ""},
      {"abab", "ab", "", ""},
      {"xyz", "q", "r", "xyz"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceAllOccurrences(c.value, c.search, c.replacement), c.result) << c.value;
  }
}

TEST(SearchTest, FindLastAndFindLastFrom) {
  EXPECT_EQ(FindLast(":", "a:b:c"), 4);
  EXPECT_EQ(FindLast(":", "abc"), 0);
  EXPECT_EQ(FindLast("ab", "abab"), 3);
  EXPECT_EQ(FindLast("abc", "ab"), 0);
  EXPECT_EQ(FindLast(":", ""), 0);
  EXPECT_EQ(FindLastFrom(":", "a:b:c", 3), 2);  // the occurrence must end by "from"
  EXPECT_EQ(FindLastFrom("b:", "a:b:c", 3), 0);
  EXPECT_EQ(FindLastFrom("b:", "a:b:c", 4), 3);
  EXPECT_EQ(FindLastFrom("", "abc", 2), 3);
  EXPECT_EQ(FindLastFrom(":", "a:b", 100), 2);  // beyond the end is safe
  EXPECT_EQ(FindLastFrom(":", "a:b", 0), 0);
}

TEST(SearchTest, CountChar) {
  EXPECT_EQ(CountChar("1:2::3", ':'), 3);
  EXPECT_EQ(CountChar("", ':'), 0);
  EXPECT_EQ(CountChar(std::string("\0a\0", 3), '\0'), 2);
}

TEST(LineBreakTest, FindsFirstBreakAndItsKind) {
  struct Case {
    std::string text;
    int position;
    std::string terminator;
  } cases[] = {
      {"ab\r\ncd", 3, "\r\n"},
      {"ab\n", 3, "\n"},
      {"ab\n\rcd", 3, "\n\r"},
      {"ab\r", 3, "\r"},   // a break at the last byte is the single byte
      {"ab\rcd", 3, "\r"},
      {"\r\r\n", 1, "\r"},
      {"\n\n", 1, "\n"},
      {"abc", -1, ""},
      {"", -1, ""},
      {std::string("a\0\n", 3), 3, "\n"},
      {"x\ny\r", 2, "\n"},
      {"xy\r" + std::string(100, 'z') + "\n", 3, "\r"},
  };
  for (const Case& c : cases) {
    std::string terminator = "stale";
    EXPECT_EQ(FindLineBreak(c.text, terminator), c.position) << testing::PrintToString(c.text);
    EXPECT_EQ(terminator, c.terminator) << testing::PrintToString(c.text);
  }
}

TEST(LineBreakTest, DefaultViewHasNoBreak) {
  std::string terminator = "stale";
  EXPECT_EQ(FindLineBreak(std::string_view(), terminator), -1);
  EXPECT_EQ(terminator, "");
}

TEST(StreamWriteTest, WritesAllBytesIncludingZeros) {
  TMemoryStream stream;
  WriteStringToStream(stream, std::string("a\0b", 3));
  WriteStringToStream(stream, "");
  EXPECT_EQ(stream.Data(), std::string("a\0b", 3));
}

TEST(TextToIntTest, AcceptsTheSharedGrammar) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"21", 21},          {"  2121", 2121},    {"+7", 7},
      {"-7", -7},          {"0", 0},            {"-0", 0},
      {"007", 7},          {"$1F", 31},         {"x1f", 31},
      {"X10", 16},         {"0x10", 16},        {"0X7FFFFFFF", 2147483647},
      {"2147483647", 2147483647},               {"-2147483648", -2147483647 - 1},
  };
  for (const Case& c : cases) EXPECT_EQ(TextToIntDef(c.text, -99), c.value) << c.text;
}

TEST(TextToIntTest, RejectsEverythingElseWithTheDefault) {
  const char* cases[] = {
      "",     " ",     "abc",   "12 ",        "12a",         "1 2",  "+",
      "-",    "$",     "0x",    "x",          "--1",         "+-1",  "\t12",
      "1.5",  "$G",    "-$10",  "2147483648", "-2147483649", "0x80000000",
      "99999999999999999999",  "1e3",
  };
  for (const char* text : cases) EXPECT_EQ(TextToIntDef(text, 21), 21) << '"' << text << '"';
}

TEST(TextToIntTest, SixtyFourBitVariantCoversLargeSizes) {
  EXPECT_EQ(TextToInt64Def("4294967296", -1), 4294967296LL);
  EXPECT_EQ(TextToInt64Def("9223372036854775807", -1), INT64_MAX);
  EXPECT_EQ(TextToInt64Def("-9223372036854775808", -1), INT64_MIN);
  EXPECT_EQ(TextToInt64Def("9223372036854775808", -1), -1);
  EXPECT_EQ(TextToInt64Def("$FFFFFFFFFF", -1), 0xFFFFFFFFFFLL);
  EXPECT_EQ(TextToInt64Def("12x", -1), -1);
}

TEST(CaseTest, LatinOneLettersMapBothWays) {
  EXPECT_EQ(UpperCase8("abcXYZ09"), "ABCXYZ09");
  EXPECT_EQ(UpperCase8("f\xE9v ao\xFB"), "F\xC9V AO\xDB");
  EXPECT_EQ(LowerCase8("\xC0\xDE\xC8"), "\xE0\xFE\xE8");
  // Multiplication and division signs, sharp s and y-diaeresis have no partner.
  EXPECT_EQ(UpperCase8("\xF7\xDF\xFF"), "\xF7\xDF\xFF");
  EXPECT_EQ(LowerCase8("\xD7"), "\xD7");
  EXPECT_TRUE(SameText8("Okt\xE9", "oKT\xC9"));
  EXPECT_FALSE(SameText8("abc", "abcd"));
  EXPECT_FALSE(SameText8("\xD7", "\xF7"));
}

}  // namespace
}  // namespace zud
