// The listing parser beyond the classic masks: the formats added later
// (VMS one-digit days, UTF-8 month names, server replies kept out of the
// entries), MLSD fact lines, the view-based containers, and a plain list
// giving exactly what a subclass that replaces nothing gets through the
// field buffers.
#include "ftp/ftplist.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftplist_mask.h"

namespace zud {
namespace {

using Lines = std::vector<std::string>;

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  TDateTime value = 0;
  EXPECT_TRUE(TryEncodeDateTime(year, month, day, hour, minute, second, 0, value));
  return value;
}

TDateTime FixedNow() { return At(2006, 3, 15, 12, 0); }

// Everything a parse produced, one line per entry, then the unparsed lines.
std::string Dump(const TFTPList& list) {
  std::ostringstream out;
  for (const TFTPListRec* e : list.Entries) {
    out << "E[" << e->EntryName << "] " << e->IsDirectory << e->IsReadable << " " << e->SizeBytes
        << " " << std::llround(e->ModifiedAt * 86400.0) << (e->ModifiedIsUtc ? "Z" : "")
        << " [" << e->PermissionString << "] ["
        << e->MatchedMask << "] [" << e->SourceLine << "]\n";
  }
  for (const TListText line : list.UnparsedLines) out << "U[" << line << "]\n";
  return out.str();
}

struct Row {
  const char* line;
  const char* name;  // "" when the line must stay unparsed
  bool directory;
  int64_t size;
  TDateTime modified;
};

void ExpectRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    TFTPList list;
    list.OnGetNow = FixedNow;
    list.Lines = {row.line};
    list.ParseLines();
    if (*row.name == '\0') {
      EXPECT_EQ(list.EntryCount(), 0) << Dump(list);
      EXPECT_EQ(list.UnparsedLines, Lines{row.line});
      continue;
    }
    ASSERT_EQ(list.EntryCount(), 1) << Dump(list);
    const TFTPListRec& entry = *list.GetEntry(0);
    EXPECT_EQ(entry.EntryName, row.name);
    EXPECT_EQ(entry.IsDirectory, row.directory);
    EXPECT_EQ(entry.SizeBytes, row.size);
    EXPECT_NEAR(entry.ModifiedAt, row.modified, 1e-9);
  }
}

TEST(ListFormatsTest, VmsOneDigitDaysRepliesAndUtf8Months) {
  ExpectRows({
      {"1-JUN.LIS;1  1/3  2-JUN-1998 07:32:04 [GROUP,OWNER] (RWED,RWED,RE,)", "1-JUN.LIS;1",
       false, 0, At(1998, 6, 2, 7, 32)},
      {"DATA.DIR;1  1/3  9-OCT-2003 17:05 [SYSTEM] (RWE,RWE,RE,RE)", "DATA.DIR;1", true, 0,
       At(2003, 10, 9, 17, 5)},
      {"550 Could not list directory: permission denied, please contact the administrator",
       "", false, 0, 0},
      {"226-Transfer complete; this reply went on for long enough to reach column 55", "",
       false, 0, 0},
      // A line of the same width that is no reply is still the catch-all's.
      {"  D                                                   catch all name", "catch all name",
       true, 0, At(2006, 3, 15)},
      {"-rw-r--r--   1 u g 7 M\xC3\xA4r 02  2004 de", "de", false, 7, At(2004, 3, 2)},
      {"-rw-r--r--   1 u g 7 d\xC3\xA9" "c 02  2004 fr", "fr", false, 7, At(2004, 12, 2)},
      {"-rw-r--r--   1 u g 7 D\xC3\x89" "C 02  2004 fr2", "fr2", false, 7, At(2004, 12, 2)},
      {"-rw-r--r--   1 u g 7 ao\xC3\xBB 02  2004 fr3", "fr3", false, 7, At(2004, 8, 2)},
      {"-rw-r--r--   1 u g 7 \xC4\x8C" "en 02  2004 cz", "cz", false, 7, At(2004, 6, 2)},
      {"-rw-r--r--   1 u g 7 B\xC5\x99" "e 02  2004 cz2", "cz2", false, 7, At(2004, 3, 2)},
      {"-rw-r--r--   1 u g 7 Mai 02  2004 de2", "de2", false, 7, At(2004, 5, 2)},
      // 8-bit names still count one byte a character.
      {"-rw-r--r--   1 u g 7 M\xE4r 02  2004 de3", "de3", false, 7, At(2004, 3, 2)},
      // A broken sequence is no month.
      {"-rw-r--r--   1 u g 7 M\xC3r 02  2004 bad", "", false, 0, 0},
  });
}

TEST(ListFormatsTest, MachineListingFacts) {
  const Lines lines = {
      "type=cdir;modify=20240101000000; /home",
      "type=pdir;modify=20240101000000; /",
      "type=file;size=5000000000;modify=20240229235959;perm=adfrw; a name; with spaces ",
      "Type=DIR;Modify=19991231120000.5;Perm=flcdmpe;Sizd=4096; sub",
      "type=file;perm=w;unique=801U1; dropbox",
      "type=OS.unix=slink:/target;size=7;modify=20240102030405; link",
      " no-facts.txt",
      "type=file;size=12x;modify=2024; odd values",
      "type=file;size=1; ",
      "type=file;size=1 missing-semicolon",
      "broken-fact; name",
      "",
  };
  TFTPList list;
  list.Lines = lines;
  list.ParseMachineLines();
  ASSERT_EQ(list.EntryCount(), 6) << Dump(list);
  const struct {
    const char* name;
    bool directory, readable;
    int64_t size;
    TDateTime modified;
  } expected[] = {
      {"a name; with spaces ", false, true, 5000000000, At(2024, 2, 29, 23, 59, 59)},
      {"sub", true, false, 4096, At(1999, 12, 31, 12) + 0.5 / 86400},
      {"dropbox", false, false, 0, 0},
      {"link", true, true, 7, At(2024, 1, 2, 3, 4, 5)},
      {"no-facts.txt", false, true, 0, 0},
      {"odd values", false, true, 0, 0},
  };
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const TFTPListRec& entry = *list.GetEntry(i);
    EXPECT_EQ(entry.EntryName, expected[i].name);
    EXPECT_EQ(entry.IsDirectory, expected[i].directory);
    EXPECT_EQ(entry.IsReadable, expected[i].readable);
    EXPECT_EQ(entry.SizeBytes, expected[i].size);
    EXPECT_NEAR(entry.ModifiedAt, expected[i].modified, 1e-9);
    EXPECT_EQ(entry.MatchedMask, "MLSD");
    EXPECT_EQ(entry.SourceLine, lines[static_cast<size_t>(i) + 2]);
  }
  EXPECT_EQ(list.UnparsedLines, (Lines{lines[8], lines[9], lines[10], lines[11]}));
}

// A subclass replacing no step is parsed through the field buffers, a plain
// list through views: both must give the same entries, in the same order,
// with the same fields, on every listing at hand.
class BufferList : public TFTPList {};

std::vector<std::string> Corpus() {
  std::vector<std::string> texts = {
      "-rw-r--r--   1 user     group        1234 Dec 24 10:30 file name.txt\r\n"
      "drwxr-xr-x   2 user     group        4096 Jan  5  2005 docs\n"
      "lrwxrwxrwx   1 user     group          11 Jul 14 09:05 link -> target\r"
      "12-24-98  10:30AM       <DIR>          My Dir\n"
      "FOO      TXT          1234 12-24-98  10:30p\n"
      "README                1234 12-24-98  10:30a\n"
      "CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)\n"
      "+i8388621.44468,m839956783,r,s10376,\tRFCEPLF\n"
      "a-rather-long-file-name.tar.gz \n"
      "                                                     1234 12-24-2005 10:30\n"
      "total 12\n"
      "-rw-r--r--   1 user     group        1234 Feb 30 10:30 feb30\n",
      // Near misses of the commonest "ls -l" shape, each taken by another
      // mask, by the same mask with odd fields, or by none.
      "-rw-r--r--   1 user group 12 Dec 24 10:30 45 2020 digits first\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 45 x\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 4\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 $1 x\n"
      "-rw-r--r--   1 user group 12 24 Dec 10:30 day first\n"
      "-rw-r--r--   1 user group 12 12 Dec 2005 day first\n"
      "-rw-r--r--   1 user group 12 xyz 24 10:30 x month\n"
      "-rw-r--r--   1 user group 12 M\xc3\xa4r 24 10:30 umlaut\n"
      "-rw-r--r--   1 user 12 Dec 24 10:30 no group\n"
      "-rw-r--r--\t1\tuser group\t12\tDec\t\t4\t10:30\ttabs\n"
      "-rw-r--r--   1 user group 1 Dec 24 10-30 dash time\n"
      "-rw-r--r--   1 user group 12345678901234567890123 Dec 24 1999 big\n"
      "-rw-r--r--   1 user group 12 Dec 24  1999 year\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 \n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:61 bad minute\n"
      "-rw-r--r--   1 user group 12 Dec 32 10:30 bad day\n"
      "-rw-r--r--   1 user group 12 Feb 29 10:30 leap\n"
      "drwxr-xr-x   1 user group 12 Dec 24 10:30 ..\n"
      "drwxr-xr-x   1 user group 12 Dec 24 10:30 .\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 trailing  \n"
      "-rw-r--r--   1 user group 1x Dec 24 10:30 size letters\n"
      "-rw-r--r--   1 user group 7\n"
      "-rw-r--r--  user group 12 Dec 24 10:30 two words\n"
      "-rw-r--r-Q   1 user group 12 Dec 24 10:30 bad permission\n"
      "-rw-r--r--   1 user group 12 Dec 24 10:30 +1 24 x\n",
      "12-24-98  10:30PM            1234 readme.txt\n"
      "03-15-06  11:45AM       <DIR>          some dir\n"
      "03-15-06  11:45am       <dir>          lower dir\n"
      "03-15-06  11:45AM       <DIR>          .\n"
      "13-15-06  11:45AM       <DIR>          bad month\n"
      "02-30-06  11:45AM            12 bad date\n"
      "12-24-98  10:30XM            1234 bad am pm\n"
      "12-24-98  10:30PM            1234\n"
      "12-24-98  10:30PM            1234 \n"
      "12-24-98  10:30PM          12x4 size letters\n"
      "12-24-98  10:30PM\t\t1234 tabs\n"
      "12-24-1998  10:30PM            1234 long year\n"
      "1 3456789012 Jan 2 Dec 24 10:30 seventh mask\n"
      "1 3456789012  4 Dec 24 10:30 seventh mask\n"
      "12-24-98  10:30PM 7 Dec 24 10:30 month after size\n"
      "12-24-98  10:30PM  <DIR>\n",
      "FILE.TXT;1  2/3  15-MAR-2005 10:30 [GROUP,OWNER]\n"
      "SUB.DIR;1        1/3     12-FEB-2004 14:20 [SYSTEM]  (RWE,RWE,RE,RE)\n"
      "FILE.TXT;1  2  5 MAR 2005 10:30 fourteenth mask\n"
      "FILE.TXT;1  2 15 MAR 2005 10:30 both masks\n"
      "FILE.TXT;1  2/3  15-M\xc3\xa4r-2005 10:30\n"
      "FILE.TXT  2/3  15-MAR-2005 10:30\n"
      "FI?E.TXT;1  2/3  15-MAR-2005 10:30\n"
      "1FILE.TXT;1  2/3  15-MAR-2005 10:30\n"
      "FILE.TXT;1  2/3  15-MAR-2005 10:3\n"
      "FILE.TXT;1  2/3  15-MAR-1800 10:30\n"
      "FILE.TXT;1  2/3  31-FEB-2005 10:30\n"
      "FILE.TXT;1  2/3  1-JUN-1998 07:32:04\n"
      "FILE.TXT;1\t2/3\t15-MAR-2005 10:30\n"
      "FILE.TXT;1  2/3  15-XYZ-2005 10:30\n"
      "rwxrwxrwxr;1  2/3  15-MAR-2005 10:30\n"
      "A           x 1 Dec 24 10:30 seventh mask\n"
      " FILE.TXT;1  2/3  15-MAR-2005 10:30\n",
  };
  const std::filesystem::path corpus =
      std::filesystem::path(ZUD_SOURCE_DIR) / "fuzz" / "corpus" / "ftplist_fuzz";
  std::error_code error;
  for (const auto& file : std::filesystem::directory_iterator(corpus, error)) {
    std::ifstream in(file.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    texts.push_back(text.str());
  }
  return texts;
}

TEST(ListFormatsTest, PlainListParsesLikeTheFieldBuffers) {
  const std::vector<std::string> texts = Corpus();
  EXPECT_GT(texts.size(), 50u) << "the fuzz corpus is missing";
  for (const std::string& text : texts) {
    // The first line as an extra mask, as the fuzz target does: settings,
    // "." and odd masks take the buffer route inside the plain list too.
    for (bool own_mask : {false, true}) {
      const TMonthRow saved = LocaleMonthNames();
      TFTPList plain;
      BufferList buffers;
      for (TFTPList* list : {&plain, static_cast<TFTPList*>(&buffers)}) {
        list->OnGetNow = FixedNow;
        if (own_mask) list->Masks.insert(list->Masks.begin(), text.substr(0, text.find('\n')));
        list->LoadLinesFromText(text);
        list->ParseLines();
        LocaleMonthNames() = saved;
      }
      ASSERT_EQ(Dump(plain), Dump(buffers)) << text;
    }
  }
}

// The one-pass readers credit lines to masks by text: a mask put before the
// one a reader credits turns that reader off, and every entry still goes to
// the mask the field buffers give it to.
TEST(ListFormatsTest, EditedMasksTurnReadersOffNotMisattribute) {
  const std::vector<std::string>& built_in = BuiltInListMasks();
  for (TListReader reader : {TListReader::kUnix, TListReader::kDosFile,
                             TListReader::kDosDirectory, TListReader::kVms}) {
    EXPECT_NE(ListReaderMask(reader, built_in), kNoListMask) << static_cast<int>(reader);
  }
  const std::vector<std::string> texts = Corpus();
  struct Edit {
    size_t at;
    const char* mask;
  } const edits[] = {
      {7, "MM DD YY  hh mmH !S* n*"},   // a copy of the DOS file mask, earlier
      {7, "MM DD YY  hh mmH $ d!n*"},   // the DOS directory mask before the file one
      {7, "n*"},                        // a catch-all after the Unix group
      {13, "v*$!DD TTT YYYY hh mm"},    // the VMS masks swapped
      {2, "pppppppppp $!!!S*$TTT$DD$UUUUU$n*x"},
      {0, "S=512"},
      {built_in.size(), "n*"},          // after all: the readers stay on
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.mask);
    std::vector<std::string> masks = built_in;
    masks.insert(masks.begin() + static_cast<std::ptrdiff_t>(edit.at), edit.mask);
    for (size_t t = 0; t < 4; ++t) {
      TFTPList plain;
      BufferList buffers;
      for (TFTPList* list : {&plain, static_cast<TFTPList*>(&buffers)}) {
        list->OnGetNow = FixedNow;
        list->Masks = masks;
        list->LoadLinesFromText(texts[t]);
        list->ParseLines();
      }
      ASSERT_EQ(Dump(plain), Dump(buffers)) << texts[t];
    }
  }
}

// A subclass sees each step it replaces called, with its own record type.
class CountingList : public TFTPList {
 public:
  struct Rec : TFTPListRec {};
  int matches = 0, validations = 0, fills = 0, creations = 0;
  int MatchLineToMask(std::string_view line, std::string_view next,
                      std::string_view mask) override {
    ++matches;
    return TFTPList::MatchLineToMask(line, next, mask);
  }
  bool ValidateFieldBuffers() override {
    ++validations;
    return TFTPList::ValidateFieldBuffers();
  }
  bool FillEntryFromBuffers(TFTPListRec& entry) override {
    ++fills;
    const bool filled = TFTPList::FillEntryFromBuffers(entry);
    entry.EntryName = "[" + entry.EntryName + "]";
    return filled;
  }

 protected:
  std::unique_ptr<TFTPListRec> CreateEntry() const override {
    ++const_cast<CountingList*>(this)->creations;
    return std::make_unique<Rec>();
  }
};

TEST(ListFormatsTest, ReplacedStepsAreCalled) {
  CountingList list;
  list.OnGetNow = FixedNow;
  list.LoadLinesFromText(
      "-rw-r--r--   1 user     group        1234 Dec 24 10:30 a.txt\r\n"
      "12-24-98  10:30PM                 1234 b.txt\r\n");
  list.ParseLines();
  ASSERT_EQ(list.EntryCount(), 2);
  EXPECT_EQ(list.GetEntry(0)->EntryName, "[a.txt]");
  EXPECT_NE(dynamic_cast<CountingList::Rec*>(list.GetEntry(1)), nullptr);
  EXPECT_EQ(list.matches, 3 + 8);  // Unix: masks 1-3; IIS: masks 1-8
  EXPECT_EQ(list.fills, 2);
  EXPECT_GE(list.validations, 2);
  EXPECT_EQ(list.creations, 2);
}

TEST(ListFormatsTest, EntriesOutliveTheirLinesUntilCleared) {
  TFTPList list;
  list.OnGetNow = FixedNow;
  std::string text = "+r,s7,\tseven\r\ntotal 1\r\n";
  list.LoadLinesFromText(text);
  list.ParseLines();
  text.assign(text.size(), 'x');
  // New lines without ClearListing: the entries still read their own text.
  list.LoadLinesFromText("+r,s8,\teight\n");
  list.Lines.push_back("+r,s9,\tnine");
  list.ParseLines();
  ASSERT_EQ(list.EntryCount(), 3);
  EXPECT_EQ(list.GetEntry(0)->EntryName, "seven");
  EXPECT_EQ(list.GetEntry(0)->SourceLine, "+r,s7,\tseven");
  EXPECT_EQ(list.GetEntry(2)->EntryName, "nine");
  EXPECT_EQ(list.UnparsedLines, Lines{"total 1"});

  // A copied record keeps its text after the list is cleared; so does one
  // whose fields were assigned.
  const TFTPListRec copy = *list.GetEntry(1);
  TFTPListRec& kept = *list.GetEntry(0);
  std::string name = kept.EntryName;
  name += "!";
  list.Entries.push_back(std::make_unique<TFTPListRec>());
  list.GetEntry(3)->EntryName = name;
  EXPECT_EQ(list.GetEntry(3)->EntryName, "seven!");
  list.ClearListing();
  EXPECT_EQ(copy.EntryName, "eight");
  EXPECT_EQ(copy.SourceLine, "+r,s8,\teight");

  // The lines read like a vector of strings.
  list.Lines = Lines{"a", "bb"};
  const Lines back(list.Lines.begin(), list.Lines.end());
  EXPECT_EQ(back, (Lines{"a", "bb"}));
  const std::string second = list.Lines[1];
  EXPECT_EQ(second + list.Lines.back(), "bbbb");
}

}  // namespace
}  // namespace zud
