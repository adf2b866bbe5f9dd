// The version code table: every known release and the combinations around it.
#include <gtest/gtest.h>

#include "sys/os_version.h"

namespace {

struct VersionRow {
  uint32_t platform, major, minor;
  int32_t code;
};

TEST(MapOsVersion, Table) {
  const VersionRow rows[] = {
      {1, 4, 0, 95},    {1, 4, 10, 98},   {1, 4, 90, 99},   {2, 4, 0, 40},    {2, 3, 51, 351},
      {2, 5, 0, 2000},  {2, 5, 1, 2002},  {2, 5, 2, 2003},
      // The same numbers on the wrong platform, or on none.
      {0, 4, 0, 0},     {2, 4, 10, 0},    {2, 4, 90, 0},    {1, 3, 51, 0},    {1, 5, 0, 0},
      {1, 5, 1, 0},     {0, 5, 2, 0},     {3, 4, 0, 0},
      // Releases the table does not know.
      {2, 5, 3, 0},     {2, 6, 0, 0},     {2, 6, 1, 0},     {2, 10, 0, 0},    {1, 4, 1, 0},
      {2, 3, 50, 0},    {2, 3, 10, 0},    {1, 4, 91, 0},    {2, 4, 1, 0},
  };
  for (const VersionRow& row : rows)
    EXPECT_EQ(row.code, MapOsVersion(row.platform, row.major, row.minor))
        << "platform " << row.platform << " version " << row.major << "." << row.minor;
}

}  // namespace
