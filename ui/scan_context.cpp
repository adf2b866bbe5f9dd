// Scan context and the report controls' messages.
#include "ui/scan_context.h"

#include <commctrl.h>

#include <new>

ScanContext* CreateScanContext(HWND progressBar, HWND statusLine, HWND resultsList) {
  ScanContext* context = new (std::nothrow) ScanContext;
  if (!context) return nullptr;
  context->statusLine = statusLine;
  context->progressBar = progressBar;
  context->resultsList = resultsList;
  context->rowCount = 0;
  context->languageIndex = 0;
  context->stopFlag.store(0);
  context->sessionEnding.store(0);
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

int32_t IsSessionEnding(const ScanContext* context) { return context->sessionEnding.load() != 0 ? 1 : 0; }

void SetSessionEnding(ScanContext* context, int32_t ending) { context->sessionEnding.store(ending != 0 ? 1 : 0); }
