// Directory-listing parser.
//
// Formats understood out of the box (the masks live in ftplist_masks.cpp):
// - Unix "ls -l" long listings (vsftpd, pyftpdlib, ProFTPD, ...), with a year
//   or a time of day, month before or after the day, with or without a link
//   count, owner and group, symbolic links "name -> target";
// - IIS / DOS style "MM-DD-YY  hh:mmAM  <DIR>|size  name", 2- or 4-digit
//   years, month or day first;
// - VMS "NAME.TYPE;VERSION  blocks  DD-MON-YYYY hh:mm";
// - DOS 8.3 names in fixed columns, and several other fixed-column styles,
//   one of them with a long name on a line of its own;
// - EPLF ("+facts<TAB>name").
// Anything else is kept in UnparsedLines.
//
// Every line is first tried as EPLF, then against each mask in order. A
// mask fills the field buffers, validation checks (and trims) them, and the
// fill step builds the entry. Dates without a year ("Dec 24 10:30") are
// placed in the last twelve months before the current local time.
#include "ftp/ftplist.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "ftp/ftplist_mask.h"

namespace zud {

namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// The space byte (not tabs) stripped without reallocating.
void StripTrailingSpacesInPlace(std::string& s) {
  const size_t last = s.find_last_not_of(' ');
  s.erase(last == std::string::npos ? 0 : last + 1);
}

void StripSpacesInPlace(std::string& s) {
  StripTrailingSpacesInPlace(s);
  s.erase(0, s.find_first_not_of(' '));
}

// TextToIntDef with a shortcut for the plain digit runs listings are made of.
int NumberOr(std::string_view text, int def) {
  if (!text.empty() && text.size() <= 9) {
    int value = 0;
    for (char c : text) {
      if (!IsAsciiDigit(c)) return TextToIntDef(text, def);
      value = value * 10 + (c - '0');
    }
    return value;
  }
  return TextToIntDef(text, def);
}

// ParseTimeOfDay(text) != -1, with a shortcut for the usual "hh:mm".
bool IsTimeOfDay(std::string_view text) {
  if (text.size() == 5 && text[2] == ':' && IsAsciiDigit(text[0]) && IsAsciiDigit(text[1]) &&
      IsAsciiDigit(text[3]) && IsAsciiDigit(text[4])) {
    return NumberOr(text.substr(0, 2), -1) <= 23 && NumberOr(text.substr(3), -1) <= 59;
  }
  return ParseTimeOfDay(text) != -1.0;
}

// A buffer that must be a number in [low, high]; -1 stands for no number,
// which every range used excludes.
bool InRange(std::string_view text, int low, int high) {
  const int value = NumberOr(text, -1);
  return value >= low && value <= high;
}

bool IsPermissionChar(char c) {
  switch (c) {
    case '-': case 'a': case 'b': case 'c': case 'd': case 'h': case 'l':
    case 'p': case 'r': case 's': case 't': case 'w': case 'x': case 'y':
      return true;
    default:
      return false;
  }
}

constexpr int64_t kSecondsPerDay = 86400;
constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time value

// The size column times the block size, or 0 when the product leaves 64 bits.
int64_t SizeFromText(std::string_view size_text, std::string_view block_size_text) {
  const int64_t value = TextToInt64Def(size_text, 0);
  const int64_t multiplier = TextToInt64Def(block_size_text, 1);
  int64_t product = 0;
  if (__builtin_mul_overflow(value, multiplier, &product) || product < 0) return 0;
  return product;
}

}  // namespace

// ---- TFTPListRec ------------------------------------------------------------

void TFTPListRec::CopyEntryFrom(const TFTPListRec& other) {
  EntryName = other.EntryName;
  IsDirectory = other.IsDirectory;
  IsReadable = other.IsReadable;
  SizeBytes = other.SizeBytes;
  ModifiedAt = other.ModifiedAt;
  SourceLine = other.SourceLine;
  MatchedMask = other.MatchedMask;
  PermissionString = other.PermissionString;
}

// ---- TFTPList: lists ----------------------------------------------------------

TFTPList::TFTPList() : Masks(BuiltInListMasks()) {}

TFTPList::~TFTPList() = default;

TFTPListRec* TFTPList::GetEntry(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= Entries.size()) return nullptr;
  return Entries[static_cast<size_t>(index)].get();
}

int TFTPList::EntryCount() const { return static_cast<int>(Entries.size()); }

void TFTPList::ClearListing() {
  Entries.clear();
  Lines.clear();
  UnparsedLines.clear();
}

void TFTPList::CopyListingFrom(const TFTPList& other) {
  if (&other == this) return;
  ClearListing();
  Entries.reserve(other.Entries.size());
  for (const auto& source : other.Entries) {
    std::unique_ptr<TFTPListRec> entry = CreateEntry();
    entry->CopyEntryFrom(*source);
    Entries.push_back(std::move(entry));
  }
  Lines = other.Lines;
  Masks = other.Masks;
  UnparsedLines = other.UnparsedLines;
}

std::unique_ptr<TFTPListRec> TFTPList::CreateEntry() const {
  return std::make_unique<TFTPListRec>();
}

TDateTime TFTPList::CurrentTime() const { return OnGetNow ? OnGetNow() : NowLocal(); }

TFTPList::NowParts TFTPList::ReadNow() const {
  const TDateTime now = CurrentTime();
  NowParts parts;
  DecodeDate(now, parts.year, parts.month, parts.day);
  if (std::isfinite(now)) {
    const double fraction = std::fabs(now - std::trunc(now));
    const int64_t ms = std::min<int64_t>(std::llround(fraction * 86400000.0), 86400000 - 1);
    parts.minute_of_day = static_cast<int>(ms / 60000);
  }
  return parts;
}

void TFTPList::LoadLinesFromText(std::string_view text) {
  Lines.clear();
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  size_t start = 0;
  while (start < text.size()) {
    const size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      Lines.emplace_back(text.substr(start));
      break;
    }
    Lines.emplace_back(text.substr(start, brk - start));
    start = brk + 1;
    if (text[brk] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
}

// ---- TFTPList: parsing ----------------------------------------------------------

void TFTPList::ParseLines() {
  CompileMasks();
  month_memo_count_ = 0;
  parse_now_ = ReadNow();
  parsing_ = true;
  struct Done {
    TFTPList& list;
    ~Done() {
      list.parsing_ = false;
      list.mask_hint_ = static_cast<size_t>(-1);
    }
  } done{*this};
  size_t i = 0;
  while (i < Lines.size()) {
    const std::string& line = Lines[i];
    const std::string_view next = i + 1 < Lines.size() ? std::string_view(Lines[i + 1]) : "";
    size_t consumed = 1;
    bool parsed = ParseEplfLine(line);
    for (size_t m = 0; !parsed && m < Masks.size(); ++m) {
      const std::string& mask = Masks[m];
      mask_hint_ = m;
      const int matched = MatchLineToMask(line, next, mask);
      if (matched <= 0 || !ValidateFieldBuffers()) continue;
      std::unique_ptr<TFTPListRec> entry = CreateEntry();
      // A date the calendar does not have makes the line unparsable; the
      // rest of the listing is still worth having.
      if (!FillEntryFromBuffers(*entry)) break;
      // A name of blanks only (a fixed-column style on a stray line) makes
      // no entry; later masks would only read such a line worse.
      if (entry->EntryName.empty()) break;
      parsed = true;
      consumed = static_cast<size_t>(matched);
      if (entry->IsDirectory && (entry->EntryName == "." || entry->EntryName == "..")) break;
      entry->SourceLine = line;
      entry->MatchedMask = mask;
      Entries.push_back(std::move(entry));
    }
    if (!parsed) UnparsedLines.push_back(line);
    i += consumed;
  }
}

bool TFTPList::ParseEplfLine(const std::string& line) {
  if (line.empty() || line[0] != '+') return false;
  std::string rest = line.substr(1);
  std::unique_ptr<TFTPListRec> entry = CreateEntry();
  entry->EntryName = TextAfterDelimiter(rest, "\t");
  for (;;) {
    const std::string fact = TakeField(rest, ",");
    if (fact.empty() || fact[0] == '\t') break;
    const std::string_view value = std::string_view(fact).substr(1);
    switch (fact[0]) {
      case '/':
        entry->IsDirectory = true;
        break;
      case 'r':
        entry->IsReadable = true;
        break;
      case 's':
        // A negative size is as meaningless as a missing one.
        entry->SizeBytes = std::max<int64_t>(TextToInt64Def(value, 0), 0);
        break;
      case 'm':
        entry->ModifiedAt =
            static_cast<double>(TextToInt64Def(value, 0)) / kSecondsPerDay + kUnixEpochDays;
        break;
      default:  // "i" (identifier) and facts this parser has no use for
        break;
    }
  }
  if (entry->EntryName.empty()) return false;
  if (entry->IsDirectory && (entry->EntryName == "." || entry->EntryName == "..")) return false;
  entry->SourceLine = line;
  entry->MatchedMask = "EPLF";
  Entries.push_back(std::move(entry));
  return true;
}

void TFTPList::ClearFieldBuffers() {
  MonthNamesText.clear();
  BlockSizeText.clear();
  DirMarkText.clear();
  NameText.clear();
  VmsNameText.clear();
  DayText.clear();
  MonthText.clear();
  MonthNameText.clear();
  YearOrTimeText.clear();
  YearText.clear();
  HourText.clear();
  AmPmText.clear();
  MinuteText.clear();
  SecondText.clear();
  SizeText.clear();
  PermissionText.clear();
  DirFlagText.clear();
}

void TFTPList::ReplaceLocaleMonthNames() {
  TMonthRow& months = LocaleMonthNames();
  for (size_t i = 0; i < months.size(); ++i) months[i] = MonthNamesText.substr(i * 3, 3);
  month_memo_count_ = 0;
}

int TFTPList::MonthFromName(const std::string& name) {
  if (!parsing_) return MonthNumberFromName(name);
  for (size_t i = 0; i < month_memo_count_; ++i) {
    if (month_memo_[i].name == name) return month_memo_[i].month;
  }
  const int month = MonthNumberFromName(name);
  // Full: overwrite in turn, so that junk captures cannot crowd out the months.
  MonthMemo& slot = month_memo_count_ < kMonthMemoSize ? month_memo_[month_memo_count_++]
                                                       : month_memo_[month_memo_next_++ % kMonthMemoSize];
  slot.name = name;
  slot.month = month;
  return month;
}

bool TFTPList::ValidateFieldBuffers() {
  if (!NameText.empty() && VmsNameText.find_first_of("?*") != std::string::npos) return false;
  if (!VmsNameText.empty() && VmsNameText.find(';') == std::string::npos) return false;
  if (NameText.empty() && VmsNameText.empty()) return false;
  if (!PermissionText.empty()) {
    if (PermissionText.size() != 10) return false;
    for (char c : PermissionText) {
      if (!IsPermissionChar(c)) return false;
    }
  }
  if (!DayText.empty()) {
    StripSpacesInPlace(DayText);
    if (!InRange(DayText, 1, 31)) return false;
  }
  if (!MonthText.empty()) {
    StripSpacesInPlace(MonthText);
    if (!InRange(MonthText, 1, 12)) return false;
  }
  if (!HourText.empty()) {
    StripSpacesInPlace(HourText);
    if (!InRange(HourText, 0, 24)) return false;
  }
  if (!AmPmText.empty() && AsciiUpper(AmPmText[0]) != 'A' && AsciiUpper(AmPmText[0]) != 'P') {
    return false;
  }
  if (!MinuteText.empty()) {
    StripSpacesInPlace(MinuteText);
    if (!InRange(MinuteText, 0, 59)) return false;
  }
  if (!SecondText.empty()) {
    StripSpacesInPlace(SecondText);
    if (!InRange(SecondText, 0, 59)) return false;
  }
  if (!SizeText.empty()) {
    StripSpacesInPlace(SizeText);
    for (char c : SizeText) {
      if (!IsAsciiDigit(c)) return false;
    }
  }
  if (MonthNamesText.size() == 36) ReplaceLocaleMonthNames();
  if (!MonthNameText.empty() && MonthFromName(MonthNameText) == 0) return false;
  if (!YearOrTimeText.empty()) {
    for (char& c : YearOrTimeText) {
      if (c == '-') c = ':';
    }
    if (YearOrTimeText.find(':') != std::string::npos) {
      if (!IsTimeOfDay(YearOrTimeText)) return false;
    } else {
      StripSpacesInPlace(YearOrTimeText);
      if (!InRange(YearOrTimeText, 1900, 2100)) return false;
    }
  }
  if (!YearText.empty()) {
    StripSpacesInPlace(YearText);
    switch (YearText.size()) {
      case 4:
        if (!InRange(YearText, 1901, 2099)) return false;
        break;
      case 2:
        if (!InRange(YearText, 0, 99)) return false;
        break;
      case 3:
        if (!InRange(YearText, 100, 110)) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

bool TFTPList::FillEntryFromBuffers(TFTPListRec& entry) {
  const std::string_view mark = DirMarkText.empty() ? std::string_view("D") : DirMarkText;
  entry.IsDirectory = !DirFlagText.empty() && SameTextAscii(mark, DirFlagText);
  if (!NameText.empty()) entry.EntryName = TextBeforeDelimiter(NameText, " -> ");
  if (!VmsNameText.empty()) {
    entry.EntryName = VmsNameText;
    entry.IsDirectory = VmsNameText.find(".DIR;") != std::string::npos;
  }
  StripTrailingSpacesInPlace(entry.EntryName);
  entry.IsReadable = !entry.IsDirectory;
  entry.SizeBytes = SizeFromText(SizeText, BlockSizeText);

  const NowParts now = parsing_ ? parse_now_ : ReadNow();
  int year = now.year, month = now.month, day = now.day;
  int hour = 0, minute = 0, second = 0;
  if (!DayText.empty()) day = NumberOr(DayText, 1);
  if (!MonthText.empty()) month = NumberOr(MonthText, 1);
  if (MonthNamesText.size() == 36) ReplaceLocaleMonthNames();
  if (!MonthNameText.empty()) month = MonthFromName(MonthNameText);
  if (!YearText.empty()) {
    year = NumberOr(YearText, 0);
    if (year >= 0 && year <= 50) {
      year += 2000;
    } else if (year >= 51 && year <= 99) {
      year += 1900;
    } else if (year >= 100 && year <= 999) {
      year += 1900;  // years since 1900, as printed by servers that forgot to add it
    }
  }
  if (!YearOrTimeText.empty()) {
    if (YearOrTimeText.find(':') != std::string::npos) {
      StripSpacesInPlace(YearOrTimeText);
      const size_t colon = YearOrTimeText.find(':');
      const std::string_view text = YearOrTimeText;
      hour = NumberOr(text.substr(0, colon), 0);
      minute = NumberOr(text.substr(colon + 1), 0);
      // "ls" prints a time instead of the year for the last six months, so
      // a date still ahead of now belongs to the year before. Compared part
      // by part, so that 29 February is placed even in a common year.
      const auto candidate = std::make_tuple(year, month, day, int64_t{hour} * 60 + minute);
      const auto current =
          std::make_tuple(now.year, now.month, now.day, int64_t{now.minute_of_day});
      if (candidate > current) --year;
    } else {
      year = NumberOr(YearOrTimeText, 0);
    }
  }
  if (!MinuteText.empty()) minute = NumberOr(MinuteText, 0);
  if (!SecondText.empty()) second = NumberOr(SecondText, 0);
  if (!HourText.empty()) {
    hour = NumberOr(HourText, 0);
    if (!AmPmText.empty() && AsciiUpper(AmPmText[0]) == 'P' && hour != 12) hour += 12;
  }
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, 0, entry.ModifiedAt)) {
    return false;
  }
  if (!PermissionText.empty()) {
    entry.PermissionString = PermissionText;
    entry.IsReadable = PermissionText.size() > 1 && AsciiUpper(PermissionText[1]) == 'R';
    const char kind = AsciiUpper(PermissionText[0]);
    if (kind == 'D') {
      entry.IsDirectory = true;
      entry.IsReadable = false;
    } else if (kind == 'L') {
      entry.IsDirectory = true;
    }
  }
  return true;
}

}  // namespace zud
