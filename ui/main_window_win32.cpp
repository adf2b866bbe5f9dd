// The main dialog (template 101): idle and scanning states, the Scan, Exit,
// About and Stop commands, and the worker thread that runs one scan.
//
// The ScanContext hangs on the dialog's user data and is freed with the
// dialog. A worker uses it from the Scan command until RunScan returns, which
// is after WM_SCAN_DONE (the summary boxes still read it), so while a worker
// lives every way of ending the dialog is refused.
//
// A log-off never waits behind a summary box, which waits for a person: the
// query is answered at once and only marks the log-off as undecided, so the
// run goes on and holds its boxes until it is decided. A log-off that goes
// ahead (WM_ENDSESSION with TRUE) stops the run, which then shows no boxes,
// and waits only for the passes to stop, that is for WM_SCAN_DONE; one that
// is cancelled leaves the run to finish and show its boxes.
#include "ui/main_window_win32.h"

#include <commctrl.h>

#include "scan/scan_run_win32.h"
#include "sys/handle_win32.h"
#include "ui/about_box_win32.h"
#include "ui/language_win32.h"
#include "ui/resource_ids.h"
#include "ui/scan_context_win32.h"
#include "ui/texts.h"

HINSTANCE AppInstance = nullptr;
HWND SharedTooltip = nullptr;

namespace {

// Written by the user-interface thread before the worker starts and by the
// worker as its last act.
volatile LONG ScanWorkerRunning = 0;
// From the Scan command until WM_SCAN_DONE (user-interface thread only): the
// passes still run; after it the worker only shows the summary boxes.
LONG ScanPassesRunning = 0;

const int kColumnWidths[3] = {270, 100, 100};

ScanContext* ContextOf(HWND dialog) {
  return reinterpret_cast<ScanContext*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

void SetButtonStyle(HWND dialog, int id, LONG style) {
  SendDlgItemMessageA(dialog, id, BM_SETSTYLE, static_cast<WPARAM>(style), TRUE);
}

void SetCloseCommand(HWND dialog, UINT state) {
  EnableMenuItem(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND | state);
}

void EnterScanningState(HWND dialog) {
  SetCloseCommand(dialog, MF_GRAYED);
  HWND stop = GetDlgItem(dialog, IDC_STOP);
  EnableWindow(stop, TRUE);
  SetFocus(stop);
  SetButtonStyle(dialog, IDC_STOP, BS_DEFPUSHBUTTON);
  for (int id = IDC_SCAN; id <= IDC_ABOUT; ++id) {
    EnableWindow(GetDlgItem(dialog, id), FALSE);
    SetButtonStyle(dialog, id, BS_PUSHBUTTON);
  }
}

// The end-of-run step: after the first run Exit, not Scan, is the default.
void EnterIdleState(HWND dialog) {
  SetCloseCommand(dialog, MF_ENABLED);
  for (int id = IDC_SCAN; id <= IDC_ABOUT; ++id) EnableWindow(GetDlgItem(dialog, id), TRUE);
  SetFocus(GetDlgItem(dialog, IDC_EXIT));
  SetButtonStyle(dialog, IDC_EXIT, BS_DEFPUSHBUTTON);
  EnableWindow(GetDlgItem(dialog, IDC_STOP), FALSE);
  SetButtonStyle(dialog, IDC_STOP, BS_PUSHBUTTON);
}

void StartScan(HWND dialog) {
  ScanContext* context = ContextOf(dialog);
  // Scan is disabled while a worker lives; this also stops a command sent by
  // other means from starting a second worker on the same context.
  if (!context || ScanWorkerRunning) return;
  EnterScanningState(dialog);
  SendDlgItemMessageA(dialog, IDC_RESULTS, LVM_DELETEALLITEMS, 0, 0);
  ClearStop(context);
  SetSessionEnding(context, kSessionGoesOn);
  context->rowCount = 0;
  SetProgressPos(context, 0);

  InterlockedExchange(&ScanWorkerRunning, 1);
  ScanPassesRunning = 1;
  DWORD threadId = 0;
  // The worker runs on after its handle is let go: WM_SCAN_DONE says it ended.
  OwnedHandle thread(CreateThread(nullptr, 0, ScanThreadStart, context, 0, &threadId));
  if (!thread.valid()) {
    // Nothing would ever send WM_SCAN_DONE: go back to idle here.
    InterlockedExchange(&ScanWorkerRunning, 0);
    ScanPassesRunning = 0;
    EnterIdleState(dialog);
  }
}

// Runs the messages the worker sends to the dialog (it would block on them
// otherwise) until `running` falls to 0.
void WaitWhile(const volatile LONG* running) {
  while (*running) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_SENDMESSAGE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
}

// Raises the stop flag and waits for the worker to return.
void WaitForScanWorker(HWND dialog) {
  ScanContext* context = ContextOf(dialog);
  if (context && ScanWorkerRunning) RequestStop(context);
  WaitWhile(&ScanWorkerRunning);
}

void SetTexts(HWND dialog, int32_t language) {
  SetWindowTextA(dialog, Text(TextKey::MainTitle, language));
  SetDlgItemTextA(dialog, IDC_PROGRESS_LABEL, Text(TextKey::ProgressLabel, language));
  for (int id = IDC_SCAN; id <= IDC_STOP; ++id) SetDlgItemTextA(dialog, id, ButtonText(id, language));
}

void InsertColumns(HWND dialog, int32_t language) {
  HWND list = GetDlgItem(dialog, IDC_RESULTS);
  for (int column = 0; column < 3; ++column) {
    LVCOLUMNA header = {};
    header.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    header.cx = kColumnWidths[column];
    header.pszText = const_cast<char*>(ColumnText(column, language));
    header.iSubItem = column;
    SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header));
  }
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
}

}  // namespace

LONG IsScanWorkerRunning() { return ScanWorkerRunning; }

DWORD WINAPI ScanThreadStart(LPVOID raw) {
  ScanContext* context = static_cast<ScanContext*>(raw);
  BeginScanReport(context);
  ScanReport report = ScanContextReport(context);
  RunScan(&report);
  InterlockedExchange(&ScanWorkerRunning, 0);
  return 0;
}

BOOL InitMainDialog(HWND dialog) {
  SendMessageA(dialog, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_SMALL))));
  ScanContext* context = CreateScanContext(GetDlgItem(dialog, IDC_PROGRESS), GetDlgItem(dialog, IDC_STATUS_LINE),
                                           GetDlgItem(dialog, IDC_RESULTS));
  int32_t language = ChooseLanguageIndex();
  if (context) context->languageIndex = language;
  SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(context));
  InsertColumns(dialog, language);
  SetTexts(dialog, language);
  SetFocus(GetDlgItem(dialog, IDC_SCAN));
  return FALSE;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      return InitMainDialog(dialog);
    case WM_COMMAND:
      switch (wParam) {
        case IDC_SCAN:
          StartScan(dialog);
          return TRUE;
        case IDC_EXIT:
          // Escape, the close box and WM_CLOSE arrive here too.
          if (!ScanWorkerRunning) EndDialog(dialog, 0);
          return TRUE;
        case IDC_ABOUT:
          DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ABOUT), dialog, AboutDialogProc, 0);
          return TRUE;
        case IDC_STOP:
          if (ScanContext* context = ContextOf(dialog)) RequestStop(context);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_SCAN_DONE:
      ScanPassesRunning = 0;
      EnterIdleState(dialog);
      return TRUE;
    case WM_QUERYENDSESSION:
      // Answered at once: the worker may be in a summary box. Another program
      // may still cancel the log-off, so the run is not stopped yet.
      if (ScanContext* context = ContextOf(dialog)) {
        if (ScanWorkerRunning) SetSessionEnding(context, kSessionMayEnd);
      }
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_ENDSESSION:
      if (ScanContext* context = ContextOf(dialog)) {
        if (!wParam) {
          // Cancelled: the run finishes and shows its boxes as if never asked.
          SetSessionEnding(context, kSessionGoesOn);
        } else if (ScanWorkerRunning) {
          SetSessionEnding(context, kSessionEnding);
          RequestStop(context);
        }
      }
      // The passes stop at their next poll; the process ends after this.
      if (wParam) WaitWhile(&ScanPassesRunning);
      return TRUE;
    case WM_DESTROY:
      // Reached during a run only if the window is destroyed from outside.
      WaitForScanWorker(dialog);
      if (ScanContext* context = ContextOf(dialog)) {
        SetWindowLongPtrA(dialog, GWLP_USERDATA, 0);
        DestroyScanContext(context);
      }
      return TRUE;
    default:
      return FALSE;
  }
}
