// Local calendar time to the 32-bit seconds of a FindRecord: the limits.
#include <gtest/gtest.h>

#include "walker/find_record.h"

namespace {

struct TimeRow {
  const char* what;
  CalendarTime local;
  int64_t bias;
  int32_t expected;
};

TEST(LocalCalendarToSeconds, Table) {
  const TimeRow rows[] = {
      {"epoch", {1970, 1, 1, 0, 0, 0}, 0, 0},
      {"one second", {1970, 1, 1, 0, 0, 1}, 0, 1},
      {"end of 1970", {1970, 12, 31, 23, 59, 59}, 0, 31535999},
      {"leap day 2000", {2000, 2, 29, 12, 0, 0}, 0, 951825600},
      {"after leap day 2000", {2000, 3, 1, 0, 0, 0}, 0, 951868800},
      {"1900 rule: 2100 not reached, 2000 leap", {2001, 1, 1, 0, 0, 0}, 0, 978307200},
      {"billennium", {2001, 9, 9, 1, 46, 40}, 0, 1000000000},
      {"last 32-bit second", {2038, 1, 19, 3, 14, 7}, 0, 2147483647},
      {"one past the 32-bit range", {2038, 1, 19, 3, 14, 8}, 0, -1},
      {"late 2038", {2038, 12, 31, 23, 59, 59}, 0, -1},
      {"2039", {2039, 1, 1, 0, 0, 0}, 0, -1},
      {"1969", {1969, 12, 31, 23, 59, 59}, 0, -1},
      {"1601 (file time zero)", {1601, 1, 1, 0, 0, 0}, 0, -1},
      // UTC = local + bias: UTC+8 has bias -8 h, New York in winter +5 h.
      {"Beijing noon", {2001, 9, 9, 9, 46, 40}, -8 * 3600, 1000000000},
      {"New York", {2001, 9, 8, 20, 46, 40}, 5 * 3600, 1000000000},
      {"local 1970 east of Greenwich is before the epoch", {1970, 1, 1, 0, 30, 0}, -3600, -1},
      {"local year 1969 is refused although UTC is 1970", {1969, 12, 31, 23, 0, 0}, 7200, -1},
      {"2038 west of Greenwich overflows", {2038, 1, 19, 0, 0, 0}, 5 * 3600, -1},
      {"2038 east of Greenwich fits", {2038, 1, 19, 11, 14, 7}, -8 * 3600, 2147483647},
      {"month 0", {2000, 0, 1, 0, 0, 0}, 0, -1},
      {"month 13", {2000, 13, 1, 0, 0, 0}, 0, -1},
      {"February 29 of a common year", {2001, 2, 29, 0, 0, 0}, 0, -1},
      {"day 0", {2000, 1, 0, 0, 0, 0}, 0, -1},
      {"hour 24", {2000, 1, 1, 24, 0, 0}, 0, -1},
      {"second 60", {2000, 1, 1, 0, 0, 60}, 0, -1},
  };
  for (const TimeRow& row : rows)
    EXPECT_EQ(row.expected, LocalCalendarToSeconds(row.local, row.bias)) << row.what;
}

}  // namespace
