#include "calendar.h"

namespace ceplatform {
namespace {

// Days from 0000-03-01 to 1601-01-01 in the era arithmetic below.
constexpr int64_t kEpochShift = 584694;

}  // namespace

bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

// Years begin on 1 March so that the leap day ends them; eras are 400 years.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - kEpochShift;
}

void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  days += kEpochShift;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = year_of_era + era * 400 + (*month <= 2);
}

int DayOfWeek(int64_t days) {
  // 1601-01-01 was a Monday.
  int64_t weekday = (days + 1) % 7;
  return static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
}

}  // namespace ceplatform
