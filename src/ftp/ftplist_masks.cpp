// The built-in listing formats, tried in this order after EPLF. Every space
// of a mask is significant: it skips exactly one line character. The mask
// language is described in ftplist.h.
//
// A one-pass reader (ftplist_shortcut.cpp) credits the lines it reads to one
// of these masks. Its row names, by text, every mask the reader proves to
// fail on those lines; a list whose masks before the credited one are not
// all named there is read by the masks alone (ListReaderMask).
#include <algorithm>

#include "ftp/ftplist_mask.h"

namespace zud {

namespace {

// The masks a reader's proof covers, named once.
constexpr std::string_view kUnixMonthSeconds = "pppppppppp $!!!S*$TTT$DD$hh mm ss$YYYY$n*";
constexpr std::string_view kUnixDaySeconds = "pppppppppp $!!!S*$DD$TTT$hh mm ss$YYYY$n*";
constexpr std::string_view kUnixMonthDay = "pppppppppp $!!!S*$TTT$DD$UUUUU$n*";
constexpr std::string_view kUnixDayMonth = "pppppppppp $!!!S*$DD$TTT$UUUUU$n*";
constexpr std::string_view kUnixNoOwner = "pppppppppp $!!S*$TTT$DD$UUUUU$n*";
constexpr std::string_view kUnixNoGroup = "pppppppppp $!S*$TTT$DD$UUUUU$n*";
constexpr std::string_view kDirColumnMonthDay = "d            $!S*$TTT$DD$UUUUU$n*";
constexpr std::string_view kDosFile = "MM DD YY  hh mmH !S* n*";
constexpr std::string_view kDosDirectory = "MM DD YY  hh mmH $ d!n*";
constexpr std::string_view kDosLongYearFile = "MM DD YYYY  hh mmH !S* n*";
constexpr std::string_view kDosLongYearDirectory = "MM DD YYYY  hh mmH $ d!n*";
constexpr std::string_view kDosDayFirstFile = "DD MM YYYY  hh mmH !S* n*";
constexpr std::string_view kDosDayFirstDirectory = "DD MM YYYY  hh mmH $ d!n*";
constexpr std::string_view kVmsTwoBlanks = "v*$  DD TTT YYYY hh mm";
constexpr std::string_view kVms = "v*$!DD TTT YYYY hh mm";

const std::vector<TListFormat>& Formats() {
  using R = TListReader;
  static const std::vector<TListFormat> kFormats = {
      // Unix "ls -l": full date with seconds, then month/day and year or time.
      {kUnixMonthSeconds},
      {kUnixDaySeconds},
      // The commonest line: the first mask reads "hh mm ss" where this one
      // reads "UUUUU", the second a day where this one reads the month.
      {kUnixMonthDay, R::kUnix, {kUnixMonthSeconds, kUnixDaySeconds}},
      {kUnixDayMonth},
      {kUnixNoOwner},
      {kUnixNoGroup},
      {kDirColumnMonthDay},
      // Date first with an A/P time (IIS / DOS style): size or <DIR>. The
      // "pppppppppp" masks fail on a leading digit, the "d" mask at its month.
      {kDosFile, R::kDosFile,
       {kUnixMonthSeconds, kUnixDaySeconds, kUnixMonthDay, kUnixDayMonth, kUnixNoOwner,
        kUnixNoGroup, kDirColumnMonthDay}},
      {kDosDirectory, R::kDosDirectory,
       {kUnixMonthSeconds, kUnixDaySeconds, kUnixMonthDay, kUnixDayMonth, kUnixNoOwner,
        kUnixNoGroup, kDirColumnMonthDay, kDosFile}},
      {kDosLongYearFile},
      {kDosLongYearDirectory},
      {kDosDayFirstFile},
      {kDosDayFirstDirectory},
      // VMS: NAME.TYPE;VERSION. Its lines start with no number and have no
      // permission column.
      {kVmsTwoBlanks},
      {kVms, R::kVms,
       {kUnixMonthSeconds, kUnixDaySeconds, kUnixMonthDay, kUnixDayMonth, kUnixNoOwner,
        kUnixNoGroup, kDirColumnMonthDay, kDosFile, kDosDirectory, kDosLongYearFile,
        kDosLongYearDirectory, kDosDayFirstFile, kDosDayFirstDirectory, kVmsTwoBlanks}},
      // Fixed-column styles of other systems.
      {"n*$                 YYYY MM DD hh mm$S*"},
      {"!S*$MM DD YY hh mm ss !n*"},
      {"!S*$DD MM YY hh mm ss !n*"},
      {"n*!S*$MM DD YY hh mm ss d"},
      {"n*!S*$DD MM YY hh mm ss d"},
      {"$S*    TTT DD YYYY  hh mm ss $n* $ d"},
      {"$S*    TTT DD YYYY  hh mm ss $n*"},
      {"d    $S*$TTT DD YYYY  hh mm$n*"},
      {"d    $S*$TTT DD$hh mm$n*"},
      // DOS 8.3 names in fixed columns.
      {"nnnnnnnn.nnn  dSSSSSSSSSSS MM DD YY  hh mmH"},
      {"-   SSSSS            YY MM DD hh mm ss  n*"},
      {"- d=  SSSSS  YY MM DD hh mm ss  n*"},
      // Name in columns 1-33, or a long name on a line of its own ("\").
      {"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn               SSSSSSSSS MM DD YYYY hh mm"},
      {"n*\\x                                               SSSSSSSSS MM DD YYYY hh mm"},
      {"-     SSSSSSSSSSSS           d   MM DD YYYY   hh mm  n*"},
      {"-         YY MM DD hhmm d                        SSSSSSSSS n*"},
      {"nnnnnnnn                   SSSSSSS DD TTT YY hh mm ss"},
      {"-             YYYY MM DD                     SSSSS   d=O n*"},
      {"             $S* MM DD YY hh mm ss  !n*"},
      {"d            $S* MM DD YY           !n*"},
      {"                                         TTT DD  YYYY n*"},
      // VMS with a one-digit day ("2-JUN-1998"); after the others, which
      // read such a line no better.
      {"v*$!D TTT YYYY hh mm"},
      // The catch-all: a name from column 55. It checks nothing else, so it
      // never takes a line shaped like a server reply ("550 ...").
      {"  d                                                   n*"},
  };
  return kFormats;
}

}  // namespace

const std::vector<TListFormat>& BuiltInListFormats() { return Formats(); }

const std::vector<std::string>& BuiltInListMasks() {
  static const std::vector<std::string> kMasks = [] {
    std::vector<std::string> masks;
    for (const TListFormat& format : Formats()) masks.emplace_back(format.mask);
    return masks;
  }();
  return kMasks;
}

size_t ListReaderMask(TListReader reader, const std::vector<std::string>& masks) {
  if (reader == TListReader::kNone) return kNoListMask;
  const auto& formats = Formats();
  const auto row = std::find_if(formats.begin(), formats.end(),
                                [reader](const TListFormat& f) { return f.reader == reader; });
  if (row == formats.end()) return kNoListMask;
  for (size_t m = 0; m < masks.size(); ++m) {
    if (masks[m] == row->mask) return m;
    if (std::find(row->beaten.begin(), row->beaten.end(), masks[m]) == row->beaten.end()) break;
  }
  return kNoListMask;
}

}  // namespace zud
