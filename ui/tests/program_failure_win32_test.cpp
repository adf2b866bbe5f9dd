// The main dialog when its scan context cannot be allocated or its worker
// thread cannot be started: it must stay usable and idle, and still end.
// The dialog's own source is compiled here with those two calls replaced by
// versions that can be made to fail.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>

#include "ui/scan_context_win32.h"

namespace {
int gFailContext = 0;
int gFailThread = 0;
int gThreadStarts = 0;

ScanContext* CreateScanContextOrFail(HWND progressBar, HWND statusLine, HWND resultsList) {
  return gFailContext ? nullptr : CreateScanContext(progressBar, statusLine, resultsList);
}

HANDLE WINAPI CreateThreadOrFail(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                 LPVOID parameter, DWORD flags, LPDWORD id) {
  ++gThreadStarts;
  if (gFailThread) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return CreateThread(security, stack, start, parameter, flags, id);
}
}  // namespace

#define CreateScanContext CreateScanContextOrFail
#define CreateThread CreateThreadOrFail
#include "ui/main_window_win32.cpp"
#undef CreateThread
#undef CreateScanContext

#include "ui/language_win32.h"
#include "ui/texts.h"

namespace {

struct Hosted {
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  HWND dialog = nullptr;
  INT_PTR result = -1;
};

DWORD WINAPI RunDialog(LPVOID parameter) {
  Hosted* hosted = static_cast<Hosted*>(parameter);
  hosted->result = DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  return 0;
}

BOOL CALLBACK MatchMainDialog(HWND window, LPARAM parameter) {
  if (GetDlgItem(window, IDC_RESULTS) && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindMainDialog(DWORD thread) {
  HWND found = nullptr;
  for (int i = 0; i < 500 && !found; ++i) {
    EnumThreadWindows(thread, MatchMainDialog, reinterpret_cast<LPARAM>(&found));
    if (!found) Sleep(20);
  }
  return found;
}

HWND FocusOf(DWORD thread) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

bool IsDefault(HWND dialog, int id) {
  return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

bool CloseEnabled(HWND dialog) {
  return (GetMenuState(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED) == 0;
}

TEST(MainDialogFailures, EachStaysUsableIdleAndEnds) {
  struct Row {
    const char* name;
    int failContext, failThread;
    int threadStarts;  // CreateThread calls expected from one Scan
    int focus;         // focused and default button after Scan
  };
  const Row rows[] = {
      {"context cannot be allocated", 1, 0, 0, IDC_SCAN},
      {"worker thread cannot start", 0, 1, 1, IDC_EXIT},
  };
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  AppInstance = GetModuleHandleA(nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    gFailContext = row.failContext;
    gFailThread = row.failThread;
    gThreadStarts = 0;
    Hosted hosted;
    hosted.thread = ::CreateThread(nullptr, 0, RunDialog, &hosted, 0, &hosted.threadId);
    ASSERT_NE(nullptr, hosted.thread);
    hosted.dialog = FindMainDialog(hosted.threadId);
    ASSERT_NE(nullptr, hosted.dialog);
    HWND dialog = hosted.dialog;
    EXPECT_EQ(row.failContext == 0, GetWindowLongPtrA(dialog, GWLP_USERDATA) != 0);
    // The texts are set either way, in the system's language.
    char title[128] = {};
    GetWindowTextA(dialog, title, sizeof(title));
    EXPECT_STREQ(Text(TextKey::MainTitle, ChooseLanguageIndex()), title);

    SendMessageA(dialog, WM_COMMAND, IDC_SCAN, 0);
    EXPECT_EQ(row.threadStarts, gThreadStarts);
    EXPECT_EQ(0, IsScanWorkerRunning());
    for (int id = IDC_SCAN; id <= IDC_ABOUT; ++id)
      EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, id))) << "button " << id;
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_STOP)));
    EXPECT_TRUE(CloseEnabled(dialog));
    EXPECT_EQ(GetDlgItem(dialog, row.focus), FocusOf(hosted.threadId));
    for (int id = IDC_SCAN; id <= IDC_STOP; ++id)
      EXPECT_EQ(id == row.focus, IsDefault(dialog, id)) << "default style of button " << id;

    // Stop without a run is harmless; Exit ends the dialog with 0.
    SendMessageA(dialog, WM_COMMAND, IDC_STOP, 0);
    PostMessageA(dialog, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hosted.thread, 10000));
    EXPECT_EQ(0, hosted.result);
    CloseHandle(hosted.thread);
  }
}

}  // namespace
