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

struct TFieldViews {
  std::string_view field[kFieldCount];
  std::string_view dir_mark;   // "d=": the directory mark
  std::string_view block_size; // "S=": the size multiplier
  int month = 0;               // from the month name, once checked
};

// Checks one captured field as validation does (the month name aside),
// trimming value where validation trims the buffer. A year-or-time with "-"
// is rewritten with ":" into scratch and value then points there.
bool CheckListField(TListField field, std::string_view& value, std::string& scratch);

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

}  // namespace zud
