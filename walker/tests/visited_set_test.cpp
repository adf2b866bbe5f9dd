// The visited set: a key is new once, the second key 0 is a key like any
// other (not the free mark), keys of one second number under several first
// numbers stay apart, and growth past the first tables keeps every key.
#include <gtest/gtest.h>

#include <cstdint>

#include "walker/visited_set.h"

namespace {

TEST(VisitedSet, EachKeyIsNewOnceAcrossGroupsAndGrowth) {
  VisitedSet set;
  InitVisitedSet(&set);
  EXPECT_FALSE(InVisitedSet(&set, 7, 0));
  struct Row {
    uint64_t first, second;
    int added;
  } rows[] = {
      {7, 0, 1}, {7, 0, 0},                  // 0 is held, not taken for a free slot
      {7, 1, 1}, {8, 1, 1}, {7, 1, 0},       // the same inode on another device is another key
      {0, 5, 1}, {UINT64_MAX, UINT64_MAX, 1}, {UINT64_MAX, UINT64_MAX, 0},
  };
  for (const Row& r : rows) EXPECT_EQ(r.added, AddToVisitedSet(&set, r.first, r.second)) << r.first << "/" << r.second;
  EXPECT_EQ(5u, VisitedSetCount(&set));
  EXPECT_FALSE(InVisitedSet(&set, 8, 0));
  EXPECT_FALSE(InVisitedSet(&set, 9, 1));

  // Many keys in two groups, spread and clustered (consecutive inodes), far
  // past the first table: every one is new once and held afterwards.
  const uint64_t kMany = 100000;
  for (uint64_t i = 1; i <= kMany; ++i) {
    ASSERT_EQ(1, AddToVisitedSet(&set, 42, i)) << i;
    ASSERT_EQ(1, AddToVisitedSet(&set, 43, i * 0x100000001ull)) << i;
  }
  for (uint64_t i = 1; i <= kMany; ++i) {
    ASSERT_TRUE(InVisitedSet(&set, 42, i)) << i;
    ASSERT_EQ(0, AddToVisitedSet(&set, 43, i * 0x100000001ull)) << i;
  }
  EXPECT_FALSE(InVisitedSet(&set, 42, kMany + 1));
  EXPECT_FALSE(InVisitedSet(&set, 42, 0));
  EXPECT_EQ(5u + 2 * kMany, VisitedSetCount(&set));
  FreeVisitedSet(&set);
  EXPECT_EQ(0u, VisitedSetCount(&set));
  EXPECT_FALSE(InVisitedSet(&set, 7, 1));
}

}  // namespace
