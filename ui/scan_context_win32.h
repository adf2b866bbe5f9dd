// The record through which the scan thread reports to the main dialog's
// status line, progress bar and results list, and the stop flag it polls
// (Win32). Every operation sends its message synchronously, so from the scan
// thread it runs on the user-interface thread before the call returns.
// ScanContextReport turns it into the scan's ScanReport: the dialog is one
// front end of the scan among others.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "scan/scan_report.h"
#include "ui/language_win32.h"

// Sent to the progress bar's parent when a run is over.
enum : UINT { WM_SCAN_DONE = WM_USER + 100 };

// Where the session stands, as the dialog learns it during a run.
enum : int32_t {
  kSessionGoesOn = 0,
  kSessionEnding = 1,  // the log-off goes ahead: the run shows no boxes
  kSessionMayEnd = 2,  // a log-off was asked about and is not decided yet
};

struct ScanContext {
  HWND statusLine;
  HWND progressBar;
  HWND resultsList;
  int32_t rowCount;       // rows added in this run; index of the next row
  int32_t languageIndex;  // set once by the dialog right after creation
  int32_t shownPercent;   // the bar's position as the run's reports last set it
  // Written by the user-interface thread, polled by the scan thread: atomic,
  // so the poll is neither a data race nor hoisted out of the scan loop.
  std::atomic<int32_t> stopFlag;
  // Set by the dialog when a log-off is asked about and when it is decided
  // during a run: the run's boxes wait for the decision, and are not shown
  // to a session that ends, as nobody is left to close them.
  std::atomic<int32_t> sessionEnding;
  // The ledger of the last run, as its end reported it (what the summary showed).
  ScanTotals lastRun;
};

// Row count, language, stop flag and session flag start at 0. Null when memory runs out.
ScanContext* CreateScanContext(HWND progressBar, HWND statusLine, HWND resultsList);
// Frees the record only; the windows belong to the dialog.
void DestroyScanContext(ScanContext* context);

void SetProgressRange(ScanContext* context, int low, int high);
void SetProgressPos(ScanContext* context, int position);
void SetProgressStep(ScanContext* context, int step);
void SetStatusText(ScanContext* context, const char* text);
// WM_SCAN_DONE to the progress bar's parent; returns after the parent handled it.
void NotifyScanDone(ScanContext* context);
// Appends a row (path, detection name, status) below the earlier ones of the
// run and makes it the selected, focused and visible row.
void AddResultRow(ScanContext* context, const char* path, const char* detectionName,
                  const char* statusText);

int32_t IsStopRequested(const ScanContext* context);
void RequestStop(ScanContext* context);
void ClearStop(ScanContext* context);

// 1 when the session is ending (kSessionEnding); 0 while it goes on or a
// log-off is undecided.
int32_t IsSessionEnding(const ScanContext* context);
// kSessionGoesOn, kSessionEnding or kSessionMayEnd.
void SetSessionEnding(ScanContext* context, int32_t state);
// On the scan thread: waits while a log-off is undecided (at most
// kSessionDecisionWaitMs, then the session is taken to go on). 1 when the
// session goes on, 0 when it is ending.
int32_t WaitForSessionDecision(const ScanContext* context);
enum : uint32_t { kSessionDecisionWaitMs = 60000 };

// The dialog's side of a run, on the scan thread: the bar at 0 with range
// 0..100 and step 1. Then RunScan with ScanContextReport(context).
void BeginScanReport(ScanContext* context);

// The report of a run to this context: the bar moves when the share changes;
// the path goes to the status line; a row gets the dialog's word for its
// status ("removed" for removed and scheduled at restart, "failed" for a
// failed removal; a file that could not be read gets no row); the end sends
// WM_SCAN_DONE, empties the status line, waits for an undecided log-off,
// shows the summary box (and the reboot advice after a failed removal)
// unless the session is ending, and puts the bar back at 0; the stop
// question reads the stop flag.
ScanReport ScanContextReport(ScanContext* context);

// The summary box's caption and text for `totals` in `language`; 1 when the
// run found something (a warning box), 0 when it was clean.
int FormatScanSummary(const ScanTotals& totals, int32_t language, const char** caption, char* text,
                      uint32_t textSize);
