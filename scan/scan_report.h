// How a scan tells its front end what it does: a plain table of functions
// and the front end's context. The dialog, a console scanner and the tests'
// recorder each fill one; the scan never knows which it talks to.
// Platform-neutral. Any entry may be null: the scan then says nothing there.
#pragma once
#include <cstdint>

#include "remedy/run_value_events.h"

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

// The one ledger of a whole run: every pass and every front end counts here.
struct ScanTotals {
  uint64_t filesExamined;  // read as far as the check needed; not the unreadable ones
  uint64_t bytesExamined;  // their listed sizes
  uint32_t detections;     // of both passes
  uint32_t fileDetections;  // the file pass's part of them
  uint32_t removed;        // removed now or scheduled at restart
  uint32_t quarantined;
  uint32_t leftInPlace;
  uint32_t failures;       // detections the run was asked to handle and could not
  uint32_t fileFailures;   // the file pass's part of them
  uint32_t notExamined;    // files and directories that could not be read
  uint32_t restartNeeded;  // removals that happen only at the next restart (among `removed`)
  // The memory pass's, where there is one: executable modules examined and
  // resident processes found. Its rows count in `detections` too.
  uint32_t memoryModulesExamined;
  uint32_t memoryDetections;
  // The Run values of what was taken away.
  uint32_t runValuesDeleted;
  uint32_t hivesCleaned;      // hives or keys from which values were deleted
  // A detection-only run's preview: values a writing run would delete.
  // Neither deleted nor trouble.
  uint32_t runValuesWouldDelete;
  uint32_t registryTroubles;  // hives or keys refused, failed or not examined
  uint32_t stopped;           // 1 when the user stopped the run before its end
  uint32_t excluded;          // files and paths of the walk left out as asked
};

// Which pass a row comes from.
enum ScanPass : uint32_t {
  kPassFile = 0,
  kPassMemory = 1,
};

// One row of the results.
struct ScanRow {
  const char* path;
  const char* detectionName;  // the empty text for kRowNotExamined
  ScanRowStatus status;
  const char* reason;  // why it was not examined or not handled, else the empty text
  ScanPass pass;
};

struct ScanReport {
  void (*progress)(void* context, const ScanPosition* position);
  void (*currentPath)(void* context, const char* path);
  void (*resultRow)(void* context, const ScanRow* row);
  void (*runEnded)(void* context, const ScanTotals* totals);
  // Non-zero when the user asked the run to stop.
  int (*stopRequested)(void* context);
  // Each Run value deleted, and each hive or key not cleaned.
  void (*runValueDeleted)(void* context, const RunValueDeletion* deletion);
  void (*registryTrouble)(void* context, RunValueTrouble kind, const char* where, const char* reason);
  // Just before a detection is removed or quarantined: a record kept as the
  // run goes can name the file even when the run dies before its row.
  void (*changeAhead)(void* context, const char* path, const char* detectionName, uint32_t action);
  void* context;
};

// Calls that tolerate a null report or a null entry.
inline void ReportProgress(const ScanReport* r, const ScanPosition& p) {
  if (r && r->progress) r->progress(r->context, &p);
}
inline void ReportCurrentPath(const ScanReport* r, const char* path) {
  if (r && r->currentPath) r->currentPath(r->context, path);
}
inline void ReportRow(const ScanReport* r, const ScanRow& row) {
  if (r && r->resultRow) r->resultRow(r->context, &row);
}
inline void ReportRunEnded(const ScanReport* r, const ScanTotals& totals) {
  if (r && r->runEnded) r->runEnded(r->context, &totals);
}
inline void ReportChangeAhead(const ScanReport* r, const char* path, const char* name, uint32_t action) {
  if (r && r->changeAhead) r->changeAhead(r->context, path, name, action);
}
inline int ReportStopRequested(const ScanReport* r) {
  return r && r->stopRequested ? r->stopRequested(r->context) : 0;
}
