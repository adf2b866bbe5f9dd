// Scan context and the report controls' messages.
#include "ui/scan_context_win32.h"

#include <commctrl.h>

#include <cstdio>
#include <new>

#include "ui/texts.h"

ScanContext* CreateScanContext(HWND progressBar, HWND statusLine, HWND resultsList) {
  ScanContext* context = new (std::nothrow) ScanContext;
  if (!context) return nullptr;
  context->statusLine = statusLine;
  context->progressBar = progressBar;
  context->resultsList = resultsList;
  context->rowCount = 0;
  context->languageIndex = 0;
  context->shownPercent = 0;
  context->stopFlag.store(0);
  context->sessionEnding.store(0);
  context->lastRun = ScanTotals{};
  return context;
}

void DestroyScanContext(ScanContext* context) { delete context; }

void SetProgressRange(ScanContext* context, int low, int high) {
  SendMessageA(context->progressBar, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void SetProgressPos(ScanContext* context, int position) {
  SendMessageA(context->progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void SetProgressStep(ScanContext* context, int step) {
  SendMessageA(context->progressBar, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void SetStatusText(ScanContext* context, const char* text) { SetWindowTextA(context->statusLine, text); }

void NotifyScanDone(ScanContext* context) {
  SendMessageA(GetParent(context->progressBar), WM_SCAN_DONE, 0, 0);
}

void AddResultRow(ScanContext* context, const char* path, const char* detectionName,
                  const char* statusText) {
  // The list view copies the texts; it never writes through pszText here.
  LVITEMA item = {};
  item.mask = LVIF_TEXT;
  item.iItem = context->rowCount;
  item.iSubItem = 0;
  item.pszText = const_cast<char*>(path);
  const LRESULT inserted = SendMessageA(context->resultsList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  // A row the list refused has no index to fill in, and takes no place in the run.
  if (inserted < 0) return;
  const int index = static_cast<int>(inserted);

  item.iItem = index;
  item.iSubItem = 1;
  item.pszText = const_cast<char*>(detectionName);
  SendMessageA(context->resultsList, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  item.iSubItem = 2;
  item.pszText = const_cast<char*>(statusText);
  SendMessageA(context->resultsList, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));

  LVITEMA state = {};
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(context->resultsList, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&state));
  SendMessageA(context->resultsList, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), 0);

  ++context->rowCount;
}

int32_t IsStopRequested(const ScanContext* context) { return context->stopFlag.load() != 0 ? 1 : 0; }

void RequestStop(ScanContext* context) { context->stopFlag.store(1); }

void ClearStop(ScanContext* context) { context->stopFlag.store(0); }

int32_t IsSessionEnding(const ScanContext* context) { return context->sessionEnding.load() == kSessionEnding ? 1 : 0; }

void SetSessionEnding(ScanContext* context, int32_t state) {
  context->sessionEnding.store(state == kSessionEnding || state == kSessionMayEnd ? state : kSessionGoesOn);
}

int32_t WaitForSessionDecision(const ScanContext* context) {
  // The dialog's thread is free meanwhile: WM_ENDSESSION decides.
  for (DWORD waited = 0; context->sessionEnding.load() == kSessionMayEnd && waited < kSessionDecisionWaitMs;
       waited += 20)
    Sleep(20);
  return IsSessionEnding(context) ? 0 : 1;
}

void BeginScanReport(ScanContext* context) {
  SetProgressPos(context, 0);
  SetProgressRange(context, 0, 100);
  SetProgressStep(context, 1);
  context->shownPercent = 0;
}

int FormatScanSummary(const ScanTotals& totals, int32_t language, const char** caption, char* text,
                      uint32_t textSize) {
  if (totals.memoryDetections > 0 || totals.fileDetections > 0) {
    std::snprintf(text, textSize, Text(TextKey::SummaryDetected, language),
                  static_cast<int>(totals.memoryModulesExamined), static_cast<int>(totals.memoryDetections),
                  static_cast<int>(totals.filesExamined), static_cast<int>(totals.fileDetections));
    *caption = Text(TextKey::CaptionReport, language);
    return 1;
  }
  std::snprintf(text, textSize, Text(TextKey::SummaryClean, language),
                static_cast<int>(totals.memoryModulesExamined), static_cast<int>(totals.filesExamined));
  *caption = Text(TextKey::CaptionCongratulations, language);
  return 0;
}

namespace {

enum : uint32_t { kSummarySize = 512 };

ScanContext* Of(void* raw) { return static_cast<ScanContext*>(raw); }

void ReportProgressToBar(void* raw, const ScanPosition* position) {
  ScanContext* context = Of(raw);
  if (position->percent == kUnknownShare) return;
  // Beyond any bar position; the bar shows it as full.
  int percent = position->percent > 0xFFFFu ? 0xFFFF : static_cast<int>(position->percent);
  if (percent == context->shownPercent) return;
  context->shownPercent = percent;
  SetProgressPos(context, percent);
}

void ReportPathToStatusLine(void* raw, const char* path) { SetStatusText(Of(raw), path); }

void ReportRowToList(void* raw, const ScanRow* row) {
  ScanContext* context = Of(raw);
  TextKey word;
  switch (row->status) {
    case kRowRemoved:
    case kRowScheduledAtRestart:
    case kRowQuarantined:
      word = TextKey::StatusRemoved;
      break;
    case kRowNotExamined:
      return;
    default:
      word = TextKey::StatusFailed;
      break;
  }
  AddResultRow(context, row->path, row->detectionName, Text(word, context->languageIndex));
}

void ShowSummary(ScanContext* context, const ScanTotals& totals) {
  int32_t language = context->languageIndex;
  const char* caption = "";
  char text[kSummarySize];
  int found = FormatScanSummary(totals, language, &caption, text, sizeof text);
  MessageBoxA(context->progressBar, text, caption, MB_OK | (found ? MB_ICONWARNING : MB_ICONINFORMATION));
  if (totals.fileFailures > 0 && WaitForSessionDecision(context)) {
    MessageBoxA(context->progressBar, Text(TextKey::RebootAdvice, language), Text(TextKey::CaptionReport, language),
                MB_OK | MB_ICONWARNING);
  }
}

void ReportEndToDialog(void* raw, const ScanTotals* totals) {
  ScanContext* context = Of(raw);
  context->lastRun = *totals;
  NotifyScanDone(context);
  SetStatusText(context, "");
  // A run that ends with the session shows no boxes: nobody is left to
  // close them. One that a log-off only asked about shows them once the
  // log-off is cancelled.
  if (WaitForSessionDecision(context)) ShowSummary(context, *totals);
  SetProgressPos(context, 0);
  context->shownPercent = 0;
}

int AskStopFlag(void* raw) { return IsStopRequested(Of(raw)); }

}  // namespace

ScanReport ScanContextReport(ScanContext* context) {
  return ScanReport{ReportProgressToBar, ReportPathToStatusLine, ReportRowToList, ReportEndToDialog, AskStopFlag,
                    nullptr,             nullptr,                nullptr,         context};
}
