// The scan run (see scan_run_win32.h).
#include "scan/scan_run_win32.h"

#include <windows.h>

#include "remedy/autorun_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "sys/fs_redirection_win32.h"

namespace {

enum : uint32_t {
  // Terminated processes need a moment to release their files.
  kAfterMemoryPauseMs = 2000,
};

ScanTotals TotalsOf(const ScanCounters& counters) {
  ScanTotals totals{};
  totals.filesExamined = counters.filesScanned;
  totals.bytesExamined = counters.bytesDone;
  totals.detections = counters.fileDetections;
  totals.removed = counters.fileDetections - counters.fileRemovalFailures;
  totals.failures = counters.fileRemovalFailures;
  totals.memoryModulesExamined = counters.memoryModulesScanned;
  totals.memoryDetections = counters.memoryDetections;
  return totals;
}

}  // namespace

void RunScan(const ScanReport* report) {
  FsRedirectionOff trueNames;  // under WOW64, every file under its true path
  ScanCounters& counters = gScanCounters;
  counters.memoryModulesScanned = 0;
  counters.filesScanned = 0;
  counters.memoryDetections = 0;
  counters.fileDetections = 0;
  counters.fileRemovalFailures = 0;
  counters.bytesDone = 0;
  BeginAutorunRestoreSection();

  counters.lastPercent = 0;
  ReportProgress(report, ScanPosition{0, 0, 0});

  if (!ReportStopRequested(report)) {
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    ScanMemory(report);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  }
  if (counters.memoryDetections > 0) Sleep(kAfterMemoryPauseMs);

  if (!ReportStopRequested(report)) {
    ScanFixedDrives(report);
    if (!ReportStopRequested(report))
      ReportProgress(report, ScanPosition{counters.filesScanned, counters.bytesDone, 100});
  }
  ReportRunEnded(report, TotalsOf(counters));
}
