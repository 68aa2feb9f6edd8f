// Text, tick and month-name helpers shared by every layer.
//
// All strings are byte strings (std::string / std::string_view): any byte,
// length carried. Positions that callers exchange with these helpers are
// 1-based, as the protocol code built on them counts that way; 0 or -1 means
// "not found" as documented per function. Nothing here throws.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

class TStream;

// ---- Tick counter ---------------------------------------------------------

// Monotonic milliseconds, low 32 bits; wraps about every 49.7 days.
uint32_t ReadTickCounter();
// Elapsed ms between two readings taken in that order; wrap-aware, and a
// counter that stepped back yields the size of the step, never a huge value.
uint32_t ComputeTickSpan(uint32_t older, uint32_t newer);

// ---- Integer packing ------------------------------------------------------

std::string EncodeUInt16BE(uint16_t value);            // high byte first
// s[index] * 256 + s[index + 1] with a 1-based index; 0 when out of range.
uint16_t DecodeUInt16BE(std::string_view s, int index);
std::string EncodeUInt32BE(uint32_t value);            // most significant first
uint32_t ReverseByteOrder32(uint32_t value);

// ---- Trimming (only the space byte 32; tabs are kept) -------------------

std::string StripLeadingSpaces(std::string_view s);
std::string StripTrailingSpaces(std::string_view s);
std::string StripSpaces(std::string_view s);

// ---- Splitting and fields -------------------------------------------------

// Bytes before the first occurrence of delimiter; the whole value when absent
// (an empty delimiter counts as absent).
std::string TextBeforeDelimiter(std::string_view value, std::string_view delimiter);
// Bytes after the end of the first occurrence; the whole value when absent.
std::string TextAfterDelimiter(std::string_view value, std::string_view delimiter);
// Returns the field before the delimiter and leaves the rest in value; when
// the delimiter is absent returns the whole value and empties it.
std::string TakeFieldRaw(std::string& value, std::string_view delimiter);
// TakeFieldRaw, then both the field and the rest are stripped of spaces.
std::string TakeField(std::string& value, std::string_view delimiter);

// ---- Search and replace ---------------------------------------------------

// Left to right, non-overlapping, the replacement is never rescanned.
std::string ReplaceAllOccurrences(std::string_view value, std::string_view search,
                                  std::string_view replacement);
// 1-based start of the last occurrence of sub ending at or before 1-based
// position from; 0 when none. An empty sub gives from + 1.
int FindLastFrom(std::string_view sub, std::string_view value, int from);
int FindLast(std::string_view sub, std::string_view value);
int CountChar(std::string_view s, char ch);
// 1-based position of the first CR or LF, -1 when none. terminator receives
// the break found: CR LF, LF CR, CR or LF ("" when none).
int FindLineBreak(std::string_view s, std::string& terminator);

// ---- Other ----------------------------------------------------------------

inline const uint8_t* OffsetPointer(const void* p, std::ptrdiff_t n) {
  return static_cast<const uint8_t*>(p) + n;
}
inline uint8_t* OffsetPointer(void* p, std::ptrdiff_t n) { return static_cast<uint8_t*>(p) + n; }
// Writes all bytes of s in one write call.
void WriteStringToStream(TStream& stream, std::string_view s);

// ---- Text to integer with default ----------------------------------------

// Optional leading spaces, then an optional sign and decimal digits, or a
// "$", "x", "X", "0x" or "0X" prefix and hex digits, nothing after them.
// Anything else, or a value outside 32 signed bits, yields def.
int32_t TextToIntDef(std::string_view s, int32_t def);
// The same grammar for 64-bit values (sizes and offsets of large files).
int64_t TextToInt64Def(std::string_view s, int64_t def);

// ---- 8-bit case handling --------------------------------------------------

// Upper/lower-casing of 8-bit text: ASCII letters plus the Latin-1 /
// Windows-1252 accented letters (0xC0-0xDE <-> 0xE0-0xFE, except 0xD7/0xF7).
std::string UpperCase8(std::string_view s);
std::string LowerCase8(std::string_view s);
bool SameText8(std::string_view a, std::string_view b);  // case-insensitive equality

// ---- Month names and time of day -----------------------------------------

using TMonthRow = std::array<std::string, 12>;
// The 7-row month-name table; row 0 holds the locale's abbreviations, read
// on first use of any of these functions (thread-safe).
std::array<TMonthRow, 7>& MonthNameTable();
// The locale month list; the listing parser may overwrite it.
TMonthRow& LocaleMonthNames();
// Reads row 0 and the locale list again from the system's LC_TIME
// abbreviated month names without touching the process's global locale.
void LoadLocaleMonthNames();

// text equals the upper-cased entry of any row for month (1..12).
bool MatchesMonthName(std::string_view text, int month);
// 1..12 for the first month whose name matches the upper-cased text, else 0;
// a UTF-8 name matches the 8-bit row that spells the same characters.
int MonthNumberFromName(std::string_view text);
// Time of day as a fraction of a day, or -1.0 when the text is not a time.
double ParseTimeOfDay(std::string_view text);

// ---- Date-time values -----------------------------------------------------

// Days since 30 December 1899 00:00 local time; the fraction is the time of day.
using TDateTime = double;

// false (and out untouched) when any part cannot be encoded: month 1..12,
// day valid for that month and year, hour 0..23, minute and second 0..59,
// ms 0..999, year 1..9999.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int ms, TDateTime& out);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
// The current local date and time.
TDateTime NowLocal();
// The largest whole number not above value (|value| below 2^62). Written out
// because std::floor is a call into the maths library, which the tool would
// otherwise map for this alone.
int64_t FloorToInt64(double value);

// ---- Seconds since 1970 (UTC, proleptic Gregorian, no leap seconds) -------

struct TUtcTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};
// false (and out untouched) under the rules of TryEncodeDateTime.
bool TryEncodeUnixTime(const TUtcTime& time, int64_t& out);
// false (and out untouched) for an instant outside years 1..9999.
bool TryDecodeUnixTime(int64_t seconds, TUtcTime& out);

}  // namespace zud
