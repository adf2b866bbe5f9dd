// Entry point of QuellixRemover.exe: prepares the process (debug privilege,
// common controls, the shared tooltip window) and runs the main dialog.
#include <windows.h>

#include <commctrl.h>

#include "sys/system_queries_win32.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  AppInstance = instance;
  // Lets the memory pass open other users' processes; failure is harmless.
  SetDebugPrivilege(TRUE);
  InitCommonControls();

  SharedTooltip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  SetWindowPos(SharedTooltip, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
  SendMessageA(SharedTooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(32767, 0));

  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);

  DestroyWindow(SharedTooltip);
  return 0;
}
