// Proleptic Gregorian calendar arithmetic on day counts from 1 January 1601,
// the origin of FILETIME.
#ifndef CEPLATFORM_CALENDAR_H_
#define CEPLATFORM_CALENDAR_H_

#include <cstdint>

namespace ceplatform {

bool IsLeapYear(int64_t year);
// 28 to 31; 0 for a month outside 1..12.
int DaysInMonth(int64_t year, int month);
// Days from 1601-01-01 to the date (negative before it). REQUIRES: a valid date.
int64_t DaysFromCivil(int64_t year, int month, int day);
// The date `days` after 1601-01-01.
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);
// 0 = Sunday.
int DayOfWeek(int64_t days);

}  // namespace ceplatform

#endif  // CEPLATFORM_CALENDAR_H_
