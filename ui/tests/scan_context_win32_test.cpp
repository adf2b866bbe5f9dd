// Scan context against real controls: a parent window with a list view,
// a progress bar and a status line, driven from the user-interface thread
// and from a second thread while the user-interface thread pumps messages.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ui/scan_context_win32.h"
#include "ui/texts.h"

namespace {

// What the parent's procedure saw of WM_SCAN_DONE.
LONG volatile g_scanDoneCount = 0;
DWORD g_scanDoneThread = 0;

LRESULT CALLBACK ParentProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SCAN_DONE) {
    // Make any missing synchronisation visible: the sender must wait for this.
    Sleep(50);
    g_scanDoneThread = GetCurrentThreadId();
    InterlockedIncrement(&g_scanDoneCount);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

class ScanContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ParentProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QxScanContextTestParent";
    RegisterClassA(&windowClass);  // fails harmlessly when already registered

    parent = CreateWindowExA(0, "QxScanContextTestParent", "report controls", WS_OVERLAPPEDWINDOW, 0,
                             0, 500, 400, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, parent);
    status = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 340, 400, 16, parent,
                             reinterpret_cast<HMENU>(1000), nullptr, nullptr);
    progress = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 10, 300, 16, parent,
                               reinterpret_cast<HMENU>(1001), nullptr, nullptr);
    // Short enough that a dozen rows need scrolling.
    list = CreateWindowExA(0, WC_LISTVIEWA, "",
                           WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS |
                               LVS_NOSORTHEADER,
                           10, 40, 450, 110, parent, reinterpret_cast<HMENU>(1002), nullptr, nullptr);
    ASSERT_NE(nullptr, status);
    ASSERT_NE(nullptr, progress);
    ASSERT_NE(nullptr, list);
    const char* headers[] = {"File Name", "Virus Name", "Status"};
    for (int c = 0; c < 3; ++c) {
      LVCOLUMNA column = {};
      column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      column.cx = 140;
      column.iSubItem = c;
      column.pszText = const_cast<char*>(headers[c]);
      ASSERT_EQ(c, SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column)));
    }
    context = CreateScanContext(progress, status, list);
    ASSERT_NE(nullptr, context);
    g_scanDoneCount = 0;
    g_scanDoneThread = 0;
  }

  void TearDown() override {
    DestroyScanContext(context);
    if (parent) DestroyWindow(parent);
  }

  std::string ItemText(int item, int subItem) {
    char buffer[300] = {};
    LVITEMA lv = {};
    lv.iSubItem = subItem;
    lv.pszText = buffer;
    lv.cchTextMax = sizeof buffer;
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lv));
    return buffer;
  }

  // Pumps messages until the thread ends (or ten seconds pass).
  static bool PumpUntilDone(HANDLE thread) {
    const DWORD deadline = GetTickCount() + 10000;
    for (;;) {
      const DWORD left = deadline - GetTickCount();
      if (static_cast<LONG>(left) <= 0) return false;
      const DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_ALLINPUT);
      if (wait == WAIT_OBJECT_0) return true;
      if (wait != WAIT_OBJECT_0 + 1) return false;
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
  }

  HWND parent = nullptr, status = nullptr, progress = nullptr, list = nullptr;
  ScanContext* context = nullptr;
};

TEST_F(ScanContextTest, CreationHoldsTheWindowsAndStartsAtZero) {
  EXPECT_EQ(status, context->statusLine);
  EXPECT_EQ(progress, context->progressBar);
  EXPECT_EQ(list, context->resultsList);
  EXPECT_EQ(0, context->rowCount);
  EXPECT_EQ(0, IsStopRequested(context));
}

TEST_F(ScanContextTest, RowsKeepOrderAndTheNewestIsSelectedFocusedAndVisible) {
  const int perPage = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
  ASSERT_GT(perPage, 0);
  const int rows = perPage + 8;
  for (int i = 0; i < rows; ++i) {
    const std::string path = "C:\\dir" + std::to_string(i) + "\\worm.exe";
    const std::string name = "Worm.Quellix." + std::to_string(i);
    AddResultRow(context, path.c_str(), name.c_str(), i % 2 ? "Delete failed" : "Deleted");
    ASSERT_EQ(i + 1, context->rowCount);
    ASSERT_EQ(i + 1, SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)) << "row " << i;

    const UINT both = LVIS_SELECTED | LVIS_FOCUSED;
    EXPECT_EQ(both, SendMessageA(list, LVM_GETITEMSTATE, static_cast<WPARAM>(i), both)) << "row " << i;
    EXPECT_EQ(1, SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0)) << "row " << i;
    EXPECT_EQ(i, SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED)) << "row " << i;
    const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    EXPECT_LE(top, i) << "row " << i;
    EXPECT_LT(i, top + perPage) << "row " << i << " below the visible page";
  }
  // The list really scrolled: the first row went out of sight.
  EXPECT_GT(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), 0);

  for (int i = 0; i < rows; ++i) {
    EXPECT_EQ("C:\\dir" + std::to_string(i) + "\\worm.exe", ItemText(i, 0)) << "row " << i;
    EXPECT_EQ("Worm.Quellix." + std::to_string(i), ItemText(i, 1)) << "row " << i;
    EXPECT_EQ(i % 2 ? "Delete failed" : "Deleted", ItemText(i, 2)) << "row " << i;
  }

  // A new run: the dialog empties the list and clears the count; rows start over at 0.
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  context->rowCount = 0;
  AddResultRow(context, "C:\\again.exe", "Worm.Quellix.a", "Deleted");
  EXPECT_EQ(1, context->rowCount);
  EXPECT_EQ(1, SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  EXPECT_EQ("C:\\again.exe", ItemText(0, 0));
}

TEST_F(ScanContextTest, ProgressBarRangeStepAndClampedPosition) {
  SetProgressRange(context, 0, 100);
  SetProgressStep(context, 1);
  PBRANGE range = {};
  SendMessageA(progress, PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(0, range.iLow);
  EXPECT_EQ(100, range.iHigh);

  const struct {
    int set;
    int want;
  } rows[] = {{0, 0}, {37, 37}, {100, 100}, {101, 100}, {250, 100}, {-5, 0}, {99, 99}};
  for (const auto& row : rows) {
    SetProgressPos(context, row.set);
    EXPECT_EQ(row.want, SendMessageA(progress, PBM_GETPOS, 0, 0)) << "position " << row.set;
  }
  // Step 1: one step from 99 reaches 100.
  SendMessageA(progress, PBM_STEPIT, 0, 0);
  EXPECT_EQ(100, SendMessageA(progress, PBM_GETPOS, 0, 0));
}

TEST_F(ScanContextTest, StatusLineText) {
  SetStatusText(context, "C:\\WINDOWS\\system32\\");
  char text[100] = {};
  GetWindowTextA(status, text, sizeof text);
  EXPECT_STREQ("C:\\WINDOWS\\system32\\", text);
}

// The list view's messages, seen through a subclass procedure.
struct SentMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
SentMessage g_listMessages[32];
int g_listMessageCount = 0;
WNDPROC g_listProcedure = nullptr;

LRESULT CALLBACK ListSpy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= LVM_FIRST && message < LVM_FIRST + 0x100 && g_listMessageCount < 32)
    g_listMessages[g_listMessageCount++] = {message, wParam, lParam};
  return CallWindowProcA(g_listProcedure, window, message, wParam, lParam);
}

// Wine's list view scrolls a newly focused row into view by itself, so the
// visibility above would hold without the explicit request; check the request.
TEST_F(ScanContextTest, NewestRowIsExplicitlyMadeWhollyVisible) {
  AddResultRow(context, "C:\\a.exe", "Worm.Quellix.a", "Deleted");
  g_listProcedure = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListSpy)));
  g_listMessageCount = 0;
  AddResultRow(context, "C:\\b.exe", "Worm.Quellix.b", "Deleted");
  SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_listProcedure));

  ASSERT_GE(g_listMessageCount, 2);
  const SentMessage& last = g_listMessages[g_listMessageCount - 1];
  EXPECT_EQ(static_cast<UINT>(LVM_ENSUREVISIBLE), last.message);
  EXPECT_EQ(1u, last.wParam);
  EXPECT_EQ(0, last.lParam) << "a partly visible row is not enough";
  EXPECT_EQ(static_cast<UINT>(LVM_SETITEMSTATE), g_listMessages[g_listMessageCount - 2].message);
}

struct WorkerResult {
  ScanContext* context;
  LONG doneCountAfterNotify;
};

DWORD WINAPI ReportFromWorker(void* parameter) {
  WorkerResult* result = static_cast<WorkerResult*>(parameter);
  SetStatusText(result->context, "C:\\scan\\");
  SetProgressPos(result->context, 42);
  AddResultRow(result->context, "C:\\scan\\a.exe", "Worm.Quellix.a", "Deleted");
  AddResultRow(result->context, "C:\\scan\\b.exe", "Worm.Quellix.b", "Delete failed");
  NotifyScanDone(result->context);
  result->doneCountAfterNotify = InterlockedCompareExchange(&g_scanDoneCount, 0, 0);
  return 0;
}

TEST_F(ScanContextTest, ScanThreadReportsSynchronouslyThroughTheUserInterfaceThread) {
  WorkerResult result = {context, -1};
  HANDLE thread = CreateThread(nullptr, 0, ReportFromWorker, &result, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  const bool finished = PumpUntilDone(thread);
  CloseHandle(thread);
  ASSERT_TRUE(finished);

  // The parent's handler had run, on this thread, before NotifyScanDone returned.
  EXPECT_EQ(1, result.doneCountAfterNotify);
  EXPECT_EQ(GetCurrentThreadId(), g_scanDoneThread);
  EXPECT_EQ(2, context->rowCount);
  EXPECT_EQ("C:\\scan\\a.exe", ItemText(0, 0));
  EXPECT_EQ("C:\\scan\\b.exe", ItemText(1, 0));
  EXPECT_EQ(42, SendMessageA(progress, PBM_GETPOS, 0, 0));
  char text[100] = {};
  GetWindowTextA(status, text, sizeof text);
  EXPECT_STREQ("C:\\scan\\", text);
}

DWORD WINAPI PollUntilStopped(void* parameter) {
  ScanContext* context = static_cast<ScanContext*>(parameter);
  // The scan loop's shape: nothing in the body tells the compiler the flag may change.
  unsigned long spins = 0;
  while (!IsStopRequested(context)) ++spins;
  return spins > 0 ? 1 : 2;
}

TEST_F(ScanContextTest, StopFlagSeenByThePollingThread) {
  HANDLE thread = CreateThread(nullptr, 0, PollUntilStopped, context, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  Sleep(50);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0)) << "stopped before the request";
  RequestStop(context);
  RequestStop(context);  // twice is the same as once
  const DWORD waited = WaitForSingleObject(thread, 10000);
  if (waited != WAIT_OBJECT_0) {
    ClearStop(context);
    TerminateThread(thread, 0);
  }
  CloseHandle(thread);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), waited);
  EXPECT_EQ(1, IsStopRequested(context));
  EXPECT_EQ(1, context->stopFlag.load());
  ClearStop(context);
  EXPECT_EQ(0, IsStopRequested(context));
}


// ---- the dialog's report: one run's calls from a worker, as RunScan makes them

// The bar's positions, seen through a subclass procedure.
std::vector<int> g_positions;
WNDPROC g_progressProcedure = nullptr;

LRESULT CALLBACK ProgressSpy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETPOS) g_positions.push_back(static_cast<int>(wParam));
  return CallWindowProcA(g_progressProcedure, window, message, wParam, lParam);
}

struct SeenBox {
  std::string caption, text;
  HWND owner;
  LONG scanDoneBefore;  // WM_SCAN_DONE count when the box showed
};

BOOL CALLBACK FindDialogBox(HWND window, LPARAM found) {
  char name[32];
  if (GetClassNameA(window, name, sizeof name) && std::strcmp(name, "#32770") == 0 && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

std::string WindowTextOf(HWND window) {
  char text[1024] = "";
  if (window) GetWindowTextA(window, text, sizeof text);
  return text;
}

struct RunScript {
  ScanContext* context;
  ScanTotals totals;
  int stopAnswer;  // the stop question's answer during the run
};

DWORD WINAPI ReportOneRun(void* parameter) {
  RunScript* script = static_cast<RunScript*>(parameter);
  BeginScanReport(script->context);
  ScanReport report = ScanContextReport(script->context);
  ReportProgress(&report, ScanPosition{0, 0, 0});
  ReportProgress(&report, ScanPosition{5, 5000, kUnknownShare});
  ReportProgress(&report, ScanPosition{10, 9000, 37});
  ReportProgress(&report, ScanPosition{11, 9100, 37});
  ReportCurrentPath(&report, "Memory>>C:\\a.exe");
  ReportRow(&report, ScanRow{"C:\\gone.exe", "Worm.Quellix.c", kRowRemoved, "", kPassFile});
  ReportRow(&report, ScanRow{"C:\\later.dll", "Worm.Quellix.c.dll2", kRowScheduledAtRestart, "", kPassFile});
  ReportRow(&report, ScanRow{"C:\\stuck.bin", "Worm.Quellix.ay", kRowRemovalFailed, "held", kPassFile});
  ReportRow(&report, ScanRow{"C:\\unreadable.bin", "", kRowNotExamined, "denied", kPassFile});
  ReportProgress(&report, ScanPosition{12, 9200, 100});
  script->stopAnswer = ReportStopRequested(&report);
  ReportRunEnded(&report, script->totals);
  return 0;
}

class DialogReportTest : public ScanContextTest {
 protected:
  void SetUp() override {
    g_progressProcedure = nullptr;
    ScanContextTest::SetUp();
    if (HasFatalFailure()) return;
    context->languageIndex = 1;  // English
    g_positions.clear();
    g_progressProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(progress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProgressSpy)));
  }
  void TearDown() override {
    if (g_progressProcedure)
      SetWindowLongPtrA(progress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_progressProcedure));
    ScanContextTest::TearDown();
  }

  // Runs the script on a worker while this thread pumps and presses OK on
  // each box as a person would.
  std::vector<SeenBox> Run(RunScript* script) {
    std::vector<SeenBox> boxes;
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReportOneRun, script, 0, &threadId);
    EXPECT_NE(nullptr, thread);
    if (!thread) return boxes;
    const DWORD start = GetTickCount();
    HWND answered = nullptr;
    bool finished = false;
    while (GetTickCount() - start < 20000) {
      if (MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT) == WAIT_OBJECT_0) {
        finished = true;
        break;
      }
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
      if (answered && IsWindow(answered)) continue;
      HWND box = nullptr;
      EnumThreadWindows(threadId, FindDialogBox, reinterpret_cast<LPARAM>(&box));
      if (!box) continue;
      boxes.push_back(SeenBox{WindowTextOf(box), WindowTextOf(GetDlgItem(box, 0xFFFF)), GetWindow(box, GW_OWNER),
                              InterlockedCompareExchange(&g_scanDoneCount, 0, 0)});
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
      answered = box;
    }
    if (!finished) TerminateThread(thread, 1);
    CloseHandle(thread);
    EXPECT_TRUE(finished);
    return boxes;
  }

  std::string DetectedSummary(const ScanTotals& t) {
    char text[512];
    std::snprintf(text, sizeof text, Text(TextKey::SummaryDetected, 1), static_cast<int>(t.memoryModulesExamined),
                  static_cast<int>(t.memoryDetections), static_cast<int>(t.filesExamined),
                  static_cast<int>(t.fileDetections));
    return text;
  }
};

ScanTotals Totals(uint64_t files, uint32_t detections, uint32_t failures, uint32_t modules, uint32_t resident) {
  ScanTotals totals{};
  totals.filesExamined = files;
  // The file pass's part: what the summary counts and the reboot advice follows.
  totals.detections = detections + resident;
  totals.fileDetections = detections;
  totals.removed = detections + resident - failures;
  totals.failures = failures;
  totals.fileFailures = failures;
  totals.memoryModulesExamined = modules;
  totals.memoryDetections = resident;
  return totals;
}

TEST_F(DialogReportTest, RowsInTheDialogsWordsBarOnChangeAndSummaryAfterScanDone) {
  RunScript script{context, Totals(819, 4, 1, 12, 1), -1};
  std::vector<SeenBox> boxes = Run(&script);

  // Removed and scheduled at restart read alike; an unread file has no row.
  ASSERT_EQ(3, SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  const char* const expected[3][3] = {{"C:\\gone.exe", "Worm.Quellix.c", "Deleted"},
                                      {"C:\\later.dll", "Worm.Quellix.c.dll2", "Deleted"},
                                      {"C:\\stuck.bin", "Worm.Quellix.ay", "Delete failed"}};
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 3; ++column) EXPECT_EQ(expected[row][column], ItemText(row, column)) << row;

  // Begin sets 0; 37 once; 100; the end puts the bar back at 0.
  EXPECT_EQ((std::vector<int>{0, 37, 100, 0}), g_positions);
  EXPECT_EQ(0, script.stopAnswer);
  EXPECT_EQ(1, g_scanDoneCount);
  EXPECT_EQ("", WindowTextOf(status));

  ASSERT_EQ(2u, boxes.size());
  EXPECT_EQ("Report", boxes[0].caption);
  EXPECT_EQ(DetectedSummary(script.totals), boxes[0].text);
  EXPECT_EQ("Report", boxes[1].caption);
  EXPECT_EQ(Text(TextKey::RebootAdvice, 1), boxes[1].text);
  for (const SeenBox& box : boxes) {
    EXPECT_EQ(parent, box.owner) << box.caption;
    EXPECT_EQ(1, box.scanDoneBefore) << box.caption;
  }
}

TEST_F(DialogReportTest, CleanRunShowsTheCongratulationsBoxOnly) {
  RunScript script{context, Totals(819, 0, 0, 12, 0), -1};
  std::vector<SeenBox> boxes = Run(&script);
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Congratulations", boxes[0].caption);
  char text[512];
  std::snprintf(text, sizeof text, Text(TextKey::SummaryClean, 1), 12, 819);
  EXPECT_EQ(text, boxes[0].text);
}

TEST_F(DialogReportTest, DetectionInMemoryOnlyStillReports) {
  RunScript script{context, Totals(5, 0, 0, 3, 1), -1};
  std::vector<SeenBox> boxes = Run(&script);
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Report", boxes[0].caption);
  EXPECT_EQ(DetectedSummary(script.totals), boxes[0].text);
}

TEST_F(DialogReportTest, SessionEndingShowsNoBoxesButEndsTheRun) {
  SetSessionEnding(context, kSessionEnding);
  RequestStop(context);
  RunScript script{context, Totals(10, 2, 1, 3, 0), -1};
  std::vector<SeenBox> boxes = Run(&script);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(1, script.stopAnswer);
  EXPECT_EQ(1, g_scanDoneCount);
  EXPECT_EQ(0, g_positions.back());
}

struct Decision {
  ScanContext* context;
  int32_t state;
};

DWORD WINAPI DecideLater(void* parameter) {
  Decision* decision = static_cast<Decision*>(parameter);
  Sleep(500);
  SetSessionEnding(decision->context, decision->state);
  return 0;
}

// A log-off asked about but undecided when the run ends: the boxes wait for
// the decision, then come as if nothing had been asked, or not at all.
TEST_F(DialogReportTest, UndecidedLogOffHoldsTheBoxesUntilItIsDecided) {
  const struct {
    int32_t decision;
    size_t boxes;
  } cases[] = {{kSessionGoesOn, 2}, {kSessionEnding, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decision);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    context->rowCount = 0;
    SetSessionEnding(context, kSessionMayEnd);
    EXPECT_EQ(0, IsSessionEnding(context));
    Decision decision{context, c.decision};
    HANDLE decider = CreateThread(nullptr, 0, DecideLater, &decision, 0, nullptr);
    ASSERT_NE(nullptr, decider);
    RunScript script{context, Totals(10, 2, 1, 3, 0), -1};
    const DWORD start = GetTickCount();
    std::vector<SeenBox> boxes = Run(&script);
    WaitForSingleObject(decider, 5000);
    CloseHandle(decider);
    EXPECT_GE(GetTickCount() - start, 450u) << "the run's end did not wait for the decision";
    ASSERT_EQ(c.boxes, boxes.size());
    if (c.boxes) {
      EXPECT_EQ(DetectedSummary(script.totals), boxes[0].text);
      EXPECT_EQ(Text(TextKey::RebootAdvice, 1), boxes[1].text);
    }
    EXPECT_EQ(0, script.stopAnswer);
  }
}

}  // namespace
