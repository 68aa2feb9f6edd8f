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

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"
#include "util/textutil.h"

// The parser internals stay out of the exported names.
namespace zud {
struct TFTPListParser;
}  // namespace zud

namespace ZUD_API zud {

// The text of an entry field or listing line. The parser makes it a view of
// the listing text the list keeps (valid until ClearListing); assigning any
// text to it, copying it, or copying the record makes it hold its own copy.
// Reads like a std::string: compares with and converts to strings.
class TListText {
 public:
  TListText() = default;
  TListText(std::string_view text) { Assign(text); }
  TListText(const std::string& text) { Assign(text); }
  TListText(const char* text) { Assign(text); }
  TListText(const TListText& other) { Assign(other.view()); }
  TListText(TListText&& other) noexcept { Steal(other); }
  TListText& operator=(const TListText& other);
  TListText& operator=(TListText&& other) noexcept;
  TListText& operator=(std::string_view text) { return Assign(text); }
  TListText& operator=(const std::string& text) { return Assign(text); }
  TListText& operator=(const char* text) { return Assign(text); }
  ~TListText() { Release(); }

  // A view of text that the caller keeps alive as long as this field.
  static TListText ViewOf(std::string_view text) {
    TListText view;
    view.Refer(text);
    return view;
  }
  void Refer(std::string_view text) {
    Release();
    data_ = text.data();
    size_ = text.size();
  }
  TListText& Assign(std::string_view text);

  std::string_view view() const { return {data_, size_}; }
  std::string str() const { return std::string(view()); }
  operator std::string_view() const { return view(); }
  operator std::string() const { return str(); }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t length() const { return size_; }
  bool empty() const { return size_ == 0; }
  char operator[](size_t i) const { return data_[i]; }
  size_t find(std::string_view what, size_t from = 0) const { return view().find(what, from); }
  size_t find(char what, size_t from = 0) const { return view().find(what, from); }
  std::string substr(size_t from, size_t count = std::string::npos) const {
    return std::string(view().substr(from, count));
  }
  const char* begin() const { return data_; }
  const char* end() const { return data_ + size_; }

  friend bool operator==(const TListText& a, std::string_view b) { return a.view() == b; }
  friend auto operator<=>(const TListText& a, std::string_view b) { return a.view() <=> b; }
  friend std::string operator+(const TListText& a, std::string_view b) {
    return a.str().append(b);
  }
  friend std::string operator+(std::string_view a, const TListText& b) {
    return std::string(a).append(b.view());
  }

 private:
  void Release() {
    if (owned_) delete[] data_;
    owned_ = false;
  }
  void Steal(TListText& other) {
    data_ = other.data_;
    size_ = other.size_;
    owned_ = other.owned_;
    other.data_ = "";
    other.size_ = 0;
    other.owned_ = false;
  }

  const char* data_ = "";
  size_t size_ = 0;
  bool owned_ = false;
};

std::ostream& operator<<(std::ostream& out, const TListText& text);

// The lines of a listing: one text kept in large blocks, the lines views of
// it. Behaves like a vector of strings (index, iterate, push_back, assign a
// vector or a braced list, compare); an element reads as a TListText view.
class TListLines {
 public:
  using value_type = TListText;
  using size_type = size_t;
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = TListText;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = TListText;
    const_iterator() = default;
    explicit const_iterator(const std::string_view* at) : at_(at) {}
    TListText operator*() const { return TListText::ViewOf(*at_); }
    TListText operator[](difference_type n) const { return TListText::ViewOf(at_[n]); }
    const_iterator& operator++() { ++at_; return *this; }
    const_iterator operator++(int) { const_iterator old = *this; ++at_; return old; }
    const_iterator& operator--() { --at_; return *this; }
    const_iterator operator--(int) { const_iterator old = *this; --at_; return old; }
    const_iterator& operator+=(difference_type n) { at_ += n; return *this; }
    const_iterator& operator-=(difference_type n) { at_ -= n; return *this; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const_iterator a, const_iterator b) { return a.at_ - b.at_; }
    friend bool operator==(const_iterator a, const_iterator b) { return a.at_ == b.at_; }
    friend auto operator<=>(const_iterator a, const_iterator b) { return a.at_ <=> b.at_; }

   private:
    const std::string_view* at_ = nullptr;
  };
  using iterator = const_iterator;

  TListLines() = default;
  TListLines(std::initializer_list<std::string_view> lines) { *this = lines; }
  TListLines(const TListLines& other) { *this = other; }
  TListLines(TListLines&&) noexcept = default;
  TListLines& operator=(const TListLines& other);
  TListLines& operator=(TListLines&&) noexcept = default;
  TListLines& operator=(std::initializer_list<std::string_view> lines);
  template <class Range>
  TListLines& operator=(const Range& lines) {
    clear();
    for (const auto& line : lines) push_back(std::string_view(line));
    return *this;
  }

  size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  TListText operator[](size_t i) const { return TListText::ViewOf(lines_[i]); }
  TListText front() const { return (*this)[0]; }
  TListText back() const { return (*this)[size() - 1]; }
  const_iterator begin() const { return const_iterator(lines_.data()); }
  const_iterator end() const { return const_iterator(lines_.data() + lines_.size()); }
  // Appends a copy of line.
  void push_back(std::string_view line);
  void emplace_back(std::string_view line) { push_back(line); }
  // Empties the list; a block no one else shares is kept for the next text.
  void clear();
  void reserve(size_t count) { lines_.reserve(count); }

  // Replaces the lines with those of text, cut at CR LF, CR or LF (see
  // TFTPList::LoadLinesFromText).
  void LoadText(std::string_view text);
  // The lines as views, and the blocks that hold their text.
  const std::vector<std::string_view>& Views() const { return lines_; }
  const std::vector<std::shared_ptr<std::string>>& Blocks() const { return blocks_; }
  // Appends a view of text that the caller keeps alive as long as the list.
  void PushView(std::string_view line) { lines_.push_back(line); }

  friend bool operator==(const TListLines& a, const TListLines& b) {
    return a.lines_ == b.lines_;
  }
  template <class Range>
  friend bool operator==(const TListLines& a, const Range& b) {
    if (a.size() != static_cast<size_t>(std::size(b))) return false;
    size_t i = 0;
    for (const auto& line : b) {
      if (a.lines_[i++] != std::string_view(line)) return false;
    }
    return true;
  }

 private:
  std::string& BlockFor(size_t bytes);

  std::vector<std::string_view> lines_;
  std::vector<std::shared_ptr<std::string>> blocks_;
  std::shared_ptr<std::string> spare_;
};

// The entries of a listing. Behaves like the vector of owning pointers it
// replaces: Entries[i]->EntryName, size(), iteration over record pointers,
// push_back of a std::unique_ptr. Plain records are kept in blocks and
// reused after clear; records of a subclass's own type are owned one by one.
class TFTPListRec;
class TFTPListEntries {
 public:
  using value_type = TFTPListRec*;
  using const_iterator = std::vector<TFTPListRec*>::const_iterator;
  using iterator = const_iterator;

  TFTPListEntries();
  ~TFTPListEntries();
  TFTPListEntries(const TFTPListEntries&) = delete;
  TFTPListEntries& operator=(const TFTPListEntries&) = delete;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TFTPListRec* operator[](size_t i) const { return items_[i]; }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  void push_back(std::unique_ptr<TFTPListRec> entry);
  void reserve(size_t count) { items_.reserve(count); }
  void clear();
  // Appends a plain record with every field reset; PopPlain takes it back.
  TFTPListRec& AppendPlain();
  void PopPlain();

 private:
  static constexpr size_t kBlockSize = 512;
  std::vector<TFTPListRec*> items_;
  std::vector<std::unique_ptr<TFTPListRec[]>> blocks_;
  size_t plain_used_ = 0;
  std::vector<std::unique_ptr<TFTPListRec>> owned_;
};

// One parsed listing line.
class TFTPListRec {
 public:
  TFTPListRec() = default;
  TFTPListRec(const TFTPListRec& other) { CopyEntryFrom(other); }
  TFTPListRec& operator=(const TFTPListRec& other) {
    CopyEntryFrom(other);
    return *this;
  }
  virtual ~TFTPListRec() = default;
  // Copies every field of other into this entry; the texts become its own.
  virtual void CopyEntryFrom(const TFTPListRec& other);

  TListText EntryName;
  bool IsDirectory = false;  // symbolic links count as directories
  bool IsReadable = false;
  int64_t SizeBytes = 0;
  // The modify time. From a LIST line it is the server's local time as
  // printed: no zone, and often no seconds (or, for older files, no time of
  // day) and no year (placed in the twelve months before now). From MLSD,
  // MLST and EPLF it is UTC, to the second or better; ModifiedIsUtc says which.
  TDateTime ModifiedAt = 0.0;
  bool ModifiedIsUtc = false;
  TListText SourceLine;        // the listing line the entry came from
  TListText MatchedMask;       // the mask text that matched, "EPLF" or "MLSD"
  TListText PermissionString;  // the 10-character permission text, if any

  // ModifiedAt as an instant: a UTC time as it is, a local one less the
  // server's offset from UTC (east positive; by default the server is taken
  // to keep UTC). Exact to the millisecond.
  std::chrono::system_clock::time_point ModifiedTimePoint(
      std::chrono::minutes server_utc_offset = {}) const;
};

// The built-in masks, in the order they are tried.
const std::vector<std::string>& BuiltInListMasks();
// Whether mask reads nothing but a name and the directory column (the
// built-in catch-all): a line only such a mask takes may be no entry at all,
// such as a server's message among the lines of a listing.
bool ListMaskReadsOnlyNames(std::string_view mask);

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
  // A line shaped like a server reply ("550 No such file") is never taken by
  // a mask that checks nothing but a name.
  virtual void ParseLines();
  // Parses the lines of an MLSD reply (RFC 3659 "fact=value;... name"),
  // appending to Entries and UnparsedLines like ParseLines: exact size, the
  // modify time in UTC, "cdir" and "pdir" lines skipped, the name whole.
  virtual void ParseMachineLines();

  // Replaces Lines with the lines of a whole listing text (the data of a
  // LIST): breaks at CR LF, a lone CR or a lone LF (terminators dropped, a
  // last line without one kept); a NUL byte ends the text.
  void LoadLinesFromText(std::string_view text);

  TFTPListEntries Entries;
  TListLines Lines;
  std::vector<std::string> Masks;
  TListLines UnparsedLines;
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
  friend struct TFTPListParser;
  // Compiled masks, caches and the routes of a plain list (ftplist_parser.h).
  std::unique_ptr<TFTPListParser> parser_;
};

}  // namespace zud
