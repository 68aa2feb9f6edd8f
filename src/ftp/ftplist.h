// Directory-listing parser: turns the text of a LIST reply into entries.
//
// Every line is first tried as EPLF ("+facts<TAB>name"), then against each
// mask of `Masks` in order; the first mask whose captures pass validation
// produces the entry. Lines nothing accepts are kept in `UnparsedLines`.
// A TFTPList is used by one thread at a time; the only shared state it
// touches is the process-wide locale month list (see "T=" below).
//
// Mask language (one mask character per line character unless noted):
//   n v D M T U Y h H m s S p d   capture the line character into the buffer
//                                 of that letter (see the field buffers)
//   n* v*   the name up to the next space; as the last mask character, the
//           whole rest of the line (spaces included)
//   S*      a run of digits appended to the size; "*" after anything else
//           skips a run of digits
//   $       skips spaces and tabs (zero or more)
//   !       skips one word and the spaces after it
//   .       the line character must be a space or "."; the name so far is
//           trimmed and "." appended (8.3 names)
//   x       the line character must be a space
//   \       matching goes on at the start of the next line (two-line entries)
//   d=C     the d column marks a directory when it holds C (default "D");
//           "=" skips one more line character, C none
//   S=digits  size multiplier (block size), e.g. "S=512"
//   T=names   twelve 3-character month names, January first, exactly 36
//             characters, e.g. "T=janfevmaravrmaijunjulaousepoctnovdec";
//             they replace the process-wide locale month list for good
//   anything else (space, "-", digits, other letters) skips one character
// "S=" and "T=" are settings rather than columns: the letter, the "=" and the
// argument take no line character and hold wherever they stand, though they
// belong at the start (after them a final "n*" would no longer be final).
// The argument of "S=" is the run of digits after the "=" (none: multiplier
// 1); that of "T=" is the next 36 mask characters (fewer when the mask ends
// sooner, and then it is ignored).
// A match fails when the line ends before the mask, unless only the final
// "*" of the mask is left.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/textutil.h"

namespace zud {

struct TCompiledMask;

// One parsed listing line.
class TFTPListRec {
 public:
  virtual ~TFTPListRec() = default;
  // Copies every field of other into this entry.
  virtual void CopyEntryFrom(const TFTPListRec& other);

  std::string EntryName;
  bool IsDirectory = false;  // symbolic links count as directories
  bool IsReadable = false;
  int64_t SizeBytes = 0;
  TDateTime ModifiedAt = 0.0;  // local time, as the server printed it
  std::string SourceLine;      // the listing line the entry came from
  std::string MatchedMask;     // the mask text that matched, or "EPLF"
  std::string PermissionString;  // the 10-character permission text, if any
};

// The built-in masks, in the order they are tried.
const std::vector<std::string>& BuiltInListMasks();

class TFTPList {
 public:
  // Starts with the built-in masks and empty lists.
  TFTPList();
  virtual ~TFTPList();
  TFTPList(const TFTPList&) = delete;
  TFTPList& operator=(const TFTPList&) = delete;

  // The entry at a 0-based index; nullptr when the index is out of range.
  // Owned by the list; invalid after ClearListing.
  virtual TFTPListRec* GetEntry(int index) const;
  // Appends an entry for an EPLF line ("+" first). false when the line is no
  // EPLF, has no name, or is the directory "." or "..".
  virtual bool ParseEplfLine(const std::string& line);
  // Empties the seventeen field buffers.
  virtual void ClearFieldBuffers();
  // Runs mask over line (and next_line for a mask with "\"), filling the field
  // buffers. Returns the number of lines used (1 or 2), 0 when no match.
  virtual int MatchLineToMask(std::string_view line, std::string_view next_line,
                              std::string_view mask);
  // Checks the buffers of the last match; trims some of them in place.
  virtual bool ValidateFieldBuffers();
  // Builds entry from validated buffers. false when the date or time cannot
  // be encoded (30 February, hour 24, ...).
  virtual bool FillEntryFromBuffers(TFTPListRec& entry);
  // Frees every entry and empties Entries, Lines and UnparsedLines.
  virtual void ClearListing();
  virtual int EntryCount() const;
  // Replaces the entries, lines, masks and unparsed lines with copies of other's.
  virtual void CopyListingFrom(const TFTPList& other);
  // Parses Lines from first to last, appending to Entries and UnparsedLines
  // (neither is cleared first). An entry for the directory "." or ".." is
  // dropped. A line whose date cannot be encoded, or that would give an entry
  // without a name, goes to UnparsedLines; parsing always reaches the end.
  virtual void ParseLines();

  // Replaces Lines with the lines of a whole listing text (the data of a
  // LIST): breaks at CR LF, a lone CR or a lone LF (terminators dropped, a
  // last line without one kept); a NUL byte ends the text.
  void LoadLinesFromText(std::string_view text);

  std::vector<std::unique_ptr<TFTPListRec>> Entries;
  std::vector<std::string> Lines;
  std::vector<std::string> Masks;
  std::vector<std::string> UnparsedLines;
  // The current local date and time that lines without a year ("Dec 24
  // 10:30") are placed against, read once per ParseLines; the local clock
  // when empty.
  std::function<TDateTime()> OnGetNow;

  // Field buffers: the captures of the last mask tried.
  std::string MonthNamesText;  // "T=": twelve 3-character month names
  std::string BlockSizeText;   // "S=": size multiplier
  std::string DirMarkText;     // "d=": the directory mark
  std::string NameText;        // n
  std::string VmsNameText;     // v: NAME.TYPE;VERSION
  std::string DayText;         // D
  std::string MonthText;       // M
  std::string MonthNameText;   // T
  std::string YearOrTimeText;  // U: a year or hh:mm
  std::string YearText;        // Y: 2, 3 or 4 digits
  std::string HourText;        // h
  std::string AmPmText;        // H: "A" or "P" first
  std::string MinuteText;      // m
  std::string SecondText;      // s
  std::string SizeText;        // S
  std::string PermissionText;  // p
  std::string DirFlagText;     // d

 protected:
  // Makes an empty entry; a subclass with its own record type replaces it.
  virtual std::unique_ptr<TFTPListRec> CreateEntry() const;
  TDateTime CurrentTime() const;

 private:
  const TCompiledMask& CompiledMaskFor(std::string_view mask);
  void CompileMasks();
  int MonthFromName(const std::string& name);
  void ReplaceLocaleMonthNames();

  // Masks are translated once; ParseLines names the one it is trying.
  std::vector<TCompiledMask> compiled_masks_;
  std::unique_ptr<TCompiledMask> scratch_mask_;
  size_t mask_hint_ = static_cast<size_t>(-1);

  // The current time, read once per ParseLines so that every entry is
  // placed against the same instant.
  struct NowParts {
    int year = 0, month = 0, day = 0;
    int minute_of_day = 0;
  };
  NowParts ReadNow() const;
  bool parsing_ = false;
  NowParts parse_now_;

  // Month-name look-ups remembered while ParseLines runs: the month tables
  // cannot change then except through this list, which forgets them.
  struct MonthMemo {
    std::string name;
    int month = 0;
  };
  static constexpr size_t kMonthMemoSize = 32;
  size_t month_memo_count_ = 0;
  size_t month_memo_next_ = 0;
  MonthMemo month_memo_[kMonthMemoSize];
};

}  // namespace zud
