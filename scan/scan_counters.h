// The counters and progress values of one scan run, shared by the passes and
// the summary. Platform-neutral.
#pragma once
#include <cstdint>

struct ScanCounters {
  uint32_t memoryModulesScanned;
  uint32_t filesScanned;
  uint32_t memoryDetections;
  uint32_t fileDetections;
  uint32_t fileRemovalFailures;
  uint64_t bytesDone;
  uint64_t totalBytes;
  uint32_t clusterSize;
  uint16_t lastPercent;
};

// The process-wide counters; written by the scan thread only, kept between
// runs and reset at the start of the next.
extern ScanCounters gScanCounters;

inline const ScanCounters& CurrentScanCounters() { return gScanCounters; }
