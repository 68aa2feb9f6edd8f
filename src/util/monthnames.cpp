// The month-name table, the locale month list and the time-of-day parser the
// directory-listing parser relies on.
#include <mutex>

#include "util/compat.h"
#include "util/textutil.h"

namespace zud {

namespace {

// Row 0 is overwritten with the locale's names at start-up. Rows 2 and 5 are
// Windows-1252 bytes, row 6 Windows-1250.
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

}  // namespace

std::array<TMonthRow, 7>& MonthNameTable() { return g_month_names; }

TMonthRow& LocaleMonthNames() { return g_locale_months; }

void LoadLocaleMonthNames() {
  TLocaleTimeNames names = ReadLocaleTimeNames();
  g_month_names[0] = names.abbreviated_months;
  g_locale_months = names.abbreviated_months;
  g_am_designator = std::move(names.am_designator);
  g_pm_designator = std::move(names.pm_designator);
}

bool MatchesMonthName(std::string_view text, int month) {
  if (month < 1 || month > 12) return false;
  for (const TMonthRow& row : g_month_names) {
    if (text == UpperCase8(row[month - 1])) return true;
  }
  return false;
}

int MonthNumberFromName(std::string_view text) {
  const std::string upper = UpperCase8(text);
  for (int month = 1; month <= 12; ++month) {
    if (MatchesMonthName(upper, month) || upper == UpperCase8(g_locale_months[month - 1])) {
      return month;
    }
  }
  return 0;
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
