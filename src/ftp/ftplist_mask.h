// Masks translated once into steps, so that matching a line walks a short
// list instead of re-reading the mask text character by character. Private
// to the listing parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftplist.h"
#include "ftp/ftplist_fields.h"

namespace zud {

struct TMaskStep {
  enum class Op : uint8_t {
    kCapture,     // count line characters into buffer
    kSkip,        // count line characters passed over
    kNameRest,    // the rest of the line into buffer ("n*" / "v*" at the end)
    kNameWord,    // up to the next space into buffer
    kDigits,      // a run of digits, into buffer when there is one
    kBlanks,      // "$"
    kWord,        // "!"
    kDot,         // "."
    kBlank,       // "x"
    kDirMark,     // "=" after "d": one line character; the mark is the argument
    kNextLine,    // "\"
    kBlockSize,   // "S=digits", takes no line character
    kMonthNames,  // "T=" and 36 characters, takes no line character
  };
  Op op = Op::kSkip;
  bool final_star = false;  // a "*" that is the last mask character
  // A capture counted in characters, a UTF-8 sequence being one (month names).
  bool by_character = false;
  size_t count = 1;
  TListField field = kFieldNone;  // the field a capture goes to
  // The field this step completes (its last writer): checked right after it.
  TListField check = kFieldNone;
  size_t arg_start = 0;  // argument of kDirMark, kBlockSize, kMonthNames in text
  size_t arg_length = 0;
};

struct TCompiledMask {
  std::string text;
  std::vector<TMaskStep> settings;  // "S=" and "T=", applied before matching
  std::vector<TMaskStep> steps;
  // Every field is written by one run of steps on one line, with no settings
  // and no ".": the captures can be views of the line.
  bool direct = false;
  // Checks nothing but names and the directory column (a catch-all).
  bool names_only = false;
  // Cheap tests a line must pass before the steps run: its length, and its
  // first character (bit c % 64 of word c / 64).
  size_t min_length = 0;
  uint64_t first_chars[4] = {~0ULL, ~0ULL, ~0ULL, ~0ULL};
  bool MayMatch(std::string_view line) const {
    if (line.size() < min_length || line.empty()) return false;
    const auto c = static_cast<unsigned char>(line[0]);
    return (first_chars[c >> 6] >> (c & 63)) & 1;
  }
  // Leading steps equal to those of the mask before (both direct), and the
  // step whose state the next mask starts from.
  size_t shared_steps = 0;
  size_t save_at = 0;
};

// Where a direct match stands: the next step, the line position, which line,
// and the captures so far.
struct TMatchState {
  size_t step = 0;
  size_t pos = 0;
  int result = 1;  // 2 once on the next line
  // Bit f: fields.field[f] may be set; every other field is empty. Starting
  // over and copying touch only these (a line starts and copies a state
  // several times, and a mask writes a few of the fields).
  uint32_t dirty = 0;
  TFieldViews fields;

  void Restart() {
    step = 0;
    pos = 0;
    result = 1;
    for (uint32_t bits = dirty; bits != 0; bits &= bits - 1) fields.field[__builtin_ctz(bits)] = {};
    dirty = 0;
    fields.dir_mark = {};
    fields.month = 0;
    fields.known = 0;
    fields.size_known = false;
    fields.time_known = false;
  }
  void CopyFrom(const TMatchState& other) {
    Restart();
    step = other.step;
    pos = other.pos;
    result = other.result;
    dirty = other.dirty;
    for (uint32_t bits = dirty; bits != 0; bits &= bits - 1) {
      const int f = __builtin_ctz(bits);
      fields.field[f] = other.fields.field[f];
      fields.number[f] = other.fields.number[f];
    }
    fields.dir_mark = other.fields.dir_mark;
    fields.month = other.fields.month;
    fields.known = other.fields.known;
    fields.size_known = other.fields.size_known;
    fields.time_known = other.fields.time_known;
    fields.size = other.fields.size;
    fields.time_hour = other.fields.time_hour;
    fields.time_minute = other.fields.time_minute;
  }
};

// The one-pass readers of the commonest lines (ftplist_shortcut.cpp), one
// per mask they credit lines to.
enum class TListReader : uint8_t { kNone, kUnix, kDosFile, kDosDirectory, kVms, kCount };

// A built-in format: its mask and, for a mask a one-pass reader credits,
// the reader and the masks it proves to fail first on the lines it reads.
struct TListFormat {
  std::string_view mask;
  TListReader reader = TListReader::kNone;
  std::vector<std::string_view> beaten = {};
};

// The built-in formats, in the order of BuiltInListMasks.
const std::vector<TListFormat>& BuiltInListFormats();

inline constexpr size_t kNoListMask = static_cast<size_t>(-1);
// The index in masks of the mask reader credits, when every mask before it
// is one the reader proves to fail; kNoListMask (the reader stays off) else.
size_t ListReaderMask(TListReader reader, const std::vector<std::string>& masks);

// Replaces out with the steps of mask; reuses out's storage.
void CompileListMask(std::string_view mask, TCompiledMask& out);

// The bytes of count characters of text from pos, a well-formed UTF-8
// sequence counting as one character; npos when text ends sooner.
size_t CharacterBytesSlow(std::string_view text, size_t pos, size_t count);
inline size_t CharacterBytes(std::string_view text, size_t pos, size_t count) {
  if (text.size() - pos >= count) {
    size_t k = 0;
    while (k < count && static_cast<unsigned char>(text[pos + k]) < 0x80) ++k;
    if (k == count) return count;
  }
  return CharacterBytesSlow(text, pos, count);
}

}  // namespace zud
