// The parser behind TFTPList: compiled masks, per-parse caches and the routes
// a plain list parses through (views, one-pass readers). Private to the
// listing parser; TFTPList holds one and lets it read its lists and buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftplist.h"
#include "ftp/ftplist_fields.h"
#include "ftp/ftplist_mask.h"

namespace zud {

struct TStepCursor;

struct TFTPListParser {
  explicit TFTPListParser(TFTPList& list) : list_(list) {}
  TFTPListParser(const TFTPListParser&) = delete;
  TFTPListParser& operator=(const TFTPListParser&) = delete;

  // The compiled form of mask: the one ParseLines names when it matches,
  // else a scratch compilation kept for the next call.
  const TCompiledMask& CompiledMaskFor(std::string_view mask);
  // Compiles Masks (those changed since the last parse) and picks the masks
  // the one-pass readers credit.
  void CompileMasks();
  // The month of a name, through a memo while ParseLines runs.
  int MonthFromName(std::string_view name);
  // Makes the "T=" buffer the process-wide locale month list.
  void ReplaceLocaleMonthNames();
  // Empties the month memo and rereads the bytes that may start a name.
  void ForgetMonthNames();

  // ParseLines for a plain TFTPList, whose steps no subclass replaced:
  // captures stay views of the line and entries views of the kept text.
  void ParseLinesDirect();
  bool ParseEplfDirect(std::string_view line);
  // The commonest "ls -l" line read in one pass, where it is certain which
  // mask takes it first (see ftplist_shortcut.cpp); false leaves the line to
  // the masks. parsed false: the line stays unparsed. credits holds, by
  // TListReader, the text of the mask each reader credits, empty for a
  // reader that is off (ListReaderMask).
  bool ParseUnixShortcut(std::string_view line, const std::string_view* credits, bool& parsed);
  // The same for IIS / DOS lines.
  bool ParseDosShortcut(std::string_view line, const std::string_view* credits, bool& parsed);
  // The same for VMS lines.
  bool ParseVmsShortcut(std::string_view line, const std::string_view* credits, bool& parsed);
  int MatchVmsTail(TStepCursor& cursor, TFieldViews& fields);
  // true when "d            $!S*$TTT$DD$UUUUU$n*" surely fails on line.
  bool DirColumnMaskFails(std::string_view line);
  // Fills and appends the entry a shortcut's captures make, as after a mask;
  // false when the line stays unparsed.
  bool AppendShortcutEntry(const TFieldViews& fields, std::string_view line,
                           std::string_view mask_text);
  // Appends the entry filled from a line that mask_text matched.
  void AppendFilledEntry(const TFilledEntry& filled, std::string_view line,
                         std::string_view mask_text);
  bool CheckDirect(TFieldViews& fields, TListField field);
  // Runs a direct mask from state on with captures as views (the step runner
  // of ftplist_match.cpp); copies the state at step save_at (when it is
  // reached and later than the start) to saved. 0 and the failing step in
  // failed_at when there is no match.
  int MatchDirect(const TCompiledMask& mask, std::string_view line, std::string_view next,
                  TMatchState& state, TMatchState* saved, size_t& failed_at);
  // Keeps the text of Lines and of the masks alive for the entries.
  void KeepListingText();
  std::string_view KeptMaskText(size_t m);

  // The current time, read once per ParseLines so that every entry is
  // placed against the same instant.
  TNowParts ReadNow() const;
  // A TFTPList itself, no subclass: no step is replaced, so the lines may be
  // parsed through views and entries taken from the blocks of Entries.
  bool IsPlainList() const;

  TFTPList& list_;
  // Masks are translated once; ParseLines names the one it is trying.
  std::vector<TCompiledMask> compiled_masks_;
  // By TListReader: the index in Masks of the mask each one-pass reader
  // credits, or kNoListMask.
  std::vector<size_t> reader_masks_;
  // Text the entries' views point into, kept until ClearListing.
  std::vector<std::shared_ptr<std::string>> kept_text_;
  std::vector<std::shared_ptr<std::string>> kept_masks_;
  std::string separator_scratch_;
  std::unique_ptr<TCompiledMask> scratch_mask_;
  size_t mask_hint_ = static_cast<size_t>(-1);

  bool parsing_ = false;
  TNowParts parse_now_;

  // Month-name look-ups remembered while ParseLines runs: the month tables
  // cannot change then except through this list, which forgets them.
  struct MonthMemo {
    uint64_t key = 0;  // the name's bytes
    size_t length = 0;
    int month = 0;
  };
  static constexpr size_t kMonthMemoSize = 32;
  size_t month_memo_count_ = 0;
  // Bytes that may start a month name (bit c % 64 of word c / 64), from the
  // tables as ForgetMonthNames found them.
  uint64_t month_first_bytes_[4] = {~0ULL, ~0ULL, ~0ULL, ~0ULL};
  size_t month_memo_next_ = 0;
  size_t month_memo_last_ = 0;
  MonthMemo month_memo_[kMonthMemoSize];
};

}  // namespace zud
