// The real program driven as a person drives it: its WinMain runs on a
// thread of this test program and the test inspects and presses the live
// dialogs from outside. Run by program_dialog_test.sh in a Wine prefix of its
// own, whose fixed drives are its C: and a test drive with forged worm files:
//   QX_EXPECT_LANGUAGE  language index the system locale must select (texts)
//   QX_SHELL_RECORD     file that the prefix's fake web browser writes (link)
//   QX_TEST_DRIVE       root of the test drive ("D:\\"), where forged worm
//                       files and decoys are planted (scan)
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"
#include "tests/support/win_files_win32.h"
#include "ui/about_box_win32.h"
#include "ui/main_window_win32.h"
#include "ui/resource_ids.h"
#include "ui/scan_context_win32.h"
#include "ui/texts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int);

namespace {

const char kWindowsDialogClass[] = "#32770";

// Polls `find` until it gives a window or `ms` have passed.
HWND WaitForWindow(const std::function<HWND()>& find, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND found = find()) return found;
    if (GetTickCount() - start > ms) return nullptr;
    Sleep(20);
  }
}

bool WaitUntil(const std::function<bool()>& condition, DWORD ms) {
  DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(5);
  }
  return true;
}

bool IsDialogClass(HWND window) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof(name));
  return std::strcmp(name, kWindowsDialogClass) == 0;
}

// A visible top-level dialog owned by `owner`, on thread `thread` (0: any).
struct OwnedSearch {
  HWND owner;
  DWORD thread;
  HWND found;
};

BOOL CALLBACK MatchOwnedDialog(HWND window, LPARAM parameter) {
  OwnedSearch* s = reinterpret_cast<OwnedSearch*>(parameter);
  if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window) && IsDialogClass(window) &&
      (s->thread == 0 || GetWindowThreadProcessId(window, nullptr) == s->thread)) {
    s->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindOwnedDialog(HWND owner, DWORD thread) {
  OwnedSearch search = {owner, thread, nullptr};
  EnumWindows(MatchOwnedDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK MatchMainDialog(HWND window, LPARAM parameter) {
  if (IsDialogClass(window) && GetDlgItem(window, IDC_RESULTS)) {
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
  }
  return TRUE;
}

std::string WindowText(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

std::string ItemText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

HWND FocusOf(DWORD thread) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

bool HasDefaultStyle(HWND button) {
  return (GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

bool CloseCommandGrayed(HWND dialog) {
  UINT state = GetMenuState(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND);
  return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

int ListRowCount(HWND dialog) {
  return static_cast<int>(SendDlgItemMessageA(dialog, IDC_RESULTS, LVM_GETITEMCOUNT, 0, 0));
}

std::string ListCell(HWND dialog, int row, int column) {
  char text[300] = {};
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof(text);
  SendDlgItemMessageA(dialog, IDC_RESULTS, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

int ToolCount() { return static_cast<int>(SendMessageA(SharedTooltip, TTM_GETTOOLCOUNT, 0, 0)); }

// Moves the mouse (as input, so that hit testing follows) to screen point p.
void MoveMouse(POINT p) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dx = static_cast<LONG>((p.x * 65535 + GetSystemMetrics(SM_CXSCREEN) / 2) / (GetSystemMetrics(SM_CXSCREEN) - 1));
  input.mi.dy = static_cast<LONG>((p.y * 65535 + GetSystemMetrics(SM_CYSCREEN) / 2) / (GetSystemMetrics(SM_CYSCREEN) - 1));
  input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &input, sizeof(input));
  SetCursorPos(p.x, p.y);
}

void ClickMouse() {
  INPUT inputs[2] = {};
  inputs[0].type = inputs[1].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, inputs, sizeof(INPUT));
}

POINT CentreOf(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Colours of the link as the screen shows them: red and blue pixel counts,
// and the longest run of red pixels in one row (an underline spans the text).
struct LinkPixels {
  int red = 0;
  int blue = 0;
  int longestRedRow = 0;
};

LinkPixels ReadLinkPixels(HWND link) {
  LinkPixels pixels;
  RECT r;
  GetWindowRect(link, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const unsigned char* p = static_cast<const unsigned char*>(bits);
    for (int y = 0; y < height; ++y) {
      int run = 0;
      for (int x = 0; x < width; ++x) {
        const unsigned char* px = p + (y * width + x) * 4;  // B, G, R, X
        bool red = px[2] > 200 && px[1] < 80 && px[0] < 80;
        bool blue = px[0] > 200 && px[1] < 80 && px[2] < 80;
        pixels.red += red;
        pixels.blue += blue;
        run = red ? run + 1 : 0;
        if (run > pixels.longestRedRow) pixels.longestRedRow = run;
      }
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// WinMain of the program on a thread of its own, and its main dialog.
class HostedProgram : public ::testing::Test {
 public:
  // One row of the main dialog's state table.
  struct DialogState {
    const char* name;
    bool scan, exit, about, stop;  // enabled
    int focus;
    int defaultButton;
    bool closeGrayed;
  };

 protected:
  void SetUp() override {
    thread_ = CreateThread(nullptr, 0, RunProgram, nullptr, 0, &threadId_);
    ASSERT_NE(nullptr, thread_);
    dialog_ = WaitForWindow(
        [this]() -> HWND {
          HWND found = nullptr;
          EnumThreadWindows(threadId_, MatchMainDialog, reinterpret_cast<LPARAM>(&found));
          return found && IsWindowVisible(found) ? found : nullptr;
        },
        20000);
    ASSERT_NE(nullptr, dialog_) << "the main dialog did not appear";
  }

  void TearDown() override {
    if (!thread_) return;
    if (dialog_ && IsWindow(dialog_)) {
      WaitUntil([] { return IsScanWorkerRunning() == 0; }, 60000);
      PostMessageA(dialog_, WM_COMMAND, IDC_EXIT, 0);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread_, 20000)) << "the program did not end";
    DWORD code = 1;
    GetExitCodeThread(thread_, &code);
    EXPECT_EQ(0u, code) << "WinMain's result";
    CloseHandle(thread_);
  }

  static DWORD WINAPI RunProgram(LPVOID) {
    char commandLine[] = "";
    return static_cast<DWORD>(WinMain(GetModuleHandleA(nullptr), nullptr, commandLine, SW_SHOWNORMAL));
  }

  HWND Item(int id) const { return GetDlgItem(dialog_, id); }
  ScanContext* Context() const {
    return reinterpret_cast<ScanContext*>(GetWindowLongPtrA(dialog_, GWLP_USERDATA));
  }

  void ExpectState(const DialogState& want, int line) {
    SCOPED_TRACE(std::string(want.name) + ", checked at line " + std::to_string(line));
    EXPECT_EQ(want.scan, IsWindowEnabled(Item(IDC_SCAN)) != 0) << "Scan enabled";
    EXPECT_EQ(want.exit, IsWindowEnabled(Item(IDC_EXIT)) != 0) << "Exit enabled";
    EXPECT_EQ(want.about, IsWindowEnabled(Item(IDC_ABOUT)) != 0) << "About enabled";
    EXPECT_EQ(want.stop, IsWindowEnabled(Item(IDC_STOP)) != 0) << "Stop enabled";
    EXPECT_EQ(Item(want.focus), FocusOf(threadId_)) << "focus should be on button " << want.focus;
    for (int id = IDC_SCAN; id <= IDC_STOP; ++id)
      EXPECT_EQ(id == want.defaultButton, HasDefaultStyle(Item(id))) << "default style of button " << id;
    EXPECT_EQ(want.closeGrayed, CloseCommandGrayed(dialog_)) << "SC_CLOSE grayed";
    EXPECT_EQ(IDC_SCAN, LOWORD(SendMessageA(dialog_, DM_GETDEFID, 0, 0))) << "the default id never changes";
  }

  // Every way of ending the dialog while a worker uses the context; none may.
  void ExpectEndingRefused(const char* when) {
    SCOPED_TRACE(when);
    SendMessageA(dialog_, WM_COMMAND, IDC_EXIT, 0);
    SendMessageA(dialog_, WM_CLOSE, 0, 0);
    SendMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(FocusOf(threadId_) ? FocusOf(threadId_) : dialog_, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(dialog_, WM_NULL, 0, 0);
    Sleep(100);
    EXPECT_TRUE(IsWindow(dialog_)) << "the dialog ended while the worker still used its context";
    EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(thread_, 0)) << "the program ended during a run";
  }

  // One end-of-session message sent as the system sends it to a log-off,
  // with a 5 s limit: whether it was answered, the answer and how long it took.
  struct LogOffAnswer {
    bool answered;
    DWORD_PTR result;
    DWORD ms;
  };
  LogOffAnswer AskLogOff(UINT message, WPARAM wParam) {
    LogOffAnswer answer = {false, 0, 0};
    const DWORD start = GetTickCount();
    answer.answered = SendMessageTimeoutA(dialog_, message, wParam, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000,
                                          &answer.result) != 0;
    answer.ms = GetTickCount() - start;
    return answer;
  }

  // Waits for the summary box of the run (shown by the worker, owned by the
  // dialog), returns its text and closes it; closes the reboot advice too.
  std::string CloseSummaryBoxes(int* boxes) {
    std::string summary;
    *boxes = 0;
    for (;;) {
      // The dialog itself is returned when it is gone: no box will come then.
      HWND box = WaitForWindow([this] { return IsWindow(dialog_) ? FindOwnedDialog(dialog_, 0) : dialog_; },
                               *boxes == 0 ? 120000 : 1500);
      if (box == dialog_) {
        ADD_FAILURE() << "the dialog ended during a run";
        return summary;
      }
      if (!box) break;
      if (GetWindowThreadProcessId(box, nullptr) == threadId_) break;  // not the worker's
      if (*boxes == 0) {
        ExpectEndingRefused("summary box up, worker still running");
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
          if (WindowText(child).size() > summary.size() && GetDlgCtrlID(child) != IDOK) summary = WindowText(child);
      }
      ++*boxes;
      SendMessageA(box, WM_COMMAND, IDOK, 0);
      WaitUntil([box] { return !IsWindow(box); }, 5000);
    }
    EXPECT_TRUE(WaitUntil([] { return IsScanWorkerRunning() == 0; }, 10000)) << "the worker did not end";
    return summary;
  }

  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  HWND dialog_ = nullptr;
};

const HostedProgram::DialogState kInitialIdle = {"initial idle", true, true, true, false, IDC_SCAN, IDC_SCAN, false};
const HostedProgram::DialogState kScanning = {"scanning", false, false, false, true, IDC_STOP, IDC_STOP, true};
const HostedProgram::DialogState kIdleAfterRun = {"idle after a run", true, true, true, false, IDC_EXIT, IDC_EXIT,
                                                  false};

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::atoi(value) : fallback;
}

// --- the state table, with a real scan of the prefix's drives ---------------

using MainDialogScan = HostedProgram;

// Plants one forged worm file per signature row and a decoy beside each.
int PlantSpecimens(const std::string& root) {
  int planted = 0;
  for (uint32_t row = 0; row < kSignatureCount; ++row) {
    std::vector<unsigned char> bytes;
    std::string dir = root + "tree\\level" + std::to_string(row % 3) + "\\";
    if (!qxtest::MakeDirs(dir)) return -1;
    if (!ForgeSpecimenForRow(kSignatureTable[row], row + 1, &bytes) ||
        !qxtest::WriteBytes(dir + "specimen" + std::to_string(row) + ".exe", bytes))
      return -1;
    ++planted;
    if (!ForgeDecoyForRow(kSignatureTable[row], row + 1, &bytes) ||
        !qxtest::WriteBytes(dir + "decoy" + std::to_string(row) + ".exe", bytes))
      return -1;
  }
  return planted;
}

std::string ExpectedSummary(const ScanTotals& c, int32_t language) {
  char text[512];
  if (c.memoryDetections > 0 || c.fileDetections > 0)
    std::snprintf(text, sizeof(text), Text(TextKey::SummaryDetected, language), static_cast<int>(c.memoryModulesExamined),
                  static_cast<int>(c.memoryDetections), static_cast<int>(c.filesExamined),
                  static_cast<int>(c.fileDetections));
  else
    std::snprintf(text, sizeof(text), Text(TextKey::SummaryClean, language), static_cast<int>(c.memoryModulesExamined),
                  static_cast<int>(c.filesExamined));
  return text;
}

TEST_F(MainDialogScan, StateTableAcrossRunsStopAndRescan) {
  const char* drive = std::getenv("QX_TEST_DRIVE");
  ASSERT_NE(nullptr, drive) << "QX_TEST_DRIVE: run through program_dialog_test.sh";
  const int specimens = PlantSpecimens(drive);
  ASSERT_GT(specimens, 0);
  ExpectState(kInitialIdle, __LINE__);
  ASSERT_NE(nullptr, Context());

  // A full run: every specimen of the test drive becomes a row.
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);
  ExpectState(kScanning, __LINE__);
  EXPECT_EQ(1, IsScanWorkerRunning());
  ExpectEndingRefused("scanning");
  ASSERT_TRUE(IsWindow(dialog_));
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);  // a second Scan must not start a second worker
  int boxes = 0;
  std::string summary = CloseSummaryBoxes(&boxes);
  EXPECT_EQ(1, boxes) << "all removals succeed: the summary only";
  EXPECT_EQ(static_cast<uint32_t>(specimens), Context()->lastRun.fileDetections);
  EXPECT_EQ(ExpectedSummary(Context()->lastRun, Context()->languageIndex), summary);
  ExpectState(kIdleAfterRun, __LINE__);
  const uint32_t firstRunFiles = Context()->lastRun.filesExamined;
  ASSERT_EQ(specimens, ListRowCount(dialog_));
  EXPECT_EQ(specimens, Context()->rowCount);
  for (int row = 0; row < specimens; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(0u, ListCell(dialog_, row, 0).find(std::string(drive) + "tree\\")) << ListCell(dialog_, row, 0);
    EXPECT_NE(std::string::npos, ListCell(dialog_, row, 0).find("specimen")) << ListCell(dialog_, row, 0);
    const std::string path = ListCell(dialog_, row, 0);
    const size_t number = path.rfind("specimen");
    const unsigned index = number == std::string::npos ? 0 : std::atoi(path.c_str() + number + 8);
    ASSERT_LT(index, kSignatureCount);
    EXPECT_EQ(kSignatureTable[index].detectionName, ListCell(dialog_, row, 1));
    EXPECT_EQ(Text(TextKey::StatusRemoved, Context()->languageIndex), ListCell(dialog_, row, 2));
  }

  // The second run empties the list and counts rows from 0 again; Stop twice
  // is Stop once: the run ends, one summary, idle again.
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);
  EXPECT_EQ(0, ListRowCount(dialog_));
  EXPECT_EQ(0, Context()->rowCount);
  ExpectState(kScanning, __LINE__);
  SendMessageA(dialog_, WM_COMMAND, IDC_STOP, 0);
  SendMessageA(dialog_, WM_COMMAND, IDC_STOP, 0);
  EXPECT_EQ(1, IsStopRequested(Context()));
  summary = CloseSummaryBoxes(&boxes);
  EXPECT_EQ(1, boxes);
  EXPECT_EQ(ExpectedSummary(Context()->lastRun, Context()->languageIndex), summary);
  EXPECT_LT(Context()->lastRun.filesExamined, firstRunFiles) << "Stop did not cut the run short";
  ExpectState(kIdleAfterRun, __LINE__);
  EXPECT_EQ(0, ListRowCount(dialog_)) << "the worm files were removed by the first run";

  // A log-off asked about during a run is answered at once and stops
  // nothing; cancelled, it leaves the run to finish and show its summary as
  // if it had never been asked.
  ASSERT_EQ(specimens, PlantSpecimens(drive));
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);
  ExpectState(kScanning, __LINE__);
  LogOffAnswer query = AskLogOff(WM_QUERYENDSESSION, 0);
  EXPECT_TRUE(query.answered) << "no answer to WM_QUERYENDSESSION within 5 s";
  EXPECT_LT(query.ms, 2000u) << "WM_QUERYENDSESSION waited";
  EXPECT_EQ(TRUE, query.result);
  EXPECT_EQ(0, IsStopRequested(Context())) << "a log-off that may yet be cancelled stopped the run";
  LogOffAnswer cancelled = AskLogOff(WM_ENDSESSION, FALSE);
  EXPECT_TRUE(cancelled.answered) << "the cancelled log-off's WM_ENDSESSION waited more than 5 s";
  summary = CloseSummaryBoxes(&boxes);
  EXPECT_EQ(1, boxes) << "the run of a cancelled log-off showed no summary";
  EXPECT_EQ(static_cast<uint32_t>(specimens), Context()->lastRun.fileDetections) << "the run was cut short";
  EXPECT_EQ(ExpectedSummary(Context()->lastRun, Context()->languageIndex), summary);
  EXPECT_EQ(specimens, ListRowCount(dialog_));
  ExpectState(kIdleAfterRun, __LINE__);

  // A log-off that goes ahead stops the run, which ends with the session and
  // shows no summary box.
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);
  ExpectState(kScanning, __LINE__);
  query = AskLogOff(WM_QUERYENDSESSION, 0);
  EXPECT_TRUE(query.answered) << "no answer to WM_QUERYENDSESSION within 5 s";
  EXPECT_LT(query.ms, 2000u) << "WM_QUERYENDSESSION waited";
  EXPECT_EQ(TRUE, query.result);
  LogOffAnswer end = AskLogOff(WM_ENDSESSION, TRUE);
  EXPECT_TRUE(end.answered) << "WM_ENDSESSION waited more than 5 s";
  EXPECT_EQ(1, IsStopRequested(Context()));
  EXPECT_TRUE(WaitUntil([] { return IsScanWorkerRunning() == 0; }, 10000))
      << "the worker did not end: it shows a summary box to a session that is ending";
  EXPECT_EQ(nullptr, FindOwnedDialog(dialog_, 0)) << "a box for a session that is ending";
  ExpectState(kIdleAfterRun, __LINE__);

  // A log-off while the summary box of a run is up: answered at once, the
  // box is left to the end of the session.
  SendMessageA(dialog_, WM_COMMAND, IDC_SCAN, 0);
  SendMessageA(dialog_, WM_COMMAND, IDC_STOP, 0);
  HWND box = WaitForWindow([this] { return FindOwnedDialog(dialog_, 0); }, 120000);
  ASSERT_NE(nullptr, box) << "no summary after Stop";
  query = AskLogOff(WM_QUERYENDSESSION, 0);
  end = AskLogOff(WM_ENDSESSION, TRUE);
  const bool boxStayed = IsWindow(box) != 0;
  SendMessageA(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(query.answered) << "WM_QUERYENDSESSION waited behind the summary box";
  EXPECT_LT(query.ms, 2000u) << "WM_QUERYENDSESSION waited";
  EXPECT_EQ(TRUE, query.result);
  EXPECT_TRUE(end.answered) << "WM_ENDSESSION waited behind the summary box";
  EXPECT_LT(end.ms, 2000u) << "WM_ENDSESSION waited";
  EXPECT_TRUE(boxStayed);
  EXPECT_TRUE(WaitUntil([] { return IsScanWorkerRunning() == 0; }, 10000)) << "the worker did not end";
  ExpectState(kIdleAfterRun, __LINE__);
}

// --- texts in the system's language -----------------------------------------

using MainDialogTexts = HostedProgram;

TEST_F(MainDialogTexts, MainDialogColumnsAndAboutBox) {
  const int language = EnvInt("QX_EXPECT_LANGUAGE", -1);
  ASSERT_GE(language, 0) << "QX_EXPECT_LANGUAGE: run through program_dialog_test.sh";
  ASSERT_NE(nullptr, Context());
  EXPECT_EQ(language, Context()->languageIndex);

  struct Row {
    const char* what;
    std::string got;
    const char* want;
  };
  std::vector<Row> rows = {
      {"title", WindowText(dialog_), Text(TextKey::MainTitle, language)},
      {"progress label", ItemText(dialog_, IDC_PROGRESS_LABEL), Text(TextKey::ProgressLabel, language)},
      {"status line", ItemText(dialog_, IDC_STATUS_LINE), ""},
  };
  for (int id = IDC_SCAN; id <= IDC_STOP; ++id)
    rows.push_back({"button", ItemText(dialog_, id), ButtonText(id, language)});
  HWND header = reinterpret_cast<HWND>(SendDlgItemMessageA(dialog_, IDC_RESULTS, LVM_GETHEADER, 0, 0));
  EXPECT_EQ(3, SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
  const int widths[3] = {270, 100, 100};
  for (int column = 0; column < 3; ++column) {
    char text[100] = {};
    HDITEMA item = {};
    item.mask = HDI_TEXT | HDI_FORMAT;
    item.pszText = text;
    item.cchTextMax = sizeof(text);
    SendMessageA(header, HDM_GETITEMA, column, reinterpret_cast<LPARAM>(&item));
    rows.push_back({"column", text, ColumnText(column, language)});
    EXPECT_EQ(HDF_LEFT, item.fmt & HDF_JUSTIFYMASK) << "column " << column;
    EXPECT_EQ(widths[column], SendDlgItemMessageA(dialog_, IDC_RESULTS, LVM_GETCOLUMNWIDTH, column, 0));
  }

  PostMessageA(dialog_, WM_COMMAND, IDC_ABOUT, 0);
  HWND about = WaitForWindow([this] { return FindOwnedDialog(dialog_, threadId_); }, 10000);
  ASSERT_NE(nullptr, about);
  rows.push_back({"About title", WindowText(about), Text(TextKey::AboutTitle, language)});
  rows.push_back({"OK", ItemText(about, IDC_ABOUT_OK), Text(TextKey::OkButton, language)});
  for (int id = IDC_ABOUT_PRODUCT; id <= IDC_ABOUT_VENDOR; ++id)
    rows.push_back({"About line", ItemText(about, id), AboutControlText(id, language)});
  rows.push_back({"link", ItemText(about, IDC_LINK), "www.norvex.example"});

  char tip[128] = {};
  TOOLINFOA tool = {};
  tool.cbSize = TTTOOLINFOA_V2_SIZE;
  tool.hwnd = about;
  tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(about, IDC_LINK));
  tool.lpszText = tip;
  SendMessageA(SharedTooltip, TTM_GETTEXTA, sizeof(tip), reinterpret_cast<LPARAM>(&tool));
  rows.push_back({"link tooltip", tip, Text(TextKey::LinkTooltip, language)});

  // The version and the date are the same in every language.
  std::string fixed;
  for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
      fixed += "[" + WindowText(child) + "]";  // id -1 reads back as 0xFFFF from a classic template
  rows.push_back({"version and date", fixed, "[1.9][2006-06-23]"});

  for (const Row& row : rows) EXPECT_EQ(row.want, row.got) << row.what << " in language " << language;
  SendMessageA(about, WM_COMMAND, IDOK, 0);
}

// --- the About box ----------------------------------------------------------

using AboutBox = HostedProgram;

struct AboutActor {
  HWND owner;
  const std::function<void(HWND)>* act;
};

DWORD WINAPI RunAboutActor(LPVOID parameter) {
  const AboutActor* actor = static_cast<const AboutActor*>(parameter);
  const HWND owner = actor->owner;
  HWND about = WaitForWindow([owner] { return FindOwnedDialog(owner, 0); }, 10000);
  if (about) (*actor->act)(about);
  return 0;
}

// Runs the About box on this thread, owned by the main dialog, while `act`
// works it from another thread (it asserts nothing: GoogleTest is not
// thread-safe here); returns DialogBoxParamA's result.
INT_PTR RunAboutBox(HWND owner, const std::function<void(HWND)>& act) {
  AboutActor actor = {owner, &act};
  HANDLE thread = CreateThread(nullptr, 0, RunAboutActor, &actor, 0, nullptr);
  if (!thread) {
    ADD_FAILURE() << "CreateThread: " << GetLastError();
    return -1;
  }
  INT_PTR result = DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ABOUT), owner, AboutDialogProc, 0);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return result;
}

TEST_F(AboutBox, EveryWayOfClosingEndsWithZero) {
  struct Row {
    const char* way;
    std::function<void(HWND)> close;
  };
  const Row rows[] = {
      {"OK button", [](HWND about) { SendMessageA(GetDlgItem(about, IDC_ABOUT_OK), BM_CLICK, 0, 0); }},
      {"Enter", [](HWND about) { PostMessageA(GetDlgItem(about, IDC_ABOUT_OK), WM_KEYDOWN, VK_RETURN, 0); }},
      {"Escape", [](HWND about) { PostMessageA(GetDlgItem(about, IDC_ABOUT_OK), WM_KEYDOWN, VK_ESCAPE, 0); }},
      {"close box", [](HWND about) { PostMessageA(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  EXPECT_EQ(0, ToolCount());
  for (const Row& row : rows) {
    int toolsWhileOpen = -1;
    HWND box = nullptr;
    INT_PTR result = RunAboutBox(dialog_, [&](HWND about) {
      box = about;
      WaitUntil([] { return ToolCount() == 1; }, 2000);
      toolsWhileOpen = ToolCount();
      row.close(about);
    });
    EXPECT_EQ(0, result) << row.way;
    EXPECT_EQ(1, toolsWhileOpen) << row.way << ": the link's tool while the box is open";
    EXPECT_EQ(0, ToolCount()) << row.way << ": the tool is removed with the box";
    EXPECT_FALSE(IsWindow(box)) << row.way;
  }
}

TEST_F(AboutBox, LinkHoverColoursAndClickOpensTheWebSite) {
  const char* record = std::getenv("QX_SHELL_RECORD");
  ASSERT_NE(nullptr, record) << "QX_SHELL_RECORD: run through program_dialog_test.sh";
  DeleteFileA(record);
  // Park the mouse away from where the box will open.
  MoveMouse({2, 2});

  PostMessageA(dialog_, WM_COMMAND, IDC_ABOUT, 0);
  HWND about = WaitForWindow([this] { return FindOwnedDialog(dialog_, threadId_); }, 10000);
  ASSERT_NE(nullptr, about);
  HWND link = GetDlgItem(about, IDC_LINK);
  SetForegroundWindow(about);
  Sleep(300);
  EXPECT_EQ(0, GetWindowLongPtrA(about, GWLP_USERDATA)) << "a new box starts idle";
  LinkPixels idle = ReadLinkPixels(link);
  EXPECT_GT(idle.blue, 20) << "the idle link is blue";
  EXPECT_EQ(0, idle.red);

  MoveMouse(CentreOf(link));
  EXPECT_TRUE(WaitUntil([about] { return GetWindowLongPtrA(about, GWLP_USERDATA) == 1; }, 2000))
      << "hovering did not set the hover flag";
  Sleep(300);
  LinkPixels hovered = ReadLinkPixels(link);
  EXPECT_GT(hovered.red, 20) << "the hovered link is red";
  EXPECT_EQ(0, hovered.blue);
  EXPECT_GT(hovered.longestRedRow, 40) << "the hovered link is underlined";

  // Off the link onto the dialog: the link gets no message, the timer notices.
  MoveMouse(CentreOf(GetDlgItem(about, IDC_ABOUT_PRODUCT)));
  EXPECT_TRUE(WaitUntil([about] { return GetWindowLongPtrA(about, GWLP_USERDATA) == 0; }, 500))
      << "leaving the link did not clear the hover flag within a few timer ticks";
  Sleep(300);
  LinkPixels left = ReadLinkPixels(link);
  EXPECT_GT(left.blue, 20) << "blue again after leaving";
  EXPECT_EQ(0, left.red);

  // A click asks the shell for the maker's web site; the prefix's browser
  // is a recorder that writes what it was asked to open.
  MoveMouse(CentreOf(link));
  WaitUntil([about] { return GetWindowLongPtrA(about, GWLP_USERDATA) == 1; }, 2000);
  ClickMouse();
  std::vector<char> asked;
  EXPECT_TRUE(WaitUntil(
      [&] {
        HANDLE file = CreateFileA(record, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        char buffer[512] = {};
        DWORD read = 0;
        ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
        CloseHandle(file);
        asked.assign(buffer, buffer + read);
        return read > 0;
      },
      20000))
      << "the shell never started the browser";
  std::string request(asked.begin(), asked.end());
  EXPECT_NE(std::string::npos, request.find(kMakerUrl)) << request;
  EXPECT_STREQ("http://www.norvex.example/", kMakerUrl);

  // Closing while hovered kills the timer; the next box starts blue.
  EXPECT_EQ(1, GetWindowLongPtrA(about, GWLP_USERDATA));
  PostMessageA(link, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(WaitUntil([about] { return !IsWindow(about); }, 5000));
  MoveMouse({2, 2});
  PostMessageA(dialog_, WM_COMMAND, IDC_ABOUT, 0);
  about = WaitForWindow([this] { return FindOwnedDialog(dialog_, threadId_); }, 10000);
  ASSERT_NE(nullptr, about);
  Sleep(300);
  EXPECT_EQ(0, GetWindowLongPtrA(about, GWLP_USERDATA));
  EXPECT_EQ(0, ReadLinkPixels(GetDlgItem(about, IDC_LINK)).red);
  SendMessageA(about, WM_COMMAND, IDCANCEL, 0);
}

}  // namespace
