// The captures of one mask as views of the line, and the checks and the
// entry-building shared by the field buffers and the views. Private to the
// listing parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftplist.h"

namespace zud {

enum TListField : int8_t {
  kFieldName,
  kFieldVmsName,
  kFieldDay,
  kFieldMonth,
  kFieldMonthName,
  kFieldYearOrTime,
  kFieldYear,
  kFieldHour,
  kFieldAmPm,
  kFieldMinute,
  kFieldSecond,
  kFieldSize,
  kFieldPermission,
  kFieldDirFlag,
  kFieldCount,
  kFieldNone = -1,
};

// The field buffers of TFTPList in the order of TListField.
inline constexpr std::string TFTPList::*kListFieldBuffers[kFieldCount] = {
    &TFTPList::NameText,       &TFTPList::VmsNameText,   &TFTPList::DayText,
    &TFTPList::MonthText,      &TFTPList::MonthNameText, &TFTPList::YearOrTimeText,
    &TFTPList::YearText,       &TFTPList::HourText,      &TFTPList::AmPmText,
    &TFTPList::MinuteText,     &TFTPList::SecondText,    &TFTPList::SizeText,
    &TFTPList::PermissionText, &TFTPList::DirFlagText,
};

struct TFieldViews {
  std::string_view field[kFieldCount];
  std::string_view dir_mark;   // "d=": the directory mark
  std::string_view block_size; // "S=": the size multiplier
  int month = 0;               // from the month name, once checked
  // The value of a checked numeric field, where bit f of known is set; the
  // size, and an "hh:mm" year-or-time, where their flags are set.
  uint32_t known = 0;
  bool size_known = false;
  bool time_known = false;
  int64_t size = 0;
  int time_hour = 0, time_minute = 0;
  int number[kFieldCount];
};

// ---- Numbers and blanks, inline: every line passes through them -------------

// The space byte (not tabs) stripped.
inline std::string_view StripListBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

// The value of 1 to 9 ASCII digits; -1 for any other text.
inline int PlainListNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int value = 0;
  for (char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - static_cast<unsigned>('0');
    if (digit > 9) return -1;
    value = value * 10 + static_cast<int>(digit);
  }
  return value;
}

// TextToIntDef, with the plain digit runs listings are made of inline.
int ListNumberOrSlow(std::string_view text, int def);
inline int ListNumberOr(std::string_view text, int def) {
  const int value = PlainListNumber(text);
  if (value >= 0) return value;
  // Only blanks, a sign, a digit or a hexadecimal prefix can start a number.
  if (text.empty()) return def;
  const char c = text[0];
  if (c != ' ' && c != '+' && c != '-' && c != '$' && c != 'x' && c != 'X' && (c < '0' || c > '9')) {
    return def;
  }
  return ListNumberOrSlow(text, def);
}

// CheckListField for the fields it does not check inline: the A/P mark, the
// years, and a year-or-time other than "hh:mm". A year-or-time with "-" is
// rewritten with ":" into scratch and points there.
bool CheckListFieldSlow(TFieldViews& fields, TListField field, std::string& scratch);

// The characters of a permission column, as a table: checked on every line.
struct TPermissionChars {
  bool allowed[256] = {};
  constexpr TPermissionChars() {
    for (char c : std::string_view("-abcdhlprstwxy")) allowed[static_cast<unsigned char>(c)] = true;
  }
};
inline constexpr TPermissionChars kPermissionChars;

inline bool IsListPermissionText(std::string_view text) {
  if (text.size() != 10) return false;
  for (char c : text) {
    if (!kPermissionChars.allowed[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

// The values a numeric field may take; the years are checked by their width.
struct TFieldRange {
  int low, high;
};
constexpr TFieldRange ListFieldRange(TListField field) {
  switch (field) {
    case kFieldDay: return {1, 31};
    case kFieldMonth: return {1, 12};
    case kFieldHour: return {0, 24};
    case kFieldMinute:
    case kFieldSecond: return {0, 59};
    default: return {0, -1};
  }
}

// A number field trimmed and in [low, high].
inline bool CheckListNumber(TFieldViews& fields, TListField field, int low, int high) {
  std::string_view& value = fields.field[field];
  value = StripListBlanks(value);
  const int number = ListNumberOr(value, -1);
  fields.number[field] = number;
  fields.known |= 1u << field;
  return number >= low && number <= high;
}
// A day, month, hour, minute or second field trimmed and in its range.
inline bool CheckListNumber(TFieldViews& fields, TListField field) {
  return CheckListNumber(fields, field, ListFieldRange(field).low, ListFieldRange(field).high);
}

// A size column: blanks around ASCII digits.
inline bool CheckListSize(TFieldViews& fields) {
  std::string_view& value = fields.field[kFieldSize];
  value = StripListBlanks(value);
  int64_t size = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned digit = static_cast<unsigned char>(value[i]) - static_cast<unsigned>('0');
    if (digit > 9) return false;
    // Longer runs may leave 63 bits: the fill step reads them again.
    if (i < 18) size = size * 10 + static_cast<int64_t>(digit);
  }
  fields.size_known = value.size() <= 18;
  fields.size = size;
  return true;
}

inline bool IsAsciiDigitChar(char c) { return c >= '0' && c <= '9'; }

// Checks one captured field as validation does (the month name aside),
// trimming it where validation trims the buffer and noting its value.
inline bool CheckListField(TFieldViews& fields, TListField field, std::string& scratch) {
  const std::string_view value = fields.field[field];
  if (value.empty()) return true;
  switch (field) {
    case kFieldPermission:
      return IsListPermissionText(value);
    case kFieldSize:
      return CheckListSize(fields);
    case kFieldYearOrTime:
      // The usual "hh:mm" inline; the rest as validation reads it.
      if (value.size() == 5 && value[2] == ':' && IsAsciiDigitChar(value[0]) &&
          IsAsciiDigitChar(value[1]) && IsAsciiDigitChar(value[3]) && IsAsciiDigitChar(value[4])) {
        fields.time_hour = (value[0] - '0') * 10 + (value[1] - '0');
        fields.time_minute = (value[3] - '0') * 10 + (value[4] - '0');
        fields.time_known = true;
        return fields.time_hour <= 23 && fields.time_minute <= 59;
      }
      return CheckListFieldSlow(fields, field, scratch);
    case kFieldDay:
    case kFieldMonth:
    case kFieldHour:
    case kFieldMinute:
    case kFieldSecond:
      return CheckListNumber(fields, field);
    default:
      return CheckListFieldSlow(fields, field, scratch);
  }
}

// An entry for the directory itself or its parent, which listings drop.
inline bool IsDotDirectory(std::string_view name) { return name == "." || name == ".."; }

// The checks that span fields: the name rules.
bool CheckListNames(const TFieldViews& fields);

// What the fill step makes of checked fields; name and permissions are views
// of the fields.
struct TFilledEntry {
  std::string_view name;
  std::string_view permissions;
  bool is_directory = false;
  bool is_readable = false;
  int64_t size = 0;
  TDateTime modified = 0.0;
};

// The current local date and time, split once per parse.
struct TNowParts {
  int year = 0, month = 0, day = 0;
  int minute_of_day = 0;
};

// false when the date or time cannot be encoded.
bool FillListEntry(const TFieldViews& fields, const TNowParts& now, TFilledEntry& out);

// A line that starts like a server reply ("550 ...", "226-..."): a mask that
// checks nothing but a name must not take it.
inline bool LooksLikeReply(std::string_view line) {
  return line.size() >= 4 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' &&
         line[1] <= '9' && line[2] >= '0' && line[2] <= '9' && (line[3] == ' ' || line[3] == '-');
}

// The parts of an MLSD fact line ("type=file;size=5;modify=...; name").
struct TMachineFacts {
  std::string_view name;
  std::string_view type;  // lower-case not implied: compare without case
  std::string_view perm;
  bool has_size = false;
  int64_t size = 0;
  bool has_modify = false;
  TDateTime modify = 0.0;  // UTC
};
// false when the line has no "; " (or leading " ") before a name, or the name is empty.
bool ParseMachineFacts(std::string_view line, TMachineFacts& out);

// The parts of an EPLF line ("+facts<TAB>name"): "/" a directory, "r"
// readable, "s" the size, "m" the modify time in seconds since 1970.
struct TEplfFacts {
  std::string_view name;
  bool directory = false;
  bool readable = false;
  int64_t size = 0;
  TDateTime modified = 0.0;
};
// false when the line is no EPLF ("+" first), has no name, or is the
// directory "." or "..".
bool ParseEplfFacts(std::string_view line, TEplfFacts& out);

}  // namespace zud
