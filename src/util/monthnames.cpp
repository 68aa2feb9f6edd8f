// The month-name table, the locale month list and the time-of-day parser the
// directory-listing parser relies on. The locale's names are read on first
// use, not at start-up: a program that never parses a listing never loads
// the locale's time data.
#include <mutex>

#include "util/compat.h"
#include "util/textutil.h"

namespace zud {

namespace {

// Row 0 is overwritten with the locale's names on first use. Rows 2 and 5
// are Windows-1252 bytes, row 6 Windows-1250.
std::array<TMonthRow, 7> g_month_names = {{
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"jan", "f\xE9v", "mar", "avr", "mai", "jun", "jul", "ao\xFB", "sep", "oct", "nov", "d\xE9" "c"},
    {"jan", "fev", "mar", "avr", "mai", "jun", "jul", "aou", "sep", "oct", "nov", "dec"},
    {"Jan", "Feb", "Mar", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Led", "\xDAno", "B\xF8" "e", "Dub", "Kv\xEC", "\xC8" "en", "\xC8" "ec", "Srp", "Z\xE1\xF8",
     "\xD8\xEDj", "Lis", "Pro"},
}};

TMonthRow g_locale_months = g_month_names[1];

// The locale's own morning and afternoon designators, beside "AM" and "PM".
std::string g_am_designator = "AM";
std::string g_pm_designator = "PM";


std::once_flag g_locale_loaded;

void ReadLocaleNames() {
  TLocaleTimeNames names = ReadLocaleTimeNames();
  g_month_names[0] = names.abbreviated_months;
  g_locale_months = names.abbreviated_months;
  g_am_designator = std::move(names.am_designator);
  g_pm_designator = std::move(names.pm_designator);
}

void EnsureLocaleNames() { std::call_once(g_locale_loaded, ReadLocaleNames); }

// A code point of the Czech month names that Windows-1250 and Latin-1 place
// differently, as its Windows-1250 byte; 0 for any other.
unsigned char CzechByte(uint32_t code_point) {
  switch (code_point) {
    case 0x10C: return 0xC8;  // C with caron
    case 0x10D: return 0xE8;
    case 0x11A: return 0xCC;  // E with caron
    case 0x11B: return 0xEC;
    case 0x158: return 0xD8;  // R with caron
    case 0x159: return 0xF8;
    default: return 0;
  }
}

// UTF-8 text as the 8-bit bytes of the month rows: Latin-1 letters as
// themselves, the Czech ones as Windows-1250. false when the text is no
// well-formed UTF-8, holds no multi-byte sequence, or has a character
// neither can hold.
bool EightBitFromUtf8(std::string_view text, std::string& out) {
  out.clear();
  bool multi_byte = false;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code_point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = code_point << 6 | (next & 0x3F);
    }
    if (code_point < 0x80 || (length == 3 && code_point < 0x800)) return false;  // overlong
    const unsigned char czech = CzechByte(code_point);
    if (czech != 0) {
      out.push_back(static_cast<char>(czech));
    } else if (code_point <= 0xFF) {
      out.push_back(static_cast<char>(code_point));
    } else {
      return false;
    }
    multi_byte = true;
    i += length;
  }
  return multi_byte;
}

int MonthNumberFromEightBit(std::string_view text);

}  // namespace

std::array<TMonthRow, 7>& MonthNameTable() {
  EnsureLocaleNames();
  return g_month_names;
}

TMonthRow& LocaleMonthNames() {
  EnsureLocaleNames();
  return g_locale_months;
}

void LoadLocaleMonthNames() {
  bool first = false;
  std::call_once(g_locale_loaded, [&first] {
    ReadLocaleNames();
    first = true;
  });
  if (!first) ReadLocaleNames();
}

bool MatchesMonthName(std::string_view text, int month) {
  if (month < 1 || month > 12) return false;
  EnsureLocaleNames();
  for (const TMonthRow& row : g_month_names) {
    if (text == UpperCase8(row[month - 1])) return true;
  }
  return false;
}

namespace {

int MonthNumberFromEightBit(std::string_view text) {
  const std::string upper = UpperCase8(text);
  for (int month = 1; month <= 12; ++month) {
    if (MatchesMonthName(upper, month) || upper == UpperCase8(g_locale_months[month - 1])) {
      return month;
    }
  }
  return 0;
}

}  // namespace

int MonthNumberFromName(std::string_view text) {
  EnsureLocaleNames();
  const int month = MonthNumberFromEightBit(text);
  if (month != 0) return month;
  // A name in UTF-8 ("M\xC3\xA4r") is compared as the characters it spells.
  std::string eight_bit;
  return EightBitFromUtf8(text, eight_bit) ? MonthNumberFromEightBit(eight_bit) : 0;
}

// ---- Time of day ----------------------------------------------------------

namespace {

constexpr char kTimeSeparator = ':';
constexpr char kDecimalSeparator = '.';

class TimeScanner {
 public:
  explicit TimeScanner(std::string_view text) : text_(text) {}

  void SkipSpaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }

  // Spaces, then a run of digits; stops taking digits once the value reached 1000.
  bool Number(int& value) {
    SkipSpaces();
    const size_t start = pos_;
    value = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9' && value < 1000) {
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
    }
    return pos_ > start;
  }

  // Spaces, then ch.
  bool Char(char ch) {
    const size_t saved = pos_;
    SkipSpaces();
    if (pos_ < text_.size() && text_[pos_] == ch) {
      ++pos_;
      return true;
    }
    pos_ = saved;
    return false;
  }

  // Spaces, then word in any letter case; an empty word never matches.
  bool Word(std::string_view word) {
    if (word.empty()) return false;
    const size_t saved = pos_;
    SkipSpaces();
    if (text_.size() - pos_ >= word.size() && SameText8(text_.substr(pos_, word.size()), word)) {
      pos_ += word.size();
      return true;
    }
    pos_ = saved;
    return false;
  }

  // 0 for a morning designator, 12 for an afternoon one, -1 for none.
  int Designator() {
    EnsureLocaleNames();
    if (Word(g_am_designator) || Word("AM")) return 0;
    if (Word(g_pm_designator) || Word("PM")) return 12;
    return -1;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

double ParseTimeOfDay(std::string_view text) {
  constexpr double kInvalid = -1.0;
  // Keep only the two characters after the last colon ("12:30 PM" -> "12:30").
  const int p = FindLast(":", text);
  if (p > 0 && static_cast<int>(text.size()) - p > 2) text = text.substr(0, p + 2);

  TimeScanner scan(text);
  int base_hour = scan.Designator();
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!scan.Number(hour)) return kInvalid;
  if (scan.Char(kTimeSeparator)) {
    if (!scan.Number(minute)) return kInvalid;
    if (scan.Char(kTimeSeparator)) {
      if (!scan.Number(second)) return kInvalid;
      if (scan.Char(kDecimalSeparator) && !scan.Number(millisecond)) return kInvalid;
    }
  }
  if (base_hour < 0) base_hour = scan.Designator();
  if (base_hour >= 0) {
    if (hour < 1 || hour > 12) return kInvalid;
    hour = hour % 12 + base_hour;
  }
  scan.SkipSpaces();
  if (!scan.AtEnd()) return kInvalid;
  if (hour > 23 || minute > 59 || second > 59 || millisecond > 999) return kInvalid;
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

}  // namespace zud
