// The program's main dialog: its procedure, its initialization and the scan
// worker's start routine, plus the process-wide handles the entry point sets.
#pragma once
#include <windows.h>

// Set by WinMain: the module whose resources hold the dialogs and icons.
extern HINSTANCE AppInstance;
// The process's one tooltip window (the About box's link adds its tool to it).
extern HWND SharedTooltip;

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// WM_INITDIALOG: icon, scan context, language, columns, texts; focuses Scan
// and returns FALSE.
BOOL InitMainDialog(HWND dialog);
// The worker thread: one RunScan reporting to the dialog's ScanContext (ScanContextReport).
DWORD WINAPI ScanThreadStart(LPVOID context);
// 1 from a Scan command until its worker has returned from RunScan.
LONG IsScanWorkerRunning();
