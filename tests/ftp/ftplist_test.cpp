#include "ftp/ftplist.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zud {
namespace {

using Lines = std::vector<std::string>;

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  TDateTime value = 0;
  EXPECT_TRUE(TryEncodeDateTime(year, month, day, hour, minute, second, 0, value));
  return value;
}

// "YYYY-MM-DD hh:mm:ss", so that a wrong date reads as one in a failure.
std::string Stamp(TDateTime value) {
  int year = 0, month = 0, day = 0;
  DecodeDate(value, year, month, day);
  const long seconds = std::lround((value - std::floor(value)) * 86400.0);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02ld:%02ld:%02ld", year, month, day,
                seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

std::string Mask(int number) { return BuiltInListMasks()[static_cast<size_t>(number - 1)]; }

// Every test runs at the fixed local time 15 March 2006, 12:00.
class ListTest : public ::testing::Test {
 protected:
  ListTest() { list.OnGetNow = [] { return At(2006, 3, 15, 12, 0); }; }

  void Parse(const Lines& lines) {
    list.Lines = lines;
    list.ParseLines();
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int i = 0; i < list.EntryCount(); ++i) names.push_back(list.GetEntry(i)->EntryName);
    return names;
  }

  TFTPList list;
};

struct Expected {
  const char* line;
  int mask;  // 1-based built-in mask; 0 for EPLF
  const char* name;
  bool directory;
  bool readable;
  int64_t size;
  const char* modified;
  const char* permissions;
};

void ExpectParsedAs(TFTPList& list, const std::vector<Expected>& rows) {
  for (const Expected& row : rows) {
    SCOPED_TRACE(row.line);
    list.ClearListing();
    list.Lines = {row.line};
    list.ParseLines();
    ASSERT_EQ(list.EntryCount(), 1) << (list.UnparsedLines.empty() ? "" : "unparsed");
    const TFTPListRec& entry = *list.GetEntry(0);
    EXPECT_EQ(entry.MatchedMask, row.mask == 0 ? std::string("EPLF") : Mask(row.mask));
    EXPECT_EQ(entry.EntryName, row.name);
    EXPECT_EQ(entry.IsDirectory, row.directory);
    EXPECT_EQ(entry.IsReadable, row.readable);
    EXPECT_EQ(entry.SizeBytes, row.size);
    EXPECT_EQ(Stamp(entry.ModifiedAt), row.modified);
    EXPECT_EQ(entry.PermissionString, row.permissions);
    EXPECT_EQ(entry.SourceLine, row.line);
  }
}

TEST_F(ListTest, DocumentedExamples) {
  ExpectParsedAs(list, {
      {"-rw-r--r--   1 user     group        1234 Dec 24 10:30 file name.txt", 3,
       "file name.txt", false, true, 1234, "2005-12-24 10:30:00", "-rw-r--r--"},
      {"-rw-r--r--   1 user     group        1234 Mar 15 12:00 now.txt", 3,
       "now.txt", false, true, 1234, "2006-03-15 12:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 user     group        1234 Mar 15 12:01 later.txt", 3,
       "later.txt", false, true, 1234, "2005-03-15 12:01:00", "-rw-r--r--"},
      {"drwxr-xr-x   2 user     group        4096 Jan  5  2005 docs", 3,
       "docs", true, false, 4096, "2005-01-05 00:00:00", "drwxr-xr-x"},
      {"lrwxrwxrwx   1 user     group          11 Jul 14 09:05 link -> target", 3,
       "link", true, true, 11, "2005-07-14 09:05:00", "lrwxrwxrwx"},
      {"12-24-98  10:30AM       <DIR>          My Dir", 9,
       "My Dir", true, false, 0, "1998-12-24 10:30:00", ""},
      {"12-24-98  10:30PM                 1234 readme.txt", 8,
       "readme.txt", false, true, 1234, "1998-12-24 22:30:00", ""},
      {"12-24-98  12:05PM                 1234 noon.txt", 8,
       "noon.txt", false, true, 1234, "1998-12-24 12:05:00", ""},
      {"FOO      TXT          1234 12-24-98  10:30p", 25,
       "FOO.TXT", false, true, 1234, "1998-12-24 22:30:00", ""},
      {"README                1234 12-24-98  10:30a", 25,
       "README.", false, true, 1234, "1998-12-24 10:30:00", ""},
      {"FOO.TXT;1  2/3  15-MAR-2005 10:30 [GROUP,OWNER]", 15,
       "FOO.TXT;1", false, true, 0, "2005-03-15 10:30:00", ""},
      {"SUBDIR.DIR;1  1/3  15-MAR-2005 10:30 [GROUP,OWNER]", 15,
       "SUBDIR.DIR;1", true, false, 0, "2005-03-15 10:30:00", ""},
      {"+m1000000000,s42,r,\tnotes.txt", 0,
       "notes.txt", false, true, 42, "2001-09-09 01:46:40", ""},
      {"+/,m1000000000,\tpub", 0, "pub", true, false, 0, "2001-09-09 01:46:40", ""},
  });
}

// Listings as real servers print them, one group per style.
TEST_F(ListTest, UnixLongListings) {
  ExpectParsedAs(list, {
      // vsftpd 3.0: numeric owner and group.
      {"-rw-r--r--    1 0        0        3000000000 Dec 07 08:01 big.img", 3,
       "big.img", false, true, 3000000000, "2005-12-07 08:01:00", "-rw-r--r--"},
      {"-rw-r--r--    1 0        0               5 Dec 07 08:01 file name.txt", 3,
       "file name.txt", false, true, 5, "2005-12-07 08:01:00", "-rw-r--r--"},
      {"lrwxrwxrwx    1 0        0               8 Dec 07 08:01 link -> data.bin", 3,
       "link", true, true, 8, "2005-12-07 08:01:00", "lrwxrwxrwx"},
      {"-rw-r--r--    1 0        0               0 Sep 07  2004 old.txt", 3,
       "old.txt", false, true, 0, "2004-09-07 00:00:00", "-rw-r--r--"},
      {"drwxr-xr-x    2 0        0            4096 Jan 05  2005 sub dir", 3,
       "sub dir", true, false, 4096, "2005-01-05 00:00:00", "drwxr-xr-x"},
      // pyftpdlib 1.5: owner and group names.
      {"-rw-r--r--   1 root     root     3000000000 Dec 07 08:01 big.img", 3,
       "big.img", false, true, 3000000000, "2005-12-07 08:01:00", "-rw-r--r--"},
      {"lrwxrwxrwx   1 root     root            8 Dec 07 08:01 link -> data.bin", 3,
       "link", true, true, 8, "2005-12-07 08:01:00", "lrwxrwxrwx"},
      {"drwxr-xr-x   2 root     root         4096 Jan 05  2005 sub dir", 3,
       "sub dir", true, false, 4096, "2005-01-05 00:00:00", "drwxr-xr-x"},
      {"-rw-------   1 root     root         4096 Mar 01 09:15 secret", 3,
       "secret", false, true, 4096, "2006-03-01 09:15:00", "-rw-------"},
      {"--w-------   1 root     root         4096 Mar 01 09:15 dropbox", 3,
       "dropbox", false, false, 4096, "2006-03-01 09:15:00", "--w-------"},
      // No group column (some embedded servers).
      {"-rw-r--r--   1 owner         99 Dec 01 08:15 note", 5,
       "note", false, true, 99, "2005-12-01 08:15:00", "-rw-r--r--"},
  });
}

TEST_F(ListTest, IisAndDosListings) {
  ExpectParsedAs(list, {
      {"03-15-06  11:45AM       <DIR>          aspnet_client", 9,
       "aspnet_client", true, false, 0, "2006-03-15 11:45:00", ""},
      {"03-15-06  11:45AM                  689 iisstart.htm", 8,
       "iisstart.htm", false, true, 689, "2006-03-15 11:45:00", ""},
      {"10-01-2005  01:07PM                 7331 web config.xml", 10,
       "web config.xml", false, true, 7331, "2005-10-01 13:07:00", ""},
      {"10-01-2005  09:00AM       <DIR>          logs", 11,
       "logs", true, false, 0, "2005-10-01 09:00:00", ""},
  });
}

TEST_F(ListTest, VmsAndEplfListings) {
  ExpectParsedAs(list, {
      {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)",
       15, "CII-MANUAL.TEX;1", false, true, 0, "1996-01-29 03:33:00", ""},
      {"ARCHIVE.DIR;1      1/3     12-FEB-2004 14:20 [SYSTEM]  (RWE,RWE,RE,RE)", 15,
       "ARCHIVE.DIR;1", true, false, 0, "2004-02-12 14:20:00", ""},
      {"+i8388621.29609,m824255902,/,\tdev", 0,
       "dev", true, false, 0, "1996-02-13 23:58:22", ""},
      {"+i8388621.44468,m839956783,r,s10376,\tRFCEPLF", 0,
       "RFCEPLF", false, true, 10376, "1996-08-13 17:19:43", ""},
  });
}

TEST_F(ListTest, MonthNamesOfOtherLanguages) {
  ExpectParsedAs(list, {
      {"-rw-r--r--   1 u g 1 Okt 24  2004 de", 3, "de", false, true, 1, "2004-10-24 00:00:00",
       "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 Dez 24  2004 de2", 3, "de2", false, true, 1, "2004-12-24 00:00:00",
       "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 M\xE4r 02  2004 de3", 3, "de3", false, true, 1,
       "2004-03-02 00:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 ao\xFB 02  2004 fr", 3, "fr", false, true, 1,
       "2004-08-02 00:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 D\xC9" "C 02  2004 fr2", 3, "fr2", false, true, 1,
       "2004-12-02 00:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 \xDAno 02  2004 cz", 3, "cz", false, true, 1,
       "2004-02-02 00:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 led 02  2004 cz2", 3, "cz2", false, true, 1,
       "2004-01-02 00:00:00", "-rw-r--r--"},
  });
  list.ClearListing();
  Parse({"-rw-r--r--   1 u g 1 Xyz 02  2004 unknown"});
  EXPECT_EQ(list.EntryCount(), 0);
  EXPECT_EQ(list.UnparsedLines, Lines{"-rw-r--r--   1 u g 1 Xyz 02  2004 unknown"});
}

TEST_F(ListTest, YearsOfTwoThreeAndFourDigits) {
  ExpectParsedAs(list, {
      {"12-24-50  10:30AM                 1 a", 8, "a", false, true, 1, "2050-12-24 10:30:00", ""},
      {"12-24-51  10:30AM                 1 b", 8, "b", false, true, 1, "1951-12-24 10:30:00", ""},
      {"12-24-00  10:30AM                 1 c", 8, "c", false, true, 1, "2000-12-24 10:30:00", ""},
      // A server that printed the years since 1900.
      {"12-24-105   10:30AM                 1 d", 10, "d", false, true, 1,
       "2005-12-24 10:30:00", ""},
  });
}

TEST_F(ListTest, YearBeforeRuleAcrossLeapDay) {
  list.OnGetNow = [] { return At(2009, 1, 10, 8, 0); };
  ExpectParsedAs(list, {
      {"-rw-r--r--   1 u g 1 Feb 29 10:00 leap", 3, "leap", false, true, 1,
       "2008-02-29 10:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 Jan 10 08:00 today", 3, "today", false, true, 1,
       "2009-01-10 08:00:00", "-rw-r--r--"},
      {"-rw-r--r--   1 u g 1 Jan 10 08:01 soon", 3, "soon", false, true, 1,
       "2008-01-10 08:01:00", "-rw-r--r--"},
  });
}

TEST_F(ListTest, DotEntriesAreDroppedSilently) {
  Parse({"drwxr-xr-x   2 user     group        4096 Mar 10 09:00 .",
         "drwxr-xr-x   5 user     group        4096 Mar 10 09:00 ..",
         "-rw-r--r--   1 user     group           1 Mar 10 09:00 .profile",
         "-rw-r--r--   1 user     group           1 Mar 10 09:00 ."});
  // Only a directory named "." or ".." is dropped.
  EXPECT_EQ(Names(), (Lines{".profile", "."}));
  EXPECT_TRUE(list.UnparsedLines.empty());
}

TEST_F(ListTest, UnparsableLinesAreKeptAndParsingGoesOn) {
  const Lines lines = {
      "total 12",
      "total 0",
      "-rw-r--r--   1 user     group        1234 Feb 30 10:30 feb30",  // no such day
      "12-24-98  24:30AM                 1234 hour24",
      "12-24-98  01:30PM                 1234 ok.txt",
      "12-24-98  13:30PM                 1234 hour25",
      "",
      "+/,\t.",          // EPLF directory "."
      "+r,s5,\t",        // EPLF without a name
      "-rw-r--r--   1 user     group        1234 Jan 24  2005 last.txt",
  };
  Parse(lines);
  EXPECT_EQ(Names(), (Lines{"ok.txt", "last.txt"}));
  EXPECT_EQ(list.UnparsedLines, (Lines{lines[0], lines[1], lines[2], lines[3], lines[5],
                                       lines[6], lines[7], lines[8]}));
}

// A server's message among the lines (inetutils ftpd: "PATH: No such file
// or directory" with 226) is taken only by the catch-all, the one built-in
// mask that reads nothing but a name; a reader that leaves it out reads the
// message as no entry.
TEST_F(ListTest, OnlyTheCatchAllTakesAMessageAndItReadsOnlyNames) {
  const std::string message = "/var/lib/ftpupload-test/site3/about: No such file or directory";
  Parse({message});
  ASSERT_EQ(list.EntryCount(), 1);
  EXPECT_TRUE(ListMaskReadsOnlyNames(list.GetEntry(0)->MatchedMask.view()));
  size_t names_only = 0;
  for (const std::string& mask : BuiltInListMasks()) names_only += ListMaskReadsOnlyNames(mask);
  EXPECT_EQ(names_only, 1u);
  EXPECT_TRUE(ListMaskReadsOnlyNames(BuiltInListMasks().back()));
  EXPECT_FALSE(ListMaskReadsOnlyNames("n* S*"));
}

TEST_F(ListTest, SizesUseSixtyFourBits) {
  Parse({"-rw-r--r--   1 u g 2147483648 Jan 24  2005 two-gib",
         "-rw-r--r--   1 u g 9223372036854775807 Jan 24  2005 max",
         "-rw-r--r--   1 u g 9223372036854775808 Jan 24  2005 too-big",
         "+s5000000000,\teplf-big", "+s-5,\teplf-negative"});
  ASSERT_EQ(list.EntryCount(), 5);
  EXPECT_EQ(list.GetEntry(0)->SizeBytes, 2147483648);
  EXPECT_EQ(list.GetEntry(1)->SizeBytes, 9223372036854775807);
  EXPECT_EQ(list.GetEntry(2)->SizeBytes, 0);
  EXPECT_EQ(list.GetEntry(3)->SizeBytes, 5000000000);
  EXPECT_EQ(list.GetEntry(4)->SizeBytes, 0);
}

TEST_F(ListTest, LongNameOnItsOwnLine) {
  const std::string data_line =
      std::string(48, ' ') + "     1234 12-24-2005 10:30";
  const std::string fixed_name = "a name that fills 33 columns.txt ";
  ASSERT_EQ(fixed_name.size(), 33u);
  Parse({"a-rather-long-file-name.tar.gz ", data_line,
         fixed_name + std::string(15, ' ') + "     1234 12-24-2005 10:30",
         "no-space-after-the-name", data_line});
  EXPECT_EQ(Names(), (Lines{"a-rather-long-file-name.tar.gz", "a name that fills 33 columns.txt"}));
  ASSERT_EQ(list.EntryCount(), 2);
  EXPECT_EQ(list.GetEntry(0)->MatchedMask, Mask(29));
  EXPECT_EQ(list.GetEntry(0)->SourceLine, "a-rather-long-file-name.tar.gz ");
  EXPECT_EQ(list.GetEntry(0)->SizeBytes, 1234);
  EXPECT_EQ(Stamp(list.GetEntry(0)->ModifiedAt), "2005-12-24 10:30:00");
  EXPECT_EQ(list.GetEntry(1)->MatchedMask, Mask(28));
  // Without the blank after the name the pair cannot be joined, and the
  // data line alone would give an entry without a name.
  EXPECT_EQ(list.UnparsedLines, (Lines{"no-space-after-the-name", data_line}));
}

TEST_F(ListTest, EditedMaskList) {
  list.Masks.clear();
  Parse({"-rw-r--r--   1 user     group        1234 Dec 24 10:30 a", "+r,\tb", "total 1"});
  EXPECT_EQ(Names(), Lines{"b"});
  EXPECT_EQ(list.UnparsedLines,
            (Lines{"-rw-r--r--   1 user     group        1234 Dec 24 10:30 a", "total 1"}));

  // A line no mask accepts takes only itself, even when the last mask tried
  // was a two-line one that matched.
  list.ClearListing();
  list.Masks = {"n* S*", "n*\\DD"};
  Parse({"joined? no", "xx", "plain 42"});
  EXPECT_EQ(Names(), Lines{"plain"});
  EXPECT_EQ(list.UnparsedLines, (Lines{"joined? no", "xx"}));
}

TEST_F(ListTest, MaskSettingsForBlockSizeAndMonthNames) {
  const TMonthRow saved = LocaleMonthNames();
  list.Masks = {"T=aaabbbcccdddeeefffggghhhiiijjjkkklllS=512TTT DD YYYY S* n*"};
  Parse({"ccc 03 2005 10 blocks.dat", "Mar 03 2005 10 english.dat"});
  ASSERT_EQ(list.EntryCount(), 2);
  EXPECT_EQ(list.GetEntry(0)->SizeBytes, 5120);
  EXPECT_EQ(Stamp(list.GetEntry(0)->ModifiedAt), "2005-03-03 00:00:00");
  EXPECT_EQ(Stamp(list.GetEntry(1)->ModifiedAt), "2005-03-03 00:00:00");
  EXPECT_EQ(LocaleMonthNames()[11], "lll");

  // Names may start with a digit once a mask says so.
  list.ClearListing();
  list.Masks = {"T=1aa2bb3cc4dd5ee6ff7gg8hh9ii0jj0kk0llTTT DD YYYY S* n*"};
  Parse({"3cc 03 2005 10 digits.dat"});
  ASSERT_EQ(list.EntryCount(), 1);
  EXPECT_EQ(Stamp(list.GetEntry(0)->ModifiedAt), "2005-03-03 00:00:00");
  LocaleMonthNames() = saved;
}

TEST_F(ListTest, MaskMatchingCapturesAndCursors) {
  const std::string line = "-rw-r--r--   1 user     group        1234 Dec 24 10:30 file name.txt";
  EXPECT_EQ(list.MatchLineToMask(line, "", Mask(3)), 1);
  EXPECT_EQ(list.PermissionText, "-rw-r--r--");
  EXPECT_EQ(list.SizeText, "1234");
  EXPECT_EQ(list.MonthNameText, "Dec");
  EXPECT_EQ(list.YearOrTimeText, "10:30");
  EXPECT_EQ(list.NameText, "file name.txt");

  EXPECT_EQ(list.MatchLineToMask(line, "", Mask(1)), 1);
  EXPECT_EQ(list.SecondText, "fi");
  EXPECT_FALSE(list.ValidateFieldBuffers());

  // A mask longer than the line fails unless "*" is reached at the end.
  EXPECT_EQ(list.MatchLineToMask("ab", "", "nnn"), 0);
  EXPECT_EQ(list.MatchLineToMask("ab", "", "nn*"), 1);
  EXPECT_EQ(list.MatchLineToMask("ab", "", "nn*S"), 0);
  EXPECT_EQ(list.MatchLineToMask("", "", "n*"), 0);
  EXPECT_EQ(list.MatchLineToMask("ab", "", ""), 0);
  // "d=" takes its mark from the mask and skips one more line character.
  EXPECT_EQ(list.MatchLineToMask("O? name", "", "d=O n*"), 1);
  EXPECT_EQ(list.DirMarkText, "O");
  EXPECT_EQ(list.DirFlagText, "O");
  EXPECT_EQ(list.NameText, "name");
  // "x" and "." demand a blank.
  EXPECT_EQ(list.MatchLineToMask("ab", "", "nx"), 0);
  EXPECT_EQ(list.MatchLineToMask("ab c", "", "nn.n"), 1);
  EXPECT_EQ(list.NameText, "ab.c");
  EXPECT_EQ(list.MatchLineToMask("abXc", "", "nn.n"), 0);
}

TEST_F(ListTest, ValidationRejects) {
  struct Case {
    std::string TFTPList::*buffer;
    const char* value;
  };
  const Case cases[] = {
      {&TFTPList::PermissionText, "-rw-r--r-"},   {&TFTPList::PermissionText, "-rw-r--r-Q"},
      {&TFTPList::DayText, "0"},                  {&TFTPList::DayText, "32"},
      {&TFTPList::MonthText, "13"},               {&TFTPList::HourText, "25"},
      {&TFTPList::AmPmText, "M"},                 {&TFTPList::MinuteText, "60"},
      {&TFTPList::SecondText, "6x"},              {&TFTPList::SizeText, "12a"},
      {&TFTPList::MonthNameText, "JANUARY"},      {&TFTPList::YearOrTimeText, "24:00"},
      {&TFTPList::YearOrTimeText, "1899"},        {&TFTPList::YearText, "2100"},
      {&TFTPList::YearText, "111"},               {&TFTPList::YearText, "12345"},
      {&TFTPList::VmsNameText, "NAME.TXT"},       {&TFTPList::VmsNameText, "A?.TXT;1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    list.ClearFieldBuffers();
    list.NameText = "name";
    list.*c.buffer = c.value;
    EXPECT_FALSE(list.ValidateFieldBuffers());
  }
  list.ClearFieldBuffers();
  list.NameText = "name";
  list.YearOrTimeText = "10-30";
  list.SizeText = "   ";
  EXPECT_TRUE(list.ValidateFieldBuffers());
  EXPECT_EQ(list.YearOrTimeText, "10:30");
  EXPECT_EQ(list.SizeText, "");
}

TEST_F(ListTest, ListingTextIsCutIntoLines) {
  const struct {
    std::string text;
    Lines lines;
  } cases[] = {
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\n\rb\r\n", {"a", "", "b"}},
      {"a\r\r\n\nb", {"a", "", "", "b"}},
      {"", {}},
      {"\n", {""}},
      {std::string("a\nb\0c\nd", 7), {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    list.Lines = {"old"};
    list.LoadLinesFromText(c.text);
    EXPECT_EQ(list.Lines, c.lines);
  }
}

TEST_F(ListTest, ClearCopyAndLookup) {
  Parse({"+r,s1,\tone", "total 9", "+r,s2,\ttwo"});
  ASSERT_EQ(list.EntryCount(), 2);
  EXPECT_EQ(list.GetEntry(2), nullptr);
  EXPECT_EQ(list.GetEntry(-1), nullptr);

  TFTPList copy;
  copy.Masks = {"n*"};
  copy.Lines = {"stale"};
  copy.CopyListingFrom(list);
  EXPECT_EQ(copy.EntryCount(), 2);
  EXPECT_NE(copy.GetEntry(1), list.GetEntry(1));
  EXPECT_EQ(copy.GetEntry(1)->SourceLine, "+r,s2,\ttwo");
  EXPECT_EQ(copy.Lines, list.Lines);
  EXPECT_EQ(copy.Masks.size(), BuiltInListMasks().size());
  EXPECT_EQ(copy.UnparsedLines, Lines{"total 9"});

  // Parsing again without clearing appends.
  list.ParseLines();
  EXPECT_EQ(list.EntryCount(), 4);
  list.Masks = {"n*"};
  list.ClearListing();
  EXPECT_EQ(list.EntryCount(), 0);
  EXPECT_TRUE(list.Lines.empty());
  EXPECT_TRUE(list.UnparsedLines.empty());
  EXPECT_EQ(list.Masks, Lines{"n*"});
}

// Milliseconds since 1970 of a UTC time, through the Unix-time encoder.
int64_t UnixMs(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  int64_t seconds = 0;
  EXPECT_TRUE(TryEncodeUnixTime({year, month, day, hour, minute, second}, seconds));
  return seconds * 1000 + ms;
}

// Any subclass parses through the field buffers instead of the views.
class BufferList : public TFTPList {};

TEST_F(ListTest, TimesKnowWhetherTheyAreUtc) {
  using std::chrono::minutes;
  const struct {
    bool machine;  // an MLSD line rather than a LIST line
    const char* line;
    int offset;  // the server's offset from UTC, in minutes
    bool utc;
    int64_t unix_ms;
  } rows[] = {
      // MLSD first: a reused record must not keep its flag for the LIST lines.
      {true, "type=file;size=5;modify=20240229235959.123; a.txt", 120, true,
       UnixMs(2024, 2, 29, 23, 59, 59, 123)},
      {false, "-rw-r--r--   1 user     group        1234 Dec 24 10:30 file.txt", 60, false,
       UnixMs(2005, 12, 24, 9, 30, 0)},
      {false, "12-24-98  10:30PM                 1234 readme.txt", -300, false,
       UnixMs(1998, 12, 25, 3, 30, 0)},
      {false, "drwxr-xr-x   2 user     group        4096 Jan  5  1965 old", 0, false,
       UnixMs(1965, 1, 5, 0, 0, 0)},
      {false, "ARCHIVE.DIR;1      1/3     12-FEB-2004 14:20 [SYSTEM]  (RWE,RWE,RE,RE)", 330,
       false, UnixMs(2004, 2, 12, 8, 50, 0)},
      {false, "+i8388621.44468,m839956783,r,s10376,\tRFCEPLF", 60, true, 839956783000},
  };
  TFTPList plain;
  BufferList buffers;
  for (TFTPList* parser : {&plain, static_cast<TFTPList*>(&buffers)}) {
    parser->OnGetNow = list.OnGetNow;
    for (const auto& row : rows) {
      SCOPED_TRACE(row.line);
      parser->ClearListing();
      parser->Lines = {row.line};
      row.machine ? parser->ParseMachineLines() : parser->ParseLines();
      ASSERT_EQ(parser->EntryCount(), 1);
      const TFTPListRec copy = *parser->GetEntry(0);
      EXPECT_EQ(copy.ModifiedIsUtc, row.utc);
      const auto when = copy.ModifiedTimePoint(minutes(row.offset));
      EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch())
                    .count(),
                row.unix_ms);
    }
  }
}

}  // namespace
}  // namespace zud
