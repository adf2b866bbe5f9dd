// Presses the buttons of a running QuellixRemover.exe and reads its window,
// for the demo without a display and for the screenshots. Runs in the same
// Wine prefix as the program; prints UTF-8.
//   demo_driver wait               until the main dialog is up
//   demo_driver scan               press Scan, wait for the summary box, print
//                                  the rows and the summary (the box stays up)
//   demo_driver dismiss            close the summary boxes
//   demo_driver about              open the About box and print its texts
//   demo_driver close-about        close it
//   demo_driver rect main|about    "x y width height" of the window
//   demo_driver exit               press Exit
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sys/handle_win32.h"
#include "ui/resource_ids.h"

namespace {

void Print(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

bool IsDialogWindow(HWND window) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof(name));
  return std::strcmp(name, "#32770") == 0 && IsWindowVisible(window);
}

BOOL CALLBACK MatchMain(HWND window, LPARAM parameter) {
  if (IsDialogWindow(window) && GetDlgItem(window, IDC_RESULTS) && GetDlgItem(window, IDC_PROGRESS)) {
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
  }
  return TRUE;
}

struct OwnedSearch {
  HWND owner;
  bool fromOwnerThread;  // the About box; else a box of the scan thread
  HWND found;
};

BOOL CALLBACK MatchOwned(HWND window, LPARAM parameter) {
  OwnedSearch* search = reinterpret_cast<OwnedSearch*>(parameter);
  if (!IsDialogWindow(window) || GetWindow(window, GW_OWNER) != search->owner) return TRUE;
  bool sameThread = GetWindowThreadProcessId(window, nullptr) == GetWindowThreadProcessId(search->owner, nullptr);
  if (sameThread != search->fromOwnerThread) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindMain() {
  HWND found = nullptr;
  EnumWindows(MatchMain, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND FindOwned(HWND owner, bool fromOwnerThread) {
  OwnedSearch search = {owner, fromOwnerThread, nullptr};
  EnumWindows(MatchOwned, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

template <typename Find>
HWND WaitFor(Find find, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = find()) return window;
    if (GetTickCount() - start > ms) return nullptr;
    Sleep(50);
  }
}

std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

// The list view belongs to another process: its item and header texts are
// read through a buffer allocated there.
class RemoteBuffer {
 public:
  explicit RemoteBuffer(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    if (process_.valid()) memory_ = VirtualAllocEx(process_.get(), nullptr, kSize, MEM_COMMIT, PAGE_READWRITE);
  }
  ~RemoteBuffer() {
    if (memory_) VirtualFreeEx(process_.get(), memory_, 0, MEM_RELEASE);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  bool ok() const { return memory_ != nullptr; }

  // Sends `message` with a structure whose text pointer is set to the
  // remote text area; returns the text.
  template <typename Item>
  std::wstring Query(HWND window, UINT message, WPARAM wParam, Item item, wchar_t* Item::*text, int Item::*capacity) {
    char* base = static_cast<char*>(memory_);
    item.*text = reinterpret_cast<wchar_t*>(base + kTextOffset);
    item.*capacity = kTextChars;
    wchar_t result[kTextChars] = {};
    SIZE_T moved = 0;
    if (!WriteProcessMemory(process_.get(), base, &item, sizeof(item), &moved)) return L"";
    SendMessageW(window, message, wParam, reinterpret_cast<LPARAM>(base));
    if (!ReadProcessMemory(process_.get(), base + kTextOffset, result, sizeof(result) - sizeof(wchar_t), &moved)) return L"";
    return result;
  }

 private:
  static const SIZE_T kSize = 4096;
  static const SIZE_T kTextOffset = 512;
  static const int kTextChars = 600;
  OwnedHandle process_;
  void* memory_ = nullptr;
};

void PrintRows(HWND dialog) {
  HWND list = GetDlgItem(dialog, IDC_RESULTS);
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  RemoteBuffer remote(list);
  if (!remote.ok()) {
    Print(L"(cannot read the results list)\n");
    return;
  }
  std::wstring line;
  for (int column = 0; column < 3; ++column) {
    HDITEMW item = {};
    item.mask = HDI_TEXT;
    line += (column ? L" | " : L"") +
            remote.Query(header, HDM_GETITEMW, column, item, &HDITEMW::pszText, &HDITEMW::cchTextMax);
  }
  Print(line + L"\n");
  const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; ++row) {
    line.clear();
    for (int column = 0; column < 3; ++column) {
      LVITEMW item = {};
      item.iSubItem = column;
      line += (column ? L" | " : L"") +
              remote.Query(list, LVM_GETITEMTEXTW, row, item, &LVITEMW::pszText, &LVITEMW::cchTextMax);
    }
    Print(line + L"\n");
  }
  wchar_t count[64];
  swprintf(count, 64, L"(%d rows)\n", rows);
  Print(count);
}

void PrintBox(HWND box) {
  Print(L"[" + TextOf(box) + L"]\n");
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char name[16] = {};
    GetClassNameA(child, name, sizeof(name));
    std::wstring text = TextOf(child);
    // An icon's static holds the icon's resource ordinal, not a text.
    bool icon = (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    if (!text.empty() && !icon && _stricmp(name, "Static") == 0) Print(text + L"\n");
  }
}

int Fail(const char* what) {
  std::fprintf(stderr, "demo_driver: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: demo_driver wait|scan|dismiss|about|close-about|rect main|about|exit");
  const std::string command = argv[1];
  HWND dialog = WaitFor(FindMain, command == "wait" ? 60000 : 5000);
  if (!dialog) return Fail("the main dialog is not up");

  if (command == "wait") return 0;
  if (command == "scan") {
    PostMessageW(dialog, WM_COMMAND, IDC_SCAN, 0);
    HWND box = WaitFor([dialog] { return FindOwned(dialog, false); }, 600000);
    if (!box) return Fail("no summary box");
    Sleep(300);
    PrintRows(dialog);
    PrintBox(box);
    return 0;
  }
  if (command == "dismiss") {
    while (HWND box = WaitFor([dialog] { return FindOwned(dialog, false); }, 1500)) {
      PrintBox(box);
      SendMessageW(box, WM_COMMAND, IDOK, 0);
      Sleep(200);
    }
    return 0;
  }
  if (command == "about") {
    PostMessageW(dialog, WM_COMMAND, IDC_ABOUT, 0);
    HWND about = WaitFor([dialog] { return FindOwned(dialog, true); }, 10000);
    if (!about) return Fail("no About box");
    Sleep(300);
    PrintBox(about);
    return 0;
  }
  if (command == "close-about") {
    HWND about = FindOwned(dialog, true);
    if (about) PostMessageW(about, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (command == "rect" && argc == 3) {
    HWND window = std::strcmp(argv[2], "about") == 0 ? FindOwned(dialog, true) : dialog;
    RECT r;
    if (!window || !GetWindowRect(window, &r)) return Fail("no such window");
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
  }
  if (command == "exit") {
    PostMessageW(dialog, WM_COMMAND, IDC_EXIT, 0);
    return 0;
  }
  return Fail("unknown command");
}
