#include "util/textutil.h"
#include "util/chronotime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <tuple>

namespace zud {
namespace {

TEST(DateTimeTest, KnownDays) {
  struct Case {
    int year, month, day;
    double value;
  } cases[] = {
      {1899, 12, 30, 0},   {1899, 12, 31, 1},     {1900, 1, 1, 2},    {1900, 3, 1, 61},
      {2000, 2, 29, 36585}, {2024, 2, 29, 45351}, {1, 1, 1, -693593}, {9999, 12, 31, 2958465},
      {1899, 12, 29, -1},
  };
  for (const Case& c : cases) {
    TDateTime value = -12345;
    ASSERT_TRUE(TryEncodeDate(c.year, c.month, c.day, value)) << c.year << "-" << c.month;
    EXPECT_EQ(value, c.value);
    int y = 0, m = 0, d = 0;
    DecodeDate(value, y, m, d);
    EXPECT_EQ(y, c.year);
    EXPECT_EQ(m, c.month);
    EXPECT_EQ(d, c.day);
  }
}

TEST(DateTimeTest, RejectsWhatCannotBeEncodedAndLeavesOutUntouched) {
  struct Case {
    int year, month, day, hour, minute, second, ms;
  } cases[] = {
      {2023, 2, 29, 0, 0, 0, 0},   {2024, 2, 30, 0, 0, 0, 0},  {1900, 2, 29, 0, 0, 0, 0},
      {2024, 4, 31, 0, 0, 0, 0},   {2024, 0, 1, 0, 0, 0, 0},   {2024, 13, 1, 0, 0, 0, 0},
      {2024, 1, 0, 0, 0, 0, 0},    {0, 1, 1, 0, 0, 0, 0},      {10000, 1, 1, 0, 0, 0, 0},
      {2024, 1, 1, 24, 0, 0, 0},   {2024, 1, 1, 0, 60, 0, 0},  {2024, 1, 1, 0, 0, 60, 0},
      {2024, 1, 1, 0, 0, 0, 1000}, {2024, 1, 1, -1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    TDateTime value = 7.5;
    EXPECT_FALSE(TryEncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms, value))
        << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":"
        << c.second;
    EXPECT_EQ(value, 7.5);
  }
}

TEST(DateTimeTest, TimeIsTheFraction) {
  TDateTime value = 0;
  ASSERT_TRUE(TryEncodeDateTime(1899, 12, 31, 18, 0, 0, 0, value));
  EXPECT_DOUBLE_EQ(value, 1.75);
  ASSERT_TRUE(TryEncodeDateTime(2024, 2, 29, 23, 59, 59, 999, value));
  EXPECT_LT(value, 45352.0);
  EXPECT_GT(value, 45351.99999);
  // Before the epoch the whole part still names the day.
  ASSERT_TRUE(TryEncodeDateTime(1899, 12, 29, 6, 0, 0, 0, value));
  EXPECT_DOUBLE_EQ(value, -1.25);
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  EXPECT_EQ(d, 29);
}

TEST(DateTimeTest, UnixSecondsBothWays) {
  const struct {
    TUtcTime time;
    int64_t seconds;
  } cases[] = {
      {{1970, 1, 1, 0, 0, 0}, 0},
      {{1969, 12, 31, 23, 59, 59}, -1},  // floor, not truncation, before 1970
      {{2000, 3, 1, 0, 0, 0}, 951868800},
      {{2038, 1, 19, 3, 14, 8}, 2147483648},
      {{1, 1, 1, 0, 0, 0}, -62135596800},
      {{9999, 12, 31, 23, 59, 59}, 253402300799},
  };
  for (const auto& c : cases) {
    int64_t seconds = 0;
    ASSERT_TRUE(TryEncodeUnixTime(c.time, seconds)) << c.seconds;
    EXPECT_EQ(seconds, c.seconds);
    TUtcTime back;
    ASSERT_TRUE(TryDecodeUnixTime(c.seconds, back)) << c.seconds;
    EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second),
              std::tie(c.time.year, c.time.month, c.time.day, c.time.hour, c.time.minute,
                       c.time.second))
        << c.seconds;
  }
  TUtcTime untouched{2000, 1, 1, 0, 0, 0};
  EXPECT_FALSE(TryDecodeUnixTime(253402300800, untouched));
  EXPECT_FALSE(TryDecodeUnixTime(-62135596801, untouched));
  EXPECT_FALSE(TryDecodeUnixTime(INT64_MIN, untouched));
  EXPECT_EQ(untouched.year, 2000);
  int64_t seconds = 7;
  EXPECT_FALSE(TryEncodeUnixTime({2023, 2, 29, 0, 0, 0}, seconds));
  EXPECT_EQ(seconds, 7);
}

TEST(DateTimeTest, TimePointsBothWays) {
  using namespace std::chrono;
  const struct {
    TDateTime value;
    int64_t unix_ms;
  } cases[] = {
      {25569.0, 0},                                       // 1970-01-01
      {0.0, -2209161600000},                              // 1899-12-30
      {-1.25, -2209161600000 - 86400000 + 21600000},      // 1899-12-29 06:00
      {-73046.75, -8520271200000},                        // 1700-01-01 18:00
      {25568.0 + 86399999.0 / 86400000, -1},              // 1969-12-31 23:59:59.999
      {45351.0 + 43200123.0 / 86400000, 1709208000123},   // 2024-02-29 12:00:00.123
      {109755.0 + 86399999.0 / 86400000, 7273756799999},  // 2200-06-30 23:59:59.999
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unix_ms);
    const system_clock::time_point when{
        duration_cast<system_clock::duration>(milliseconds(c.unix_ms))};
    EXPECT_EQ(DateTimeToTimePoint(c.value), when);
    const TDateTime back = TimePointToDateTime(when);
    EXPECT_NEAR(back, c.value, 1e-9);
    EXPECT_EQ(DateTimeToTimePoint(back), when);
  }
  // Below the millisecond, the instant is cut towards the past.
  EXPECT_EQ(DateTimeToTimePoint(TimePointToDateTime(system_clock::time_point{} - microseconds(1))),
            system_clock::time_point{} - milliseconds(1));
  EXPECT_EQ(DateTimeToTimePoint(std::nan("")), DateTimeToTimePoint(0.0));
  // Years the clock cannot hold stop at its ends.
  EXPECT_LE(DateTimeToTimePoint(-693593.0), DateTimeToTimePoint(-73046.0));
  EXPECT_GE(DateTimeToTimePoint(2958465.5), DateTimeToTimePoint(109755.0));
}

TEST(DateTimeTest, NowIsAPlausibleDate) {
  int y = 0, m = 0, d = 0;
  DecodeDate(NowLocal(), y, m, d);
  EXPECT_GE(y, 2020);
  EXPECT_LE(y, 9999);
}

TEST(DateTimeTest, FloorToInt64RoundsTowardsTheSmaller) {
  const struct {
    double value;
    int64_t floor;
  } cases[] = {{0.0, 0},          {0.5, 0},         {-0.5, -1},           {-1.0, -1},
               {45000.999, 45000}, {-45000.25, -45001}, {1.7e9 + 0.5, 1700000000}};
  for (const auto& c : cases) EXPECT_EQ(FloorToInt64(c.value), c.floor) << c.value;
}

}  // namespace
}  // namespace zud
