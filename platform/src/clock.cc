// The clock, the FILETIME conversions and the test hook that fixes the clock.
#include <time.h>

#include <mutex>

#include "calendar.h"
#include "ceplatform.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace {

constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kTicksPerDay = 86400LL * 1000 * kTicksPerMillisecond;
constexpr int64_t kFirstYear = 1601;
constexpr int64_t kLastYear = 30827;

struct FixedClock {
  std::mutex mutex;
  bool fixed = false;
  SYSTEMTIME time{};
};

FixedClock& TheFixedClock() {
  static FixedClock* clock = new FixedClock();  // read during static teardown too
  return *clock;
}

bool ReadFixedClock(SYSTEMTIME* time) {
  FixedClock& clock = TheFixedClock();
  std::lock_guard<std::mutex> lock(clock.mutex);
  if (!clock.fixed) return false;
  *time = clock.time;
  return true;
}

bool IsValid(const SYSTEMTIME& t) {
  return t.wYear >= kFirstYear && t.wYear <= kLastYear && t.wMonth >= 1 && t.wMonth <= 12 &&
         t.wDay >= 1 && t.wDay <= DaysInMonth(t.wYear, t.wMonth) && t.wHour < 24 &&
         t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

void ReadClock(bool local, SYSTEMTIME* time) {
  if (ReadFixedClock(time)) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm fields;
  if (local) {
    static const bool zone_read = [] {
      tzset();  // localtime_r need not read TZ itself
      return true;
    }();
    (void)zone_read;
    if (localtime_r(&now.tv_sec, &fields) == nullptr) gmtime_r(&now.tv_sec, &fields);
  } else {
    gmtime_r(&now.tv_sec, &fields);
  }
  time->wYear = static_cast<WORD>(fields.tm_year + 1900);
  time->wMonth = static_cast<WORD>(fields.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(fields.tm_wday);
  time->wDay = static_cast<WORD>(fields.tm_mday);
  time->wHour = static_cast<WORD>(fields.tm_hour);
  time->wMinute = static_cast<WORD>(fields.tm_min);
  // A leap second reads as the last second of the minute.
  time->wSecond = static_cast<WORD>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

}  // namespace
}  // namespace ceplatform

extern "C" {

void GetLocalTime(LPSYSTEMTIME time) {
  if (time != nullptr) ceplatform::ReadClock(true, time);
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (time != nullptr) ceplatform::ReadClock(false, time);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME fileTime) {
  if (time == nullptr || fileTime == nullptr || !ceplatform::IsValid(*time)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days = ceplatform::DaysFromCivil(time->wYear, time->wMonth, time->wDay);
  int64_t milliseconds =
      ((time->wHour * 60LL + time->wMinute) * 60 + time->wSecond) * 1000 + time->wMilliseconds;
  uint64_t ticks = static_cast<uint64_t>(days * ceplatform::kTicksPerDay +
                                         milliseconds * ceplatform::kTicksPerMillisecond);
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME time) {
  if (fileTime == nullptr || time == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t ticks = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) |
                   fileTime->dwLowDateTime;
  int64_t days = static_cast<int64_t>(ticks / ceplatform::kTicksPerDay);
  int64_t milliseconds = static_cast<int64_t>(ticks % ceplatform::kTicksPerDay) /
                         ceplatform::kTicksPerMillisecond;
  int64_t year;
  int month, day;
  ceplatform::CivilFromDays(days, &year, &month, &day);
  if (year > ceplatform::kLastYear) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  time->wYear = static_cast<WORD>(year);
  time->wMonth = static_cast<WORD>(month);
  time->wDayOfWeek = static_cast<WORD>(ceplatform::DayOfWeek(days));
  time->wDay = static_cast<WORD>(day);
  time->wHour = static_cast<WORD>(milliseconds / 3600000);
  time->wMinute = static_cast<WORD>(milliseconds / 60000 % 60);
  time->wSecond = static_cast<WORD>(milliseconds / 1000 % 60);
  time->wMilliseconds = static_cast<WORD>(milliseconds % 1000);
  return TRUE;
}

void PlatformFixClock(const SYSTEMTIME* time) {
  ceplatform::FixedClock& clock = ceplatform::TheFixedClock();
  std::lock_guard<std::mutex> lock(clock.mutex);
  clock.fixed = time != nullptr;
  if (time == nullptr) return;
  clock.time = *time;
  // The day of the week follows from the date; the caller need not work it out.
  if (ceplatform::IsValid(*time)) {
    clock.time.wDayOfWeek = static_cast<WORD>(ceplatform::DayOfWeek(
        ceplatform::DaysFromCivil(time->wYear, time->wMonth, time->wDay)));
  }
}

}  // extern "C"
