// Calendar arithmetic of FindRecord times (see find_record.h).
#include "walker/find_record.h"

namespace {

bool IsLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t DaysInMonth(int32_t year, int32_t month) {
  static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

int32_t LocalCalendarToSeconds(const CalendarTime& local, int64_t utcBiasSeconds) {
  if (local.year < 1970 || local.year > 2038) return -1;
  if (local.month < 1 || local.month > 12) return -1;
  if (local.day < 1 || local.day > DaysInMonth(local.year, local.month)) return -1;
  if (local.hour < 0 || local.hour > 23 || local.minute < 0 || local.minute > 59 ||
      local.second < 0 || local.second > 59)
    return -1;
  int64_t days = 0;
  for (int32_t year = 1970; year < local.year; ++year) days += IsLeapYear(year) ? 366 : 365;
  for (int32_t month = 1; month < local.month; ++month) days += DaysInMonth(local.year, month);
  days += local.day - 1;
  int64_t seconds = days * 86400 + local.hour * 3600 + local.minute * 60 + local.second;
  seconds += utcBiasSeconds;
  // Early 1970 east of Greenwich and late 2038 fall outside the 32-bit count.
  if (seconds < 0 || seconds > INT32_MAX) return -1;
  return static_cast<int32_t>(seconds);
}
