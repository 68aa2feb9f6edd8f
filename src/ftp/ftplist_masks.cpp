// The built-in listing masks, tried in this order after EPLF. Every space is
// significant: it skips exactly one line character. The mask language is
// described in ftplist.h.
#include "ftp/ftplist.h"

namespace zud {

const std::vector<std::string>& BuiltInListMasks() {
  static const std::vector<std::string> kMasks = {
      // Unix "ls -l": full date with seconds, then month/day and year or time.
      "pppppppppp $!!!S*$TTT$DD$hh mm ss$YYYY$n*",
      "pppppppppp $!!!S*$DD$TTT$hh mm ss$YYYY$n*",
      "pppppppppp $!!!S*$TTT$DD$UUUUU$n*",
      "pppppppppp $!!!S*$DD$TTT$UUUUU$n*",
      "pppppppppp $!!S*$TTT$DD$UUUUU$n*",
      "pppppppppp $!S*$TTT$DD$UUUUU$n*",
      "d            $!S*$TTT$DD$UUUUU$n*",
      // Date first with an A/P time (IIS / DOS style): size or <DIR>.
      "MM DD YY  hh mmH !S* n*",
      "MM DD YY  hh mmH $ d!n*",
      "MM DD YYYY  hh mmH !S* n*",
      "MM DD YYYY  hh mmH $ d!n*",
      "DD MM YYYY  hh mmH !S* n*",
      "DD MM YYYY  hh mmH $ d!n*",
      // VMS: NAME.TYPE;VERSION.
      "v*$  DD TTT YYYY hh mm",
      "v*$!DD TTT YYYY hh mm",
      // Fixed-column styles of other systems.
      "n*$                 YYYY MM DD hh mm$S*",
      "!S*$MM DD YY hh mm ss !n*",
      "!S*$DD MM YY hh mm ss !n*",
      "n*!S*$MM DD YY hh mm ss d",
      "n*!S*$DD MM YY hh mm ss d",
      "$S*    TTT DD YYYY  hh mm ss $n* $ d",
      "$S*    TTT DD YYYY  hh mm ss $n*",
      "d    $S*$TTT DD YYYY  hh mm$n*",
      "d    $S*$TTT DD$hh mm$n*",
      // DOS 8.3 names in fixed columns.
      "nnnnnnnn.nnn  dSSSSSSSSSSS MM DD YY  hh mmH",
      "-   SSSSS            YY MM DD hh mm ss  n*",
      "- d=  SSSSS  YY MM DD hh mm ss  n*",
      // Name in columns 1-33, or a long name on a line of its own ("\").
      "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn               SSSSSSSSS MM DD YYYY hh mm",
      "n*\\x                                               SSSSSSSSS MM DD YYYY hh mm",
      "-     SSSSSSSSSSSS           d   MM DD YYYY   hh mm  n*",
      "-         YY MM DD hhmm d                        SSSSSSSSS n*",
      "nnnnnnnn                   SSSSSSS DD TTT YY hh mm ss",
      "-             YYYY MM DD                     SSSSS   d=O n*",
      "             $S* MM DD YY hh mm ss  !n*",
      "d            $S* MM DD YY           !n*",
      "                                         TTT DD  YYYY n*",
      // VMS with a one-digit day ("2-JUN-1998"); after the others, which
      // read such a line no better.
      "v*$!D TTT YYYY hh mm",
      // The catch-all: a name from column 55. It checks nothing else, so it
      // never takes a line shaped like a server reply ("550 ...").
      "  d                                                   n*",
  };
  return kMasks;
}

}  // namespace zud
