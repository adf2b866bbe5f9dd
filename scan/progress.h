// Progress estimate of the file pass: files counted as whole clusters against
// the used space of all fixed drives. Platform-neutral.
#pragma once
#include <cstdint>


enum : uint32_t {
  kFallbackClusterSize = 4096,
  // Total bytes when the used space is unknown or zero.
  kUnknownTotalBytes = 0xFFFFFFFFu,
  // The status line shows every this-many-th file.
  kStatusLineInterval = 10,
};

// Size rounded down to whole clusters plus one more cluster: a file of
// exactly one cluster counts as two, an empty file as one.
uint64_t ClusterRoundedSize(uint32_t size, uint32_t clusterSize);

// bytesDone / (totalBytes / 100) in signed 64-bit arithmetic. A total below
// 100 bytes divides by 1 instead of 0. May exceed 100.
int64_t ProgressPercent(uint64_t bytesDone, uint64_t totalBytes);

// What one file changes on the window.
struct FileProgress {
  int moveBar;        // set the bar to `position`
  uint16_t position;  // the new last percent
  int showPath;       // show this file's path on the status line
};

// The estimate of one run: files counted as whole clusters against the used
// space of the drives walked.
struct ProgressEstimate {
  uint32_t filesCounted;
  uint64_t bytesDone;  // cluster-rounded; the estimate's own, not the bytes examined
  uint64_t totalBytes;
  uint32_t clusterSize;  // of the drive being walked
  uint16_t lastPercent;
};

// Counts one file of `size` bytes (bytes done, files counted, last percent).
// The last percent saturates at 0xFFFF rather than wrapping, so the bar
// never moves backwards.
FileProgress AdvanceFileProgress(ProgressEstimate* estimate, uint32_t size);

// Used space of one fixed drive, as far as the query got.
struct DriveSpace {
  int known;
  uint64_t used;
};

// Total of the used spaces in drive order; an unknown one makes the total
// kUnknownTotalBytes (the caller asks no further drive), and so does a sum of
// 0 (no fixed drive, or empty ones).
uint64_t TotalUsedBytes(const DriveSpace* drives, uint32_t count);
