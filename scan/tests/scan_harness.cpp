// Test harness for whole scan runs (see scan_harness.h).
#include "scan/tests/scan_harness.h"

#include <commctrl.h>

#include <cstring>
#include <deque>

#include "engine/testing/specimen_forge.h"
#include "scan/scan_run.h"

namespace scantest {
namespace {

const char kClassName[] = "QxScanHarness";
// The message box's text control, on Windows and Wine alike.
const int kMessageBoxTextId = 0xFFFF;

struct ThreadArgs {
  std::function<void(ScanContext*)> body;
  ScanContext* context;
};

DWORD WINAPI ScanThread(void* raw) {
  ThreadArgs* args = static_cast<ThreadArgs*>(raw);
  if (args->body) {
    args->body(args->context);
  } else {
    RunScan(args->context);
  }
  return 0;
}

struct FindBox {
  DWORD thread;
  HWND box;
};

BOOL CALLBACK FindBoxProc(HWND window, LPARAM raw) {
  FindBox* find = reinterpret_cast<FindBox*>(raw);
  char name[32];
  if (GetClassNameA(window, name, sizeof name) && std::strcmp(name, "#32770") == 0 && IsWindowVisible(window)) {
    find->box = window;
    return FALSE;
  }
  return TRUE;
}

std::string WindowText(HWND window) {
  char text[1024];
  text[0] = '\0';
  GetWindowTextA(window, text, sizeof text);
  return text;
}

}  // namespace

ScanWindow::ScanWindow() {
  INITCOMMONCONTROLSEX init = {sizeof init, ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&init);
  WNDCLASSA windowClass;
  std::memset(&windowClass, 0, sizeof windowClass);
  windowClass.lpfnWndProc = MainProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kClassName;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  RegisterClassA(&windowClass);
  main_ = CreateWindowA(kClassName, "Scan harness", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 640, 420, nullptr,
                        nullptr, windowClass.hInstance, nullptr);
  SetWindowLongPtrA(main_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  status_ = CreateWindowA("STATIC", "", WS_CHILD | WS_VISIBLE, 10, 360, 600, 20, main_,
                          reinterpret_cast<HMENU>(1000), windowClass.hInstance, nullptr);
  progress_ = CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 330, 600, 20, main_,
                            reinterpret_cast<HMENU>(1001), windowClass.hInstance, nullptr);
  list_ = CreateWindowA(WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT, 10, 10, 600, 310, main_,
                        reinterpret_cast<HMENU>(1002), windowClass.hInstance, nullptr);
  const char* headers[] = {"File Name", "Virus Name", "Status"};
  for (int column = 0; column < 3; ++column) {
    LVCOLUMNA header;
    std::memset(&header, 0, sizeof header);
    header.mask = LVCF_TEXT | LVCF_WIDTH;
    header.cx = 200;
    header.pszText = const_cast<char*>(headers[column]);
    SendMessageA(list_, LVM_INSERTCOLUMNA, column, reinterpret_cast<LPARAM>(&header));
  }
  SetWindowLongPtrA(progress_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(status_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  progressProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(progress_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProgressProc)));
  statusProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(status_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StatusProc)));
  context_ = CreateScanContext(progress_, status_, list_);
  if (context_) context_->languageIndex = 1;
}

ScanWindow::~ScanWindow() {
  DestroyScanContext(context_);
  DestroyWindow(main_);
}

LRESULT CALLBACK ScanWindow::MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ScanWindow* self = reinterpret_cast<ScanWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_SCAN_DONE && self && self->record_) {
    self->record_->scanDone = true;
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK ScanWindow::ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ScanWindow* self = reinterpret_cast<ScanWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == PBM_SETPOS && self->record_) self->record_->positions.push_back(static_cast<int>(wParam));
  return CallWindowProcA(self->progressProc_, window, message, wParam, lParam);
}

LRESULT CALLBACK ScanWindow::StatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ScanWindow* self = reinterpret_cast<ScanWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_SETTEXT && self->record_) {
    std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
    self->record_->statusTexts.push_back(text);
    if (self->statusHook_) self->statusHook_(text);
  }
  return CallWindowProcA(self->statusProc_, window, message, wParam, lParam);
}

RunRecord ScanWindow::Run(std::function<void(ScanContext*)> body, DWORD timeoutMs) {
  RunRecord record;
  record_ = &record;
  ThreadArgs args{body, context_};
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, ScanThread, &args, 0, &threadId);
  DWORD start = GetTickCount();
  HWND answered = nullptr;
  while (thread) {
    DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) {
      record.finished = true;
      break;
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    // A box is answered once; the next one is looked for when it has gone.
    if (answered && IsWindow(answered)) continue;
    answered = nullptr;
    FindBox find{threadId, nullptr};
    EnumThreadWindows(threadId, FindBoxProc, reinterpret_cast<LPARAM>(&find));
    if (find.box) {
      HWND text = GetDlgItem(find.box, kMessageBoxTextId);
      Box box{WindowText(find.box), text ? WindowText(text) : "", GetWindow(find.box, GW_OWNER) == main_,
              record.scanDone};
      record.boxes.push_back(box);
      HWND ok = GetDlgItem(find.box, IDOK);
      PostMessageA(find.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
      answered = find.box;
    }
    if (GetTickCount() - start > timeoutMs) break;
  }
  if (thread) {
    if (!record.finished) TerminateThread(thread, 1);
    CloseHandle(thread);
  }
  record.rows = Rows();
  record.counters = gScanCounters;
  record_ = nullptr;
  return record;
}

std::vector<Row> ScanWindow::Rows() const {
  std::vector<Row> rows;
  int count = static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0));
  for (int index = 0; index < count; ++index) {
    std::string cells[3];
    for (int column = 0; column < 3; ++column) {
      char text[1024] = "";
      LVITEMA item;
      std::memset(&item, 0, sizeof item);
      item.iSubItem = column;
      item.pszText = text;
      item.cchTextMax = sizeof text;
      SendMessageA(list_, LVM_GETITEMTEXTA, index, reinterpret_cast<LPARAM>(&item));
      cells[column] = text;
    }
    rows.push_back(Row{cells[0], cells[1], cells[2]});
  }
  return rows;
}

void ScanWindow::ClearRows() {
  SendMessageA(list_, LVM_DELETEALLITEMS, 0, 0);
  context_->rowCount = 0;
  ClearStop(context_);
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  unsigned char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  CloseHandle(file);
  return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool MakeDirectories(const std::string& path) {
  for (size_t at = 3; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '\\') CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string& path) {
  std::string base = path;
  if (!base.empty() && base.back() != '\\') base += '\\';
  WIN32_FIND_DATAW found;
  std::wstring wide(base.begin(), base.end());
  HANDLE search = FindFirstFileW((wide + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = wide + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Recurse through the narrow form only for ASCII names; others are leaves here.
        std::string narrow(full.begin(), full.end());
        RemoveTree(narrow);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (base.size() > 3) RemoveDirectoryW(wide.c_str());
}

std::vector<unsigned char> Specimen(uint32_t row, uint32_t seed) {
  std::vector<unsigned char> bytes;
  ForgeSpecimenForRow(kSignatureTable[row], seed, &bytes);
  return bytes;
}

std::vector<unsigned char> Decoy(uint32_t row, uint32_t seed) {
  std::vector<unsigned char> bytes;
  ForgeDecoyForRow(kSignatureTable[row], seed, &bytes);
  return bytes;
}

std::vector<unsigned char> PaddedSpecimen(uint32_t row, const std::vector<unsigned char>& image) {
  const SignatureRecord& record = kSignatureTable[row];
  SpecimenRequest request{record.fileSize, record.weightedSum, record.headSum, image.data(),
                          static_cast<uint32_t>(image.size()), 1};
  std::vector<unsigned char> bytes;
  ForgeSpecimen(request, &bytes);
  return bytes;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ProgramDirectory() {
  char path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\') + 1);
}

namespace {
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
}

bool SetRunValue(const std::string& name, const std::string& data) {
  HKEY key;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kRunKey, &key) != ERROR_SUCCESS) return false;
  LONG result = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool HasRunValue(const std::string& name) {
  HKEY key;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kRunKey, &key) != ERROR_SUCCESS) return false;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

void DeleteRunValue(const std::string& name) {
  HKEY key;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kRunKey, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, name.c_str());
  RegCloseKey(key);
}

Process StartProcess(const std::string& commandLine, const std::string& directory) {
  Process process;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    CloseHandle(info.hThread);
    process.handle = info.hProcess;
    process.id = info.dwProcessId;
  }
  return process;
}

Process HoldFile(const std::string& path) {
  static int serial = 0;
  std::string eventName = "QxHolderReady" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
  Process process = StartProcess("\"" + ProgramDirectory() + "scan_file_holder.exe\" \"" + path + "\" " + eventName, "");
  if (process.handle) {
    HANDLE waits[2] = {ready, process.handle};
    if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) Stop(&process);
  }
  CloseHandle(ready);
  return process;
}

void Stop(Process* process) {
  if (!process->handle) return;
  TerminateProcess(process->handle, 1);
  WaitForSingleObject(process->handle, 10000);
  CloseHandle(process->handle);
  process->handle = nullptr;
}

bool StillRunning(const Process& process) {
  DWORD code = 0;
  return process.handle && GetExitCodeProcess(process.handle, &code) && code == STILL_ACTIVE;
}

DWORD ExitCode(const Process& process) {
  DWORD code = 0;
  if (process.handle) WaitForSingleObject(process.handle, 10000);
  if (!process.handle || !GetExitCodeProcess(process.handle, &code)) return 0xFFFFFFFFu;
  return code;
}

std::vector<std::string> WalkOrder(const std::string& root) {
  std::vector<std::string> files;
  std::deque<std::string> pending{root};
  while (!pending.empty()) {
    std::string directory = pending.front();
    pending.pop_front();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      std::string name = found.cFileName;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (name != "." && name != "..") pending.push_back(directory + name + "\\");
      } else {
        files.push_back(directory + name);
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return files;
}

std::string PendingRenames() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return "";
  std::vector<char> data(65536);
  DWORD size = static_cast<DWORD>(data.size());
  DWORD type = 0;
  std::string joined;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &size) == ERROR_SUCCESS) {
    for (DWORD at = 0; at < size; ++at) joined += data[at] ? data[at] : '|';
  }
  RegCloseKey(key);
  return joined;
}

}  // namespace scantest
