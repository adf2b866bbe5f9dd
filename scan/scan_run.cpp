// The scan run (see scan_run.h).
#include "scan/scan_run.h"

#include <windows.h>

#include <cstdio>

#include "remedy/autorun.h"
#include "scan/file_pass.h"
#include "scan/memory_pass.h"
#include "ui/texts.h"

namespace {

enum : uint32_t {
  kSummarySize = 512,
  // Terminated processes need a moment to release their files.
  kAfterMemoryPauseMs = 2000,
};

void ShowSummary(ScanContext* context) {
  const ScanCounters& counters = gScanCounters;
  int32_t language = context->languageIndex;
  char text[kSummarySize];
  if (counters.memoryDetections > 0 || counters.fileDetections > 0) {
    std::snprintf(text, sizeof text, Text(TextKey::SummaryDetected, language),
                  static_cast<int>(counters.memoryModulesScanned), static_cast<int>(counters.memoryDetections),
                  static_cast<int>(counters.filesScanned), static_cast<int>(counters.fileDetections));
    MessageBoxA(context->progressBar, text, Text(TextKey::CaptionReport, language), MB_OK | MB_ICONWARNING);
  } else {
    std::snprintf(text, sizeof text, Text(TextKey::SummaryClean, language),
                  static_cast<int>(counters.memoryModulesScanned), static_cast<int>(counters.filesScanned));
    MessageBoxA(context->progressBar, text, Text(TextKey::CaptionCongratulations, language),
                MB_OK | MB_ICONINFORMATION);
  }
  if (counters.fileRemovalFailures > 0 && !IsSessionEnding(context)) {
    MessageBoxA(context->progressBar, Text(TextKey::RebootAdvice, language), Text(TextKey::CaptionReport, language),
                MB_OK | MB_ICONWARNING);
  }
}

}  // namespace

void RunScan(ScanContext* context) {
  ScanCounters& counters = gScanCounters;
  counters.memoryModulesScanned = 0;
  counters.filesScanned = 0;
  counters.memoryDetections = 0;
  counters.fileDetections = 0;
  counters.fileRemovalFailures = 0;
  counters.context = context;
  BeginAutorunRestoreSection();

  SetProgressPos(context, 0);
  SetProgressRange(context, 0, 100);
  SetProgressStep(context, 1);
  counters.lastPercent = 0;

  if (!IsStopRequested(context)) {
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    ScanMemory();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  }
  if (counters.memoryDetections > 0) Sleep(kAfterMemoryPauseMs);

  if (!IsStopRequested(context)) {
    ScanFixedDrives();
    if (!IsStopRequested(context)) SetProgressPos(context, 100);
  }
  NotifyScanDone(context);
  SetStatusText(context, "");
  // A run that ends with the session shows no boxes: nobody is left to close them.
  if (!IsSessionEnding(context)) ShowSummary(context);
  SetProgressPos(context, 0);
}
