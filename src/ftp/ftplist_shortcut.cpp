// The commonest "ls -l" line, "-rw-r--r--  1 owner group  1234 Dec 24 10:30
// name", read in one pass instead of by stepping the built-in masks. Such a
// line is taken by the mask
//   "pppppppppp $!!!S*$TTT$DD$UUUUU$n*",
// once the two Unix masks with seconds have failed: the one reads "hh mm ss"
// where this one reads "UUUUU", the other a day where this one reads the
// month. The pass below captures exactly what the mask captures, with the
// same checks, and proves those two fail; wherever it is not certain it
// gives the line back to the masks, so the result is the masks' result.
// Which masks each reader proves to fail is listed in ftplist_masks.cpp; a
// list with other masks before the credited one has the reader off.
#include <bit>
#include <cstdint>
#include <cstring>

#include "ftp/ftplist.h"
#include "ftp/ftplist_fields.h"
#include "ftp/ftplist_mask.h"
#include "ftp/ftplist_parser.h"

namespace zud {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Byte index in a little-endian word of its lowest set flag byte.
size_t FirstFlagged(uint64_t flags) { return static_cast<size_t>(std::countr_zero(flags)) / 8; }

// The first position from pos whose byte is c / is not c; n when none.
// Eight bytes at a time where the line has them.
size_t FindByte(const char* d, size_t pos, size_t n, char c) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; n - pos >= 8; pos += 8) {
      const uint64_t x = Load8(d + pos) ^ (kOnes * static_cast<unsigned char>(c));
      const uint64_t zero = (x - kOnes) & ~x & kHighs;
      if (zero != 0) return pos + FirstFlagged(zero);
    }
  }
  while (pos < n && d[pos] != c) ++pos;
  return pos;
}
size_t SkipByte(const char* d, size_t pos, size_t n, char c) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; n - pos >= 8; pos += 8) {
      const uint64_t x = Load8(d + pos) ^ (kOnes * static_cast<unsigned char>(c));
      if (x != 0) return pos + static_cast<size_t>(std::countr_zero(x)) / 8;
    }
  }
  while (pos < n && d[pos] == c) ++pos;
  return pos;
}
size_t SkipBlanks(const char* d, size_t pos, size_t n) {
  for (;;) {
    pos = SkipByte(d, pos, n, ' ');
    if (pos == n || d[pos] != '\t') return pos;
    ++pos;
  }
}

// A two-character capture no numeric check can accept: its first character
// starts no number (TextToIntDef takes blanks, signs, "$" and "x" prefixes).
bool SurelyNoNumber(char c) {
  return !(c >= '0' && c <= '9') && c != ' ' && c != '+' && c != '-' && c != '$' && c != 'x' &&
         c != 'X';
}

// What a numeric field check makes of a capture.
bool NumberIn(std::string_view text, TListField field) {
  const int number = ListNumberOr(StripListBlanks(text), -1);
  return number >= ListFieldRange(field).low && number <= ListFieldRange(field).high;
}

}  // namespace

bool TFTPListParser::ParseUnixShortcut(std::string_view line, const std::string_view* credits,
                                 bool& parsed) {
  const std::string_view credit = credits[static_cast<size_t>(TListReader::kUnix)];
  if (credit.empty()) return false;
  const char* const d = line.data();
  const size_t n = line.size();
  // Ten permission characters and at least one more.
  if (n < 12) return false;
  TFieldViews fields{};
  fields.field[kFieldPermission] = line.substr(0, 10);
  if (!IsListPermissionText(fields.field[kFieldPermission])) return false;
  size_t pos = 11;  // the character after the permissions is skipped unread
  // Every step needs a character left when it starts.
  auto blanks = [&] {
    if (pos >= n) return false;
    pos = SkipBlanks(d, pos, n);
    return true;
  };
  if (!blanks()) return false;
  for (int word = 0; word < 3; ++word) {  // links, owner, group
    if (pos >= n) return false;
    pos = SkipByte(d, FindByte(d, pos, n, ' '), n, ' ');
  }
  // The size: "S" takes one character, "*" the digits after it, and the
  // check wants digits only (there are no blanks to trim here).
  if (pos >= n || !IsAsciiDigitChar(d[pos])) return false;
  const size_t size_start = pos;
  int64_t size = d[pos++] - '0';
  if (pos >= n) return false;
  for (; pos < n; ++pos) {
    const unsigned digit = static_cast<unsigned char>(d[pos]) - static_cast<unsigned>('0');
    if (digit > 9) break;
    if (pos - size_start < 18) size = size * 10 + static_cast<int64_t>(digit);
  }
  fields.field[kFieldSize] = line.substr(size_start, pos - size_start);
  fields.size_known = pos - size_start <= 18;
  fields.size = size;
  if (!blanks()) return false;

  // The month: three ASCII characters here (a multi-byte name goes to the
  // masks). The second mask reads a day from its first two and must fail.
  if (n - pos < 3) return false;
  const std::string_view month = line.substr(pos, 3);
  for (char c : month) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  if (!SurelyNoNumber(month[0]) && NumberIn(month.substr(0, 2), kFieldDay)) return false;
  fields.field[kFieldMonthName] = month;
  fields.month = MonthFromName(month);
  if (fields.month == 0) return false;
  pos += 3;
  if (!blanks()) return false;

  if (n - pos < 2) return false;
  fields.field[kFieldDay] = line.substr(pos, 2);
  if (!CheckListNumber(fields, kFieldDay)) return false;
  pos += 2;
  if (!blanks()) return false;

  // The first mask reads "hh mm ss" from here; one of them must fail.
  const size_t at = pos;
  if (n - at >= 8 && !SurelyNoNumber(d[at + 6]) && NumberIn(line.substr(at, 2), kFieldHour) &&
      NumberIn(line.substr(at + 3, 2), kFieldMinute) &&
      NumberIn(line.substr(at + 6, 2), kFieldSecond)) {
    return false;
  }
  if (n - pos < 5) return false;
  fields.field[kFieldYearOrTime] = line.substr(pos, 5);
  if (!CheckListField(fields, kFieldYearOrTime, separator_scratch_)) return false;
  pos += 5;
  if (!blanks()) return false;
  // The name: the rest of the line, never empty here.
  if (pos >= n) return false;
  fields.field[kFieldName] = line.substr(pos);

  parsed = AppendShortcutEntry(fields, line, credit);
  return true;
}

bool TFTPListParser::AppendShortcutEntry(const TFieldViews& fields, std::string_view line,
                                   std::string_view mask_text) {
  TFilledEntry filled;
  // As after a mask: no date, or no name, and the line stays unparsed.
  if (!FillListEntry(fields, parse_now_, filled) || filled.name.empty()) return false;
  if (!(filled.is_directory && IsDotDirectory(filled.name))) {
    AppendFilledEntry(filled, line, mask_text);
  }
  return true;
}

void TFTPListParser::AppendFilledEntry(const TFilledEntry& filled, std::string_view line,
                                 std::string_view mask_text) {
  TFTPListRec& entry = list_.Entries.AppendPlain();
  entry.EntryName.Refer(filled.name);
  entry.IsDirectory = filled.is_directory;
  entry.IsReadable = filled.is_readable;
  entry.SizeBytes = filled.size;
  entry.ModifiedAt = filled.modified;
  entry.PermissionString.Refer(filled.permissions);
  entry.SourceLine.Refer(line);
  entry.MatchedMask.Refer(mask_text);
}

// ---- IIS / DOS: "12-24-98  10:30PM       1234 name" and "<DIR>" ------------------
//
// The mask "MM DD YY  hh mmH !S* n*" takes a file line and the next one,
// "MM DD YY  hh mmH $ d!n*", a directory line. Before them the six
// "pppppppppp" masks fail on a line starting with a digit (a digit is no
// permission character), and "d            $!S*$TTT..." is
// followed as far as its month, where it must be seen to fail. The two masks
// are then followed step by step, with the checks the masks make.

// A cursor over a line that moves as mask steps do: every step needs a
// character left when it starts.
struct TStepCursor {
  std::string_view line;
  size_t pos = 0;

  bool Take(TFieldViews& fields, TListField field, size_t count) {
    if (pos >= line.size() || line.size() - pos < count) return false;
    fields.field[field] = line.substr(pos, count);
    pos += count;
    return true;
  }
  bool Skip(size_t count) {
    if (pos >= line.size() || line.size() - pos < count) return false;
    pos += count;
    return true;
  }
  bool Blanks() {
    if (pos >= line.size()) return false;
    pos = SkipBlanks(line.data(), pos, line.size());
    return true;
  }
  bool Word() {
    if (pos >= line.size()) return false;
    while (pos < line.size() && line[pos] != ' ') ++pos;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    return true;
  }
  bool Digits() {
    if (pos >= line.size()) return false;
    while (pos < line.size() && IsAsciiDigitChar(line[pos])) ++pos;
    return true;
  }
  // The final "n*": the rest of the line, which must not be empty.
  bool Rest(TFieldViews& fields, TListField field) {
    if (pos >= line.size()) return false;
    fields.field[field] = line.substr(pos);
    pos = line.size();
    return true;
  }
};

bool TFTPListParser::DirColumnMaskFails(std::string_view line) {
  // "d            $!S*$TTT...": a character, twelve more, blanks, a word, a
  // size, blanks and a month name, which must fail to be one.
  if (line.size() < 13) return true;
  TStepCursor c{line, 13};
  if (!(c.Blanks() && c.Word() && c.Skip(1))) return true;
  const size_t size_start = c.pos - 1;
  if (!c.Digits()) return true;
  for (char ch : StripListBlanks(line.substr(size_start, c.pos - size_start))) {
    if (!IsAsciiDigitChar(ch)) return true;
  }
  if (!c.Blanks() || c.pos >= line.size()) return true;
  if (line.size() - c.pos < 3) return false;  // may be UTF-8: left to the masks
  const std::string_view month = line.substr(c.pos, 3);
  for (char ch : month) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return MonthFromName(month) == 0;
}

bool TFTPListParser::ParseDosShortcut(std::string_view line, const std::string_view* credits,
                                bool& parsed) {
  const std::string_view file_credit = credits[static_cast<size_t>(TListReader::kDosFile)];
  const std::string_view directory_credit = credits[static_cast<size_t>(TListReader::kDosDirectory)];
  if (file_credit.empty() && directory_credit.empty()) return false;
  if (line.size() < 17 || !IsAsciiDigitChar(line[0])) return false;
  if (!DirColumnMaskFails(line)) return false;
  // What the file and directory masks share: "MM DD YY  hh mmH".
  TFieldViews fields{};
  TStepCursor c{line, 0};
  if (!(c.Take(fields, kFieldMonth, 2) && CheckListNumber(fields, kFieldMonth) &&
        c.Skip(1) && c.Take(fields, kFieldDay, 2) && CheckListNumber(fields, kFieldDay) &&
        c.Skip(1) && c.Take(fields, kFieldYear, 2) &&
        CheckListField(fields, kFieldYear, separator_scratch_) && c.Skip(2) &&
        c.Take(fields, kFieldHour, 2) && CheckListNumber(fields, kFieldHour) &&
        c.Skip(1) && c.Take(fields, kFieldMinute, 2) &&
        CheckListNumber(fields, kFieldMinute) && c.Take(fields, kFieldAmPm, 1) &&
        CheckListField(fields, kFieldAmPm, separator_scratch_))) {
    return false;
  }
  const size_t after_time = c.pos;
  // The file mask: " !S* n*".
  {
    TFieldViews file = fields;
    if (c.Skip(1) && c.Word() && c.Skip(1)) {
      const size_t size_start = c.pos - 1;
      if (c.Digits()) {
        file.field[kFieldSize] = line.substr(size_start, c.pos - size_start);
        if (CheckListField(file, kFieldSize, separator_scratch_) && c.Skip(1) &&
            c.Rest(file, kFieldName)) {
          if (file_credit.empty()) return false;
          parsed = AppendShortcutEntry(file, line, file_credit);
          return true;
        }
      }
    }
  }
  // The directory mask: " $ d!n*".
  c.pos = after_time;
  if (!directory_credit.empty() && c.Skip(1) && c.Blanks() && c.Skip(1) &&
      c.Take(fields, kFieldDirFlag, 1) && c.Word() && c.Rest(fields, kFieldName)) {
    parsed = AppendShortcutEntry(fields, line, directory_credit);
    return true;
  }
  return false;
}

// ---- VMS: "NAME.TYPE;1  2/3  15-MAR-2005 10:30 [GROUP,OWNER]" --------------
//
// The mask "v*$!DD TTT YYYY hh mm" takes these lines once the one before it,
// "v*$  DD TTT YYYY hh mm", has failed. Before those,
// the six "pppppppppp" masks fail on a line whose first ten characters are no
// permission column, the "d" mask is followed to its month, and the six date
// masks after it ("MM DD ..." and "DD MM ...") fail on a first character that
// starts no number.

int TFTPListParser::MatchVmsTail(TStepCursor& c, TFieldViews& fields) {
  // "DD TTT YYYY hh mm" after the name and its blanks: 1 a match, 0 a sure
  // failure, -1 a month name in UTF-8, left to the masks.
  if (!(c.Take(fields, kFieldDay, 2) && CheckListNumber(fields, kFieldDay) && c.Skip(1))) {
    return 0;
  }
  if (c.pos >= c.line.size() || c.line.size() - c.pos < 3) return 0;
  for (size_t i = 0; i < 3; ++i) {
    if (static_cast<unsigned char>(c.line[c.pos + i]) >= 0x80) return -1;
  }
  c.Take(fields, kFieldMonthName, 3);
  fields.month = MonthFromName(fields.field[kFieldMonthName]);
  if (fields.month == 0) return 0;
  const bool match =
      c.Skip(1) && c.Take(fields, kFieldYear, 4) &&
      CheckListField(fields, kFieldYear, separator_scratch_) && c.Skip(1) &&
      c.Take(fields, kFieldHour, 2) && CheckListNumber(fields, kFieldHour) && c.Skip(1) &&
      c.Take(fields, kFieldMinute, 2) && CheckListNumber(fields, kFieldMinute) &&
      CheckListNames(fields);
  return match ? 1 : 0;
}

bool TFTPListParser::ParseVmsShortcut(std::string_view line, const std::string_view* credits,
                                bool& parsed) {
  const std::string_view credit = credits[static_cast<size_t>(TListReader::kVms)];
  if (credit.empty() || line.size() < 2 || !SurelyNoNumber(line[0]) ||
      (line.size() >= 10 && IsListPermissionText(line.substr(0, 10))) ||
      !DirColumnMaskFails(line)) {
    return false;
  }
  TFieldViews fields{};
  TStepCursor c{line, 0};
  // "v*$": the name up to a space, then blanks.
  while (c.pos < line.size() && line[c.pos] != ' ') ++c.pos;
  fields.field[kFieldVmsName] = line.substr(0, c.pos);
  if (!c.Blanks()) return false;
  const size_t after_name = c.pos;
  // "v*$  DD TTT YYYY hh mm".
  {
    TFieldViews first = fields;
    const int result = c.Skip(2) ? MatchVmsTail(c, first) : 0;
    if (result != 0) return false;
  }
  // "v*$!DD TTT YYYY hh mm".
  c.pos = after_name;
  if (!c.Word() || MatchVmsTail(c, fields) != 1) return false;
  parsed = AppendShortcutEntry(fields, line, credit);
  return true;
}

}  // namespace zud
