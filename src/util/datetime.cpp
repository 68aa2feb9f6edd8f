// Date-time values: days since 30 December 1899, the fraction the time of day.
#include <cmath>

#include "util/compat.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 in the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(era * 400 + yoe + (month <= 2));
}

constexpr int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kFirstUnixSecond = DaysFromCivil(1, 1, 1) * kSecondsPerDay;
constexpr int64_t kLastUnixSecond = (DaysFromCivil(9999, 12, 31) + 1) * kSecondsPerDay - 1;

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  out = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
  return true;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms,
                       TDateTime& out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      ms < 0 || ms > 999) {
    return false;
  }
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) return false;
  const double time = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms) / kMillisecondsPerDay;
  // Before the epoch the whole part still names the day and the fraction
  // still counts forward into it, so the two are combined by magnitude.
  out = date < 0 ? date - time : date + time;
  return true;
}

int64_t FloorToInt64(double value) {
  const auto whole = static_cast<int64_t>(value);  // towards zero
  return static_cast<double>(whole) > value ? whole - 1 : whole;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  const double whole = std::trunc(value);
  if (!std::isfinite(whole) || whole < -693593.0 || whole > 2958465.0) {
    // Outside years 1..9999: the epoch itself, rather than an undefined cast.
    year = 1899;
    month = 12;
    day = 30;
    return;
  }
  CivilFromDays(static_cast<int64_t>(whole) + kEpochOffset, year, month, day);
}

bool TryEncodeUnixTime(const TUtcTime& time, int64_t& out) {
  TDateTime checked = 0;
  if (!TryEncodeDateTime(time.year, time.month, time.day, time.hour, time.minute, time.second, 0,
                         checked)) {
    return false;
  }
  out = DaysFromCivil(time.year, time.month, time.day) * kSecondsPerDay +
        (time.hour * 60 + time.minute) * 60 + time.second;
  return true;
}

bool TryDecodeUnixTime(int64_t seconds, TUtcTime& out) {
  if (seconds < kFirstUnixSecond || seconds > kLastUnixSecond) return false;
  // Floor division: an instant before 1970 still falls on its own day.
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  TUtcTime time;
  CivilFromDays(days, time.year, time.month, time.day);
  time.hour = static_cast<int>(rest / 3600);
  time.minute = static_cast<int>(rest / 60 % 60);
  time.second = static_cast<int>(rest % 60);
  out = time;
  return true;
}

TDateTime NowLocal() {
  const TLocalTime now = LocalTimeNow();
  TDateTime value = 0;
  TryEncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                    now.millisecond, value);
  return value;
}

}  // namespace zud
