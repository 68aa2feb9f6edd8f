// Directory-listing parser.
//
// Formats understood out of the box (the masks live in ftplist_masks.cpp):
// - Unix "ls -l" long listings (vsftpd, pyftpdlib, ProFTPD, ...), with a year
//   or a time of day, month before or after the day, with or without a link
//   count, owner and group, symbolic links "name -> target"; month names in
//   English, French, German and Czech, 8-bit or UTF-8;
// - IIS / DOS style "MM-DD-YY  hh:mmAM  <DIR>|size  name", 2- or 4-digit
//   years, month or day first;
// - VMS "NAME.TYPE;VERSION  blocks  DD-MON-YYYY hh:mm", one- or two-digit day;
// - DOS 8.3 names in fixed columns, and several other fixed-column styles,
//   one of them with a long name on a line of its own;
// - EPLF ("+facts<TAB>name");
// - MLSD / MLST fact lines, through ParseMachineLines (ftplist_machine.cpp).
// Anything else is kept in UnparsedLines.
//
// Every line is first tried as EPLF, then against each mask in order. A
// mask fills the field buffers, validation checks (and trims) them, and the
// fill step builds the entry. Dates without a year ("Dec 24 10:30") are
// placed in the last twelve months before the current local time.
//
// A plain TFTPList parses through views (ftplist_match.cpp): the same steps,
// with captures that are views of the line and entries that are views of the
// listing text the list keeps until ClearListing. A subclass sees each of
// its replaced steps called, on the field buffers, as below.
#include "ftp/ftplist.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <typeinfo>

#include "ftp/ftplist_fields.h"
#include "ftp/ftplist_mask.h"
#include "ftp/ftplist_parser.h"
#include "util/chronotime.h"

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

// The space byte (not tabs) stripped.
std::string_view StripTrailing(std::string_view s) {
  size_t end = s.size();
  while (end > 0 && s[end - 1] == ' ') --end;
  return s.substr(0, end);
}

std::string_view Strip(std::string_view s) {
  s = StripTrailing(s);
  size_t start = 0;
  while (start < s.size() && s[start] == ' ') ++start;
  return s.substr(start);
}

void StripSpacesInPlace(std::string& s) {
  const std::string_view stripped = Strip(s);
  if (stripped.size() == s.size()) return;
  const size_t start = static_cast<size_t>(stripped.data() - s.data());
  s.erase(start + stripped.size());
  s.erase(0, start);
}

int NumberOr(std::string_view text, int def) { return ListNumberOr(text, def); }

// ParseTimeOfDay(text) != -1, with a shortcut for the usual "hh:mm".
bool IsTimeOfDay(std::string_view text) {
  if (text.size() == 5 && text[2] == ':' && IsAsciiDigit(text[0]) && IsAsciiDigit(text[1]) &&
      IsAsciiDigit(text[3]) && IsAsciiDigit(text[4])) {
    return NumberOr(text.substr(0, 2), -1) <= 23 && NumberOr(text.substr(3), -1) <= 59;
  }
  return ParseTimeOfDay(text) != -1.0;
}

constexpr int64_t kSecondsPerDay = 86400;
constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time value

// The size column times the block size, or 0 when the product leaves 64 bits.
int64_t SizeFromText(std::string_view size_text, std::string_view block_size_text) {
  int64_t value = 0;
  if (!size_text.empty() && size_text.size() <= 18 &&
      std::all_of(size_text.begin(), size_text.end(), IsAsciiDigit)) {
    for (char c : size_text) value = value * 10 + (c - '0');
  } else {
    value = TextToInt64Def(size_text, 0);
  }
  if (block_size_text.empty()) return value < 0 ? 0 : value;
  const int64_t multiplier = TextToInt64Def(block_size_text, 1);
  int64_t product = 0;
  if (__builtin_mul_overflow(value, multiplier, &product) || product < 0) return 0;
  return product;
}

}  // namespace

// ---- Checks shared by the buffers and the views ------------------------------

int ListNumberOrSlow(std::string_view text, int def) { return TextToIntDef(text, def); }

bool CheckListFieldSlow(TFieldViews& fields, TListField field, std::string& scratch) {
  std::string_view& value = fields.field[field];
  if (value.empty()) return true;
  switch (field) {
    case kFieldAmPm:
      return AsciiUpper(value[0]) == 'A' || AsciiUpper(value[0]) == 'P';
    case kFieldYearOrTime: {
      if (value.find('-') != std::string_view::npos) {
        scratch.assign(value);
        std::replace(scratch.begin(), scratch.end(), '-', ':');
        value = scratch;
      }
      if (value.find(':') != std::string_view::npos) return IsTimeOfDay(value);
      return CheckListNumber(fields, field, 1900, 2100);
    }
    case kFieldYear: {
      value = Strip(value);
      const size_t length = value.size();
      if (length == 4) return CheckListNumber(fields, field, 1901, 2099);
      if (length == 2) return CheckListNumber(fields, field, 0, 99);
      if (length == 3) return CheckListNumber(fields, field, 100, 110);
      return false;
    }
    default:
      return true;
  }
}

bool CheckListNames(const TFieldViews& fields) {
  const std::string_view name = fields.field[kFieldName];
  const std::string_view vms = fields.field[kFieldVmsName];
  if (!name.empty() && vms.find_first_of("?*") != std::string_view::npos) return false;
  if (!vms.empty() && vms.find(';') == std::string_view::npos) return false;
  return !name.empty() || !vms.empty();
}

bool FillListEntry(const TFieldViews& fields, const TNowParts& now, TFilledEntry& out) {
  const auto& f = fields.field;
  const std::string_view mark = fields.dir_mark.empty() ? std::string_view("D") : fields.dir_mark;
  out.is_directory = !f[kFieldDirFlag].empty() && SameTextAscii(mark, f[kFieldDirFlag]);
  out.name = {};
  if (!f[kFieldName].empty()) {
    // A symbolic link's target is cut off at " -> ".
    const std::string_view name = f[kFieldName];
    size_t end = name.size();
    for (size_t i = 1; i + 2 < name.size(); ++i) {
      if (name[i] == '-' && name[i + 1] == '>' && name[i - 1] == ' ' && name[i + 2] == ' ') {
        end = i - 1;
        break;
      }
    }
    out.name = name.substr(0, end);
  }
  if (!f[kFieldVmsName].empty()) {
    out.name = f[kFieldVmsName];
    out.is_directory = out.name.find(".DIR;") != std::string_view::npos;
  }
  out.name = StripTrailing(out.name);
  out.is_readable = !out.is_directory;
  out.size = fields.size_known && fields.block_size.empty()
                 ? fields.size
                 : SizeFromText(f[kFieldSize], fields.block_size);

  // A field validation found to be a number keeps that number.
  auto number = [&fields](TListField field, int def) {
    return (fields.known >> field) & 1 ? fields.number[field] : NumberOr(fields.field[field], def);
  };
  int year = now.year, month = now.month, day = now.day;
  int hour = 0, minute = 0, second = 0;
  if (!f[kFieldDay].empty()) day = number(kFieldDay, 1);
  if (!f[kFieldMonth].empty()) month = number(kFieldMonth, 1);
  if (!f[kFieldMonthName].empty()) month = fields.month;
  if (!f[kFieldYear].empty()) {
    year = number(kFieldYear, 0);
    if (year >= 0 && year <= 50) {
      year += 2000;
    } else if (year >= 51 && year <= 999) {
      // 51..99, and 100..999 as printed by servers that forgot to add 1900
      year += 1900;
    }
  }
  if (!f[kFieldYearOrTime].empty()) {
    const std::string_view text = f[kFieldYearOrTime];
    if (fields.time_known || text.find(':') != std::string_view::npos) {
      if (fields.time_known) {
        hour = fields.time_hour;
        minute = fields.time_minute;
      } else {
        const std::string_view time = Strip(text);
        const size_t colon = time.find(':');
        hour = NumberOr(time.substr(0, colon), 0);
        minute = NumberOr(time.substr(colon + 1), 0);
      }
      // "ls" prints a time instead of the year for the last six months, so
      // a date still ahead of now belongs to the year before. Compared part
      // by part, so that 29 February is placed even in a common year.
      const auto candidate = std::make_tuple(year, month, day, int64_t{hour} * 60 + minute);
      const auto current = std::make_tuple(now.year, now.month, now.day, int64_t{now.minute_of_day});
      if (candidate > current) --year;
    } else {
      year = number(kFieldYearOrTime, 0);
    }
  }
  if (!f[kFieldMinute].empty()) minute = number(kFieldMinute, 0);
  if (!f[kFieldSecond].empty()) second = number(kFieldSecond, 0);
  if (!f[kFieldHour].empty()) {
    hour = number(kFieldHour, 0);
    const std::string_view am_pm = f[kFieldAmPm];
    if (!am_pm.empty() && AsciiUpper(am_pm[0]) == 'P' && hour != 12) hour += 12;
  }
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, 0, out.modified)) return false;
  out.permissions = f[kFieldPermission];
  if (!out.permissions.empty()) {
    const std::string_view p = out.permissions;
    out.is_readable = p.size() > 1 && AsciiUpper(p[1]) == 'R';
    const char kind = AsciiUpper(p[0]);
    if (kind == 'D') {
      out.is_directory = true;
      out.is_readable = false;
    } else if (kind == 'L') {
      out.is_directory = true;
    }
  }
  return true;
}

// ---- TFTPListRec ------------------------------------------------------------

void TFTPListRec::CopyEntryFrom(const TFTPListRec& other) {
  if (&other == this) return;
  EntryName = other.EntryName;
  IsDirectory = other.IsDirectory;
  IsReadable = other.IsReadable;
  SizeBytes = other.SizeBytes;
  ModifiedAt = other.ModifiedAt;
  ModifiedIsUtc = other.ModifiedIsUtc;
  SourceLine = other.SourceLine;
  MatchedMask = other.MatchedMask;
  PermissionString = other.PermissionString;
}

std::chrono::system_clock::time_point TFTPListRec::ModifiedTimePoint(
    std::chrono::minutes server_utc_offset) const {
  const std::chrono::system_clock::time_point when = DateTimeToTimePoint(ModifiedAt);
  return ModifiedIsUtc ? when : when - server_utc_offset;
}

// ---- TFTPList: lists ----------------------------------------------------------

TFTPList::TFTPList()
    : Masks(BuiltInListMasks()), parser_(std::make_unique<TFTPListParser>(*this)) {}

TFTPList::~TFTPList() = default;

TFTPListRec* TFTPList::GetEntry(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= Entries.size()) return nullptr;
  return Entries[static_cast<size_t>(index)];
}

int TFTPList::EntryCount() const { return static_cast<int>(Entries.size()); }

void TFTPList::ClearListing() {
  Entries.clear();
  UnparsedLines.clear();
  parser_->kept_text_.clear();
  parser_->kept_masks_.clear();
  Lines.clear();
}

void TFTPList::CopyListingFrom(const TFTPList& other) {
  if (&other == this) return;
  ClearListing();
  Entries.reserve(other.Entries.size());
  for (const TFTPListRec* source : other.Entries) {
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

bool TFTPListParser::IsPlainList() const { return typeid(list_) == typeid(TFTPList); }

TDateTime TFTPList::CurrentTime() const { return OnGetNow ? OnGetNow() : NowLocal(); }

TNowParts TFTPListParser::ReadNow() const {
  const TDateTime now = list_.CurrentTime();
  TNowParts parts;
  DecodeDate(now, parts.year, parts.month, parts.day);
  if (std::isfinite(now)) {
    const double fraction = std::fabs(now - std::trunc(now));
    const int64_t ms =
        std::min<int64_t>(static_cast<int64_t>(fraction * 86400000.0 + 0.5), 86400000 - 1);
    parts.minute_of_day = static_cast<int>(ms / 60000);
  }
  return parts;
}

void TFTPList::LoadLinesFromText(std::string_view text) { Lines.LoadText(text); }

void TFTPListParser::KeepListingText() {
  for (const std::shared_ptr<std::string>& block : list_.Lines.Blocks()) {
    if (std::find(kept_text_.begin(), kept_text_.end(), block) == kept_text_.end()) {
      kept_text_.push_back(block);
    }
  }
}

std::string_view TFTPListParser::KeptMaskText(size_t m) {
  if (kept_masks_.size() < list_.Masks.size()) kept_masks_.resize(list_.Masks.size());
  std::shared_ptr<std::string>& kept = kept_masks_[m];
  if (!kept || *kept != list_.Masks[m]) {
    // Entries of an earlier parse may still point at the old text.
    if (kept) kept_text_.push_back(kept);
    kept = std::make_shared<std::string>(list_.Masks[m]);
  }
  return *kept;
}

// ---- TFTPList: parsing ----------------------------------------------------------

void TFTPList::ParseLines() {
  parser_->CompileMasks();
  parser_->KeepListingText();
  parser_->ForgetMonthNames();
  parser_->parse_now_ = parser_->ReadNow();
  parser_->parsing_ = true;
  struct Done {
    TFTPListParser& parser;
    ~Done() {
      parser.parsing_ = false;
      parser.mask_hint_ = static_cast<size_t>(-1);
    }
  } done{*parser_};
  if (parser_->IsPlainList()) {
    parser_->ParseLinesDirect();
    return;
  }
  const std::vector<std::string_view>& lines = Lines.Views();
  const size_t line_count = lines.size();
  std::string line;
  size_t i = 0;
  while (i < line_count) {
    line.assign(lines[i]);
    const std::string_view next = i + 1 < line_count ? lines[i + 1] : std::string_view();
    size_t consumed = 1;
    bool parsed = ParseEplfLine(line);
    for (size_t m = 0; !parsed && m < Masks.size(); ++m) {
      parser_->mask_hint_ = m;
      const int matched = MatchLineToMask(line, next, Masks[m]);
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
      if (entry->IsDirectory && IsDotDirectory(entry->EntryName)) break;
      entry->SourceLine.Refer(lines[i]);
      entry->MatchedMask.Refer(parser_->KeptMaskText(m));
      Entries.push_back(std::move(entry));
    }
    if (!parsed) UnparsedLines.PushView(lines[i]);
    i += consumed;
  }
}

bool ParseEplfFacts(std::string_view line, TEplfFacts& out) {
  out = TEplfFacts();
  if (line.empty() || line[0] != '+') return false;
  const std::string_view rest = line.substr(1);
  const size_t tab = rest.find('\t');
  out.name = tab == std::string_view::npos ? rest : rest.substr(tab + 1);
  if (out.name.empty()) return false;
  size_t pos = 0;
  for (;;) {
    const size_t comma = rest.find(',', pos);
    const std::string_view fact =
        Strip(rest.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
    pos = comma == std::string_view::npos ? rest.size() : comma + 1;
    if (fact.empty() || fact[0] == '\t') break;
    const std::string_view value = fact.substr(1);
    switch (fact[0]) {
      case '/':
        out.directory = true;
        break;
      case 'r':
        out.readable = true;
        break;
      case 's':
        // A negative size is as meaningless as a missing one.
        out.size = std::max<int64_t>(TextToInt64Def(value, 0), 0);
        break;
      case 'm':
        out.modified = static_cast<double>(TextToInt64Def(value, 0)) / kSecondsPerDay + kUnixEpochDays;
        break;
      default:  // "i" (identifier) and facts this parser has no use for
        break;
    }
  }
  return !(out.directory && IsDotDirectory(out.name));
}

bool TFTPList::ParseEplfLine(const std::string& line) {
  TEplfFacts facts;
  if (!ParseEplfFacts(line, facts)) return false;
  std::unique_ptr<TFTPListRec> entry = CreateEntry();
  entry->EntryName = facts.name;
  entry->IsDirectory = facts.directory;
  entry->IsReadable = facts.readable;
  entry->SizeBytes = facts.size;
  entry->ModifiedAt = facts.modified;
  entry->ModifiedIsUtc = true;
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

void TFTPListParser::ReplaceLocaleMonthNames() {
  TMonthRow& months = LocaleMonthNames();
  for (size_t i = 0; i < months.size(); ++i) months[i] = list_.MonthNamesText.substr(i * 3, 3);
  ForgetMonthNames();
}

void TFTPListParser::ForgetMonthNames() {
  month_memo_count_ = 0;
  // Names are compared without ASCII case; a byte of 0x80 or more may start
  // an 8-bit name, a UTF-8 one, or either in another case.
  for (uint64_t& word : month_first_bytes_) word = 0;
  auto add = [this](unsigned char c) { month_first_bytes_[c >> 6] |= uint64_t{1} << (c & 63); };
  for (int c = 0x80; c < 0x100; ++c) add(static_cast<unsigned char>(c));
  auto add_row = [&add](const TMonthRow& row) {
    for (const std::string& name : row) {
      if (name.empty()) continue;
      const auto c = static_cast<unsigned char>(name[0]);
      add(c);
      if (c < 0x80) {
        add(static_cast<unsigned char>(AsciiUpper(static_cast<char>(c))));
        if (c >= 'A' && c <= 'Z') add(static_cast<unsigned char>(c - 'A' + 'a'));
      }
    }
  };
  for (const TMonthRow& row : MonthNameTable()) add_row(row);
  add_row(LocaleMonthNames());
}

int TFTPListParser::MonthFromName(std::string_view name) {
  if (!parsing_ || name.size() > sizeof(uint64_t)) return MonthNumberFromName(name);
  // Junk captures (digits, blanks) start no month name: no look-up for them.
  if (!name.empty()) {
    const auto first = static_cast<unsigned char>(name[0]);
    if (((month_first_bytes_[first >> 6] >> (first & 63)) & 1) == 0) return 0;
  }
  uint64_t key = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    key |= uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
  }
  // Listings repeat a handful of month names: the last one found comes first.
  if (month_memo_last_ < month_memo_count_) {
    const MonthMemo& memo = month_memo_[month_memo_last_];
    if (memo.key == key && memo.length == name.size()) return memo.month;
  }
  for (size_t i = 0; i < month_memo_count_; ++i) {
    const MonthMemo& memo = month_memo_[i];
    if (memo.key == key && memo.length == name.size()) {
      month_memo_last_ = i;
      return memo.month;
    }
  }
  const int month = MonthNumberFromName(name);
  // Full: overwrite in turn, so that junk captures cannot crowd out the months.
  MonthMemo& slot = month_memo_count_ < kMonthMemoSize ? month_memo_[month_memo_count_++]
                                                       : month_memo_[month_memo_next_++ % kMonthMemoSize];
  slot.key = key;
  slot.length = name.size();
  slot.month = month;
  return month;
}

namespace {

// The order validation checks the single fields in.
constexpr TListField kCheckOrder[] = {
    kFieldPermission, kFieldDay,    kFieldMonth, kFieldHour, kFieldAmPm,
    kFieldMinute,     kFieldSecond, kFieldSize,
};

}  // namespace

bool TFTPList::ValidateFieldBuffers() {
  TFieldViews views;
  for (int f = 0; f < kFieldCount; ++f) views.field[f] = this->*kListFieldBuffers[f];
  if (!CheckListNames(views)) return false;
  std::string scratch;
  // Checks and trims a buffer through its view, writing the result back.
  auto check = [&](TListField field) {
    std::string& buffer = this->*kListFieldBuffers[field];
    if (!CheckListField(views, field, scratch)) return false;
    const std::string_view value = views.field[field];
    if (!scratch.empty() && value.data() == scratch.data()) {
      buffer = scratch;
    } else if (value.size() != buffer.size()) {
      StripSpacesInPlace(buffer);
    }
    return true;
  };
  for (TListField field : kCheckOrder) {
    if (!check(field)) return false;
  }
  if (MonthNamesText.size() == 36) parser_->ReplaceLocaleMonthNames();
  if (!MonthNameText.empty() && parser_->MonthFromName(MonthNameText) == 0) return false;
  return check(kFieldYearOrTime) && check(kFieldYear);
}

bool TFTPList::FillEntryFromBuffers(TFTPListRec& entry) {
  TFieldViews views;
  for (int f = 0; f < kFieldCount; ++f) views.field[f] = this->*kListFieldBuffers[f];
  views.dir_mark = DirMarkText;
  views.block_size = BlockSizeText;
  if (MonthNamesText.size() == 36) parser_->ReplaceLocaleMonthNames();
  if (!MonthNameText.empty()) views.month = parser_->MonthFromName(MonthNameText);
  const TNowParts now = parser_->parsing_ ? parser_->parse_now_ : parser_->ReadNow();
  TFilledEntry filled;
  if (!FillListEntry(views, now, filled)) return false;
  if (!NameText.empty() || !VmsNameText.empty()) {
    entry.EntryName = filled.name;
  } else {
    entry.EntryName = StripTrailing(entry.EntryName);
  }
  entry.IsDirectory = filled.is_directory;
  entry.IsReadable = filled.is_readable;
  entry.SizeBytes = filled.size;
  entry.ModifiedAt = filled.modified;
  entry.ModifiedIsUtc = false;
  if (!filled.permissions.empty()) entry.PermissionString = filled.permissions;
  return true;
}

}  // namespace zud
