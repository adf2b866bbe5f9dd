// The scan run (see scan_run_win32.h).
#include "scan/scan_run_win32.h"

#include <windows.h>

#include "engine/signature_table.h"
#include "remedy/autorun_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "scan/progress.h"
#include "sys/fs_redirection_win32.h"

namespace {

enum : uint32_t {
  // Terminated processes need a moment to release their files.
  kAfterMemoryPauseMs = 2000,
};

}  // namespace

void RunScan(const ScanReport* report) {
  Win32Scan scan = FixedDrivesScan();
  ScanSession session;
  {
    FsRedirectionOff trueNames;  // under WOW64, every file under its true path
    BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, Win32ScanPorts(&scan), report,
                     kStatusLineInterval);
    BeginAutorunRestoreSection();
    ReportProgress(report, ScanPosition{0, 0, 0});

    if (!SessionStopRequested(&session)) {
      SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
      ScanMemory(&session);
      SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }
    if (session.ledger.memoryDetections > 0) Sleep(kAfterMemoryPauseMs);

    if (SessionWalk(&session) && !SessionStopRequested(&session))
      ReportProgress(report, ScanPosition{session.ledger.filesExamined, session.ledger.bytesExamined, 100});
  }
  // The end is where a front end shows its boxes: with redirection on again,
  // the libraries the system loads for them come from the right System32.
  EndScanSession(&session);
}
