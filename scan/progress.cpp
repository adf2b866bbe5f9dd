// Progress arithmetic of the file pass (see progress.h).
#include "scan/progress.h"

uint64_t ClusterRoundedSize(uint32_t size, uint32_t clusterSize) {
  if (clusterSize == 0) clusterSize = kFallbackClusterSize;
  return static_cast<uint64_t>(size) - size % clusterSize + clusterSize;
}

int64_t ProgressPercent(uint64_t bytesDone, uint64_t totalBytes) {
  int64_t divisor = static_cast<int64_t>(totalBytes) / 100;
  if (divisor <= 0) divisor = 1;
  return static_cast<int64_t>(bytesDone) / divisor;
}

FileProgress AdvanceFileProgress(ProgressEstimate* counters, uint32_t size) {
  FileProgress result = {0, counters->lastPercent, 0};
  counters->bytesDone += ClusterRoundedSize(size, counters->clusterSize);
  counters->filesCounted += 1;
  int64_t percent = ProgressPercent(counters->bytesDone, counters->totalBytes);
  if (percent > 0xFFFF) percent = 0xFFFF;
  if (percent > counters->lastPercent) {
    counters->lastPercent = static_cast<uint16_t>(percent);
    result.moveBar = 1;
    result.position = counters->lastPercent;
  }
  result.showPath = counters->filesCounted % kStatusLineInterval == 0;
  return result;
}

uint64_t TotalUsedBytes(const DriveSpace* drives, uint32_t count) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!drives[i].known) return kUnknownTotalBytes;
    total += drives[i].used;
  }
  return total == 0 ? static_cast<uint64_t>(kUnknownTotalBytes) : total;
}
