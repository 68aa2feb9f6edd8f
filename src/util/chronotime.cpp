// Date-time values and std::chrono time points, counted in milliseconds.
#include "util/chronotime.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace zud {

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kUnixEpochDay = 25569;  // 1 January 1970
constexpr double kFirstDay = -693593.0;   // 1 January 0001
constexpr double kLastDay = 2958465.0;    // 31 December 9999

// Floor division, so that an instant before 1899 still falls on its own day.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

std::chrono::system_clock::time_point DateTimeToTimePoint(TDateTime value) {
  double day = std::trunc(value);
  double fraction = std::fabs(value - day);
  if (!std::isfinite(value) || day < kFirstDay || day > kLastDay) day = fraction = 0.0;
  int64_t ms = (static_cast<int64_t>(day) - kUnixEpochDay) * kMsPerDay +
               std::llround(fraction * static_cast<double>(kMsPerDay));
  // Clock ticks of a nanosecond reach only from 1677 to 2262.
  using Clock = std::chrono::system_clock;
  constexpr int64_t kLowestMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration::min()).count();
  constexpr int64_t kHighestMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration::max()).count();
  ms = std::clamp(ms, kLowestMs, kHighestMs);
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms)));
}

TDateTime TimePointToDateTime(std::chrono::system_clock::time_point when) {
  const int64_t ms =
      std::chrono::floor<std::chrono::milliseconds>(when.time_since_epoch()).count() +
      kUnixEpochDay * kMsPerDay;
  const int64_t day = FloorDiv(ms, kMsPerDay);
  const double time = static_cast<double>(ms - day * kMsPerDay) / static_cast<double>(kMsPerDay);
  // Before day 0 the whole part names the day and the fraction counts forward.
  return day < 0 ? static_cast<double>(day) - time : static_cast<double>(day) + time;
}

}  // namespace zud
