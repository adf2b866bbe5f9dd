// The file pass's progress arithmetic: cluster rounding, percent, the
// status-line rhythm and the used-space total.
#include <gtest/gtest.h>

#include "scan/progress.h"

namespace {

TEST(ClusterRoundedSize, WholeClustersPlusOne) {
  struct Row {
    uint32_t size, cluster;
    uint64_t expected;
  } rows[] = {
      {0, 4096, 4096},          {1, 4096, 4096},         {4095, 4096, 4096},
      {4096, 4096, 8192},       {4097, 4096, 8192},      {1536, 512, 2048},
      {94126, 4096, 94208},     {0xFFFFFFFFu, 4096, 0x100000000ull},
      {100, 0, 4096},  // a cluster size of 0 falls back to 4096
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.expected, ClusterRoundedSize(row.size, row.cluster)) << row.size << "/" << row.cluster;
}

TEST(ProgressPercent, SignedTruncatingAndNeverDividingByZero) {
  struct Row {
    uint64_t done, total;
    int64_t expected;
  } rows[] = {
      {0, 1000, 0},       {999, 1000, 99},    {1000, 1000, 100},  {1019, 1000, 101},
      {8192, 1000, 819},  {50, 199, 50},      {5, 99, 5},         {5, 0, 5},
      {4096, 0xFFFFFFFFu, 0},  {43000000, 0xFFFFFFFFu, 1},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.expected, ProgressPercent(row.done, row.total)) << row.done << "/" << row.total;
}

ProgressEstimate Fresh(uint64_t total, uint32_t cluster) {
  ProgressEstimate counters{};
  counters.totalBytes = total;
  counters.clusterSize = cluster;
  return counters;
}

TEST(AdvanceFileProgress, BarMovesOnlyWhenThePercentGrows) {
  ProgressEstimate counters = Fresh(409600, 4096);  // 1% = 4096 bytes
  FileProgress step = AdvanceFileProgress(&counters, 0);
  EXPECT_EQ(1, step.moveBar);
  EXPECT_EQ(1, step.position);
  EXPECT_EQ(4096u, counters.bytesDone);
  step = AdvanceFileProgress(&counters, 4096);  // adds 8192: 3%
  EXPECT_EQ(1, step.moveBar);
  EXPECT_EQ(3, step.position);
  counters.totalBytes = 4096 * 1000;  // 12288 of 40960 per percent: no growth
  step = AdvanceFileProgress(&counters, 10);
  EXPECT_EQ(0, step.moveBar);
  EXPECT_EQ(3, counters.lastPercent);
}

TEST(AdvanceFileProgress, PercentAboveHundredAndSaturation) {
  ProgressEstimate counters = Fresh(1000, 4096);  // every empty file adds 409%
  FileProgress step = AdvanceFileProgress(&counters, 0);
  EXPECT_EQ(1, step.moveBar);
  EXPECT_EQ(409, step.position);
  for (int i = 0; i < 200; ++i) step = AdvanceFileProgress(&counters, 0);
  // 201 files: 82329 %, beyond 16 bits; the last percent holds at 0xFFFF.
  EXPECT_EQ(0xFFFF, counters.lastPercent);
  step = AdvanceFileProgress(&counters, 0);
  EXPECT_EQ(0, step.moveBar);
  EXPECT_EQ(0xFFFF, counters.lastPercent);
}

TEST(AdvanceFileProgress, StatusLineEveryTenthFile) {
  ProgressEstimate counters = Fresh(kUnknownTotalBytes, 4096);
  for (uint32_t file = 1; file <= 30; ++file) {
    FileProgress step = AdvanceFileProgress(&counters, 100);
    EXPECT_EQ(file % 10 == 0, step.showPath != 0) << "file " << file;
    EXPECT_EQ(file, counters.filesCounted);
  }
}

TEST(TotalUsedBytes, SumFallbacks) {
  DriveSpace two[] = {{1, 1000}, {1, 234}};
  EXPECT_EQ(1234u, TotalUsedBytes(two, 2));
  DriveSpace failing[] = {{1, 1000}, {0, 0}, {1, 5}};
  EXPECT_EQ(kUnknownTotalBytes, TotalUsedBytes(failing, 3));
  DriveSpace empty[] = {{1, 0}};
  EXPECT_EQ(kUnknownTotalBytes, TotalUsedBytes(empty, 1));
  EXPECT_EQ(kUnknownTotalBytes, TotalUsedBytes(nullptr, 0));
  DriveSpace big[] = {{1, 0x300000000ull}, {1, 0x100000000ull}};
  EXPECT_EQ(0x400000000ull, TotalUsedBytes(big, 2));
}

}  // namespace
