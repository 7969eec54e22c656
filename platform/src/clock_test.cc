#include <stdlib.h>
#include <cstdlib>
#include <time.h>

#include "ceplatform.h"
#include "gtest/gtest.h"
#include "wince_kernel.h"

namespace {

// The local zone of this test program is Japan's (nine hours ahead of UTC, no
// summer time), set before the platform reads the zone for the first time.
const bool kZoneSet = setenv("TZ", "JST-9", 1) == 0;

uint64_t Ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

SYSTEMTIME Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int millisecond = 0) {
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  time.wMilliseconds = static_cast<WORD>(millisecond);
  return time;
}

// Reference values from python3's datetime.
struct KnownTime {
  SYSTEMTIME time;
  uint64_t ticks;
  int day_of_week;
};
const KnownTime kKnownTimes[] = {
    {Date(1601, 1, 1), 0, 1},
    {Date(1601, 3, 1), 50976000000000ULL, 4},
    {Date(1970, 1, 1), 116444736000000000ULL, 4},
    {Date(2000, 1, 1), 125911584000000000ULL, 6},
    {Date(2000, 2, 29, 12, 34, 56, 789), 125963012967890000ULL, 2},
    {Date(2024, 12, 31, 23, 59, 59, 999), 133801631999990000ULL, 2},
    {Date(9999, 12, 31, 23, 59, 59, 999), 2650467743999990000ULL, 5},
    {Date(30827, 12, 31, 23, 59, 59, 999), 9223149887999990000ULL, 5},
};

TEST(ClockTest, SystemTimeToFileTimeKnownValues) {
  for (const KnownTime& known : kKnownTimes) {
    FILETIME file_time{};
    ASSERT_TRUE(SystemTimeToFileTime(&known.time, &file_time)) << known.time.wYear;
    EXPECT_EQ(known.ticks, Ticks(file_time)) << known.time.wYear << "-" << known.time.wMonth;
  }
}

TEST(ClockTest, FileTimeToSystemTimeKnownValues) {
  for (const KnownTime& known : kKnownTimes) {
    FILETIME file_time = FromTicks(known.ticks);
    SYSTEMTIME time{};
    ASSERT_TRUE(FileTimeToSystemTime(&file_time, &time)) << known.ticks;
    EXPECT_EQ(known.time.wYear, time.wYear);
    EXPECT_EQ(known.time.wMonth, time.wMonth);
    EXPECT_EQ(known.time.wDay, time.wDay);
    EXPECT_EQ(known.time.wHour, time.wHour);
    EXPECT_EQ(known.time.wMinute, time.wMinute);
    EXPECT_EQ(known.time.wSecond, time.wSecond);
    EXPECT_EQ(known.time.wMilliseconds, time.wMilliseconds);
    EXPECT_EQ(known.day_of_week, time.wDayOfWeek) << known.ticks;
  }
}

TEST(ClockTest, EveryDayOfFourCenturiesRoundTrips) {
  // From 1900 (not a leap year) past 2000 (a leap year) to 2300.
  SYSTEMTIME start = Date(1900, 1, 1, 13, 14, 15, 16);
  FILETIME file_time;
  ASSERT_TRUE(SystemTimeToFileTime(&start, &file_time));
  const uint64_t kDay = 864000000000ULL;
  int expected_weekday = 1;  // 1900-01-01 was a Monday
  for (int i = 0; i < 400 * 366; ++i) {
    FILETIME day = FromTicks(Ticks(file_time) + i * kDay);
    SYSTEMTIME time;
    ASSERT_TRUE(FileTimeToSystemTime(&day, &time));
    ASSERT_EQ((expected_weekday + i) % 7, time.wDayOfWeek) << i;
    FILETIME back;
    ASSERT_TRUE(SystemTimeToFileTime(&time, &back)) << time.wYear << "-" << time.wMonth;
    ASSERT_EQ(Ticks(day), Ticks(back)) << time.wYear << "-" << time.wMonth << "-" << time.wDay;
  }
}

TEST(ClockTest, InvalidCalendarTimesAreRefused) {
  const SYSTEMTIME kInvalid[] = {
      Date(2000, 0, 1),   Date(2000, 13, 1),  Date(2000, 1, 0),
      Date(2000, 1, 32),  Date(2000, 4, 31),  Date(1900, 2, 29),
      Date(2001, 2, 29),  Date(2000, 2, 30),  Date(1600, 12, 31),
      Date(30828, 1, 1),  Date(0, 1, 1),      Date(2000, 1, 1, 24),
      Date(2000, 1, 1, 0, 60), Date(2000, 1, 1, 0, 0, 60), Date(2000, 1, 1, 0, 0, 0, 1000),
  };
  for (const SYSTEMTIME& time : kInvalid) {
    FILETIME file_time = FromTicks(42);
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&time, &file_time))
        << time.wYear << "-" << time.wMonth << "-" << time.wDay << " " << time.wHour << ":"
        << time.wMinute << ":" << time.wSecond << "." << time.wMilliseconds;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(42u, Ticks(file_time));
  }
  SYSTEMTIME leap = Date(2000, 2, 29);
  FILETIME file_time;
  EXPECT_TRUE(SystemTimeToFileTime(&leap, &file_time));
  EXPECT_FALSE(SystemTimeToFileTime(nullptr, &file_time));
  EXPECT_FALSE(SystemTimeToFileTime(&leap, nullptr));
}

TEST(ClockTest, FileTimesPastTheLastYearAreRefused) {
  const uint64_t kTooLate[] = {9223149888000000000ULL, 0x7FFFFFFFFFFFFFFFULL,
                               0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL};
  for (uint64_t ticks : kTooLate) {
    FILETIME file_time = FromTicks(ticks);
    SYSTEMTIME time{};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&file_time, &time)) << ticks;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

TEST(ClockTest, FixedClockIsReadByBothClocks) {
  SYSTEMTIME fixed = Date(2005, 7, 9, 21, 5, 30, 250);
  fixed.wDayOfWeek = 0;  // wrong on purpose: the platform works it out
  PlatformFixClock(&fixed);
  SYSTEMTIME local{}, system{};
  GetLocalTime(&local);
  GetSystemTime(&system);
  PlatformFixClock(nullptr);
  for (const SYSTEMTIME* time : {&local, &system}) {
    EXPECT_EQ(2005, time->wYear);
    EXPECT_EQ(7, time->wMonth);
    EXPECT_EQ(9, time->wDay);
    EXPECT_EQ(6, time->wDayOfWeek);  // a Saturday
    EXPECT_EQ(21, time->wHour);
    EXPECT_EQ(5, time->wMinute);
    EXPECT_EQ(30, time->wSecond);
    EXPECT_EQ(250, time->wMilliseconds);
  }
}

TEST(ClockTest, RunningClockUsesTheLocalZone) {
  ASSERT_TRUE(kZoneSet);
  PlatformFixClock(nullptr);
  SYSTEMTIME local{}, system{};
  GetSystemTime(&system);
  GetLocalTime(&local);
  FILETIME local_ticks, system_ticks;
  ASSERT_TRUE(SystemTimeToFileTime(&local, &local_ticks));
  ASSERT_TRUE(SystemTimeToFileTime(&system, &system_ticks));
  const int64_t kNineHours = 9LL * 3600 * 10000000;
  int64_t offset = static_cast<int64_t>(Ticks(local_ticks) - Ticks(system_ticks));
  // The two readings are moments apart; allow a minute between them.
  EXPECT_LT(std::llabs(offset - kNineHours), 60LL * 10000000) << offset;

  // And UTC is the machine's clock.
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  SYSTEMTIME expected = Date(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                             utc.tm_min, utc.tm_sec);
  FILETIME expected_ticks;
  ASSERT_TRUE(SystemTimeToFileTime(&expected, &expected_ticks));
  int64_t drift = static_cast<int64_t>(Ticks(system_ticks) - Ticks(expected_ticks));
  EXPECT_LT(std::llabs(drift), 60LL * 10000000) << drift;
}

}  // namespace
