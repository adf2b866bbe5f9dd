// How a scan tells its front end what it does: a plain table of functions
// and the front end's context. The dialog, a console scanner and the tests'
// recorder each fill one; the scan never knows which it talks to.
// Platform-neutral. Any entry may be null: the scan then says nothing there.
#pragma once
#include <cstdint>

// What became of one detection (or of a file that could not be looked at).
enum ScanRowStatus : uint32_t {
  kRowRemoved = 1,
  kRowRemovalFailed = 2,
  kRowLeftInPlace = 3,  // found; the run was asked not to change anything
  kRowQuarantined = 4,
  kRowNotExamined = 5,  // could not be read; no detection name
  kRowScheduledAtRestart = 6,
};

// Where the run stands; the front end chooses what to draw from it.
struct ScanPosition {
  uint64_t filesExamined;
  uint64_t bytesExamined;
  // Share of the estimated total, or kUnknownShare when there is no estimate.
  uint32_t percent;
};
enum : uint32_t { kUnknownShare = 0xFFFFFFFFu };

// The counters of a whole run.
struct ScanTotals {
  uint64_t filesExamined;
  uint64_t bytesExamined;
  uint32_t detections;
  uint32_t removed;      // removed now or scheduled at restart
  uint32_t quarantined;
  uint32_t leftInPlace;
  uint32_t failures;     // detections the run was asked to handle and could not
  uint32_t notExamined;  // files and directories that could not be read
  // The memory pass's, where there is one: executable modules examined and
  // resident processes found. The file pass's counts are the ones above.
  uint32_t memoryModulesExamined;
  uint32_t memoryDetections;
};

struct ScanReport {
  void (*progress)(void* context, const ScanPosition* position);
  void (*currentPath)(void* context, const char* path);
  // `detectionName` is the empty text for kRowNotExamined.
  void (*resultRow)(void* context, const char* path, const char* detectionName, ScanRowStatus status);
  void (*runEnded)(void* context, const ScanTotals* totals);
  // Non-zero when the user asked the run to stop.
  int (*stopRequested)(void* context);
  void* context;
};

// Calls that tolerate a null report or a null entry.
inline void ReportProgress(const ScanReport* r, const ScanPosition& p) {
  if (r && r->progress) r->progress(r->context, &p);
}
inline void ReportCurrentPath(const ScanReport* r, const char* path) {
  if (r && r->currentPath) r->currentPath(r->context, path);
}
inline void ReportResultRow(const ScanReport* r, const char* path, const char* name, ScanRowStatus status) {
  if (r && r->resultRow) r->resultRow(r->context, path, name, status);
}
inline void ReportRunEnded(const ScanReport* r, const ScanTotals& totals) {
  if (r && r->runEnded) r->runEnded(r->context, &totals);
}
inline int ReportStopRequested(const ScanReport* r) {
  return r && r->stopRequested ? r->stopRequested(r->context) : 0;
}
