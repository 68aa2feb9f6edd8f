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
  size_t count = 1;
  std::string TFTPList::*buffer = nullptr;
  size_t arg_start = 0;  // argument of kDirMark, kBlockSize, kMonthNames in text
  size_t arg_length = 0;
};

struct TCompiledMask {
  std::string text;
  std::vector<TMaskStep> settings;  // "S=" and "T=", applied before matching
  std::vector<TMaskStep> steps;
};

// Replaces out with the steps of mask; reuses out's storage.
void CompileListMask(std::string_view mask, TCompiledMask& out);

}  // namespace zud
