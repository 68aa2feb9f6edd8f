// Date-time values as std::chrono time points, for code that embeds the
// library and keeps its times in the standard clock's terms.
#pragma once

#include <chrono>

#include "util/api.h"
#include "util/textutil.h"

namespace ZUD_API zud {

// The instant value names, read as UTC (day 0 is 30 December 1899, and before
// it the fraction counts forward into the day, as TryEncodeDateTime writes
// it), rounded to the millisecond. A value that is not finite or lies outside
// years 1..9999 gives 30 December 1899, as DecodeDate does; an instant the
// clock cannot hold (before 1677 or after 2262 with nanosecond ticks) gives
// the clock's nearest end.
std::chrono::system_clock::time_point DateTimeToTimePoint(TDateTime value);

// The TDateTime of a UTC instant, exact to the millisecond (the rest is cut
// towards the past). DateTimeToTimePoint gives the millisecond back.
TDateTime TimePointToDateTime(std::chrono::system_clock::time_point when);

}  // namespace zud
