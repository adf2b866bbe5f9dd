// quellix-scan.exe: the console scanner of the live Windows system. The
// console driver does the run; this file gives it the Windows console
// (code pages, Ctrl+C), the dialog's ports (walk, check, removal by
// identity, the Run values of this user and, with --all-users, of every
// loaded hive), the memory pass, and the quarantine's way back.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "cli/console_driver.h"
#include "engine/signature_file_win32.h"
#include "remedy/autorun_win32.h"
#include "remedy/quarantine_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/memory_pass_win32.h"
#include "sys/fs_redirection_win32.h"
#include "sys/handle_win32.h"
#include "sys/owned_stream.h"
#include "sys/system_queries_win32.h"

namespace {

// The C runtime's _O_APPEND and _O_BINARY (its <fcntl.h> is a POSIX name).
enum : int {
  kRuntimeAppend = 0x0008,
  kRuntimeBinary = 0x8000,
};

enum : uint32_t {
  kWideCapacity = 8192,
  // Terminated processes need a moment to release their files.
  kAfterMemoryPauseMs = 2000,
};

// Ctrl+C and Ctrl+Break raise the stop flag; the scan ends after the current
// file and still reports, then the program ends as one that Ctrl+C ended
// (STATUS_CONTROL_C_EXIT), so that cmd and a batch file see it so.
volatile LONG gStop = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(const_cast<LONG*>(&gStop), 1);
  return TRUE;
}

struct WindowsScanner {
  const ScanOptions* options;
  ConsoleDriver* driver;
  UINT outputCodePage;
  LARGE_INTEGER frequency;
  Win32Scan scan;
  // the quarantine folder: --quarantine, restore
  QuarantineFolderWin32 folder;
  QuarantineStore store;
  int quarantineOpen;
  RestoreTargetWin32 target;
  // console text on its way from the ANSI code page to the console's
  wchar_t wide[kWideCapacity];
  char converted[kWideCapacity * 2];
};

WindowsScanner gScanner;

WindowsScanner* Of(void* context) { return static_cast<WindowsScanner*>(context); }

// The key's copy on the stack goes once the store holds its own.
void SecureZeroKey(unsigned char key[kQuarantineKeySize]) {
  volatile unsigned char* p = key;
  for (uint32_t i = 0; i < kQuarantineKeySize; ++i) p[i] = 0;
}

// ---- console ----

// Paths and names are in the ANSI code page; the console reads its own.
void Write(FILE* out, const char* text) {
  WindowsScanner& s = gScanner;
  int count = MultiByteToWideChar(CP_ACP, 0, text, -1, s.wide, kWideCapacity);
  if (count > 0 && WideCharToMultiByte(s.outputCodePage, 0, s.wide, -1, s.converted, sizeof s.converted, nullptr,
                                       nullptr) > 0)
    text = s.converted;
  std::fputs(text, out);
}

int ToUtf8(const char* text, char* out, size_t capacity) { return AnsiToUtf8(text, out, capacity); }
int FromUtf8(const char* text, char* out, size_t capacity) { return Utf8ToAnsi(text, out, capacity); }

uint32_t TerminalColumns() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(error, &mode)) return 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(error, &info)) return 80;
  int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? static_cast<uint32_t>(width) : 80;
}

double Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(gScanner.frequency.QuadPart);
}

int Interrupted() { return gStop ? 1 : 0; }

void HostName(char* out, size_t capacity) {
  DWORD length = static_cast<DWORD>(capacity);
  if (!GetComputerNameA(out, &length) && capacity) out[0] = 0;
}

// A runtime stream over `file`, which it then owns. Null with the reason.
FILE* StreamOver(OwnedHandle* file, int flags, const char* mode, char* why, size_t capacity) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file->get()), flags);
  if (fd < 0) {
    std::snprintf(why, capacity, "%s", "it cannot be written");
    return nullptr;
  }
  file->release();
  OwnedStream stream(_fdopen(fd, mode));
  if (!stream.valid()) {
    _close(fd);
    std::snprintf(why, capacity, "%s", "it cannot be written");
    return nullptr;
  }
  return stream.release();
}

// --json: a new file only, as on Linux: an existing file (or a link in its
// place) is never truncated or followed.
FILE* CreateOutput(void*, const char* path, char* why, size_t capacity) {
  OwnedHandle file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
  if (!file.valid()) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      std::snprintf(why, capacity, "%s", "it exists already: name a new file");
    } else {
      Win32ErrorText(error, why, capacity);
    }
    return nullptr;
  }
  return StreamOver(&file, kRuntimeBinary, "wb", why, capacity);
}

// --log: appended to, created when missing; a reparse point (a link) is
// refused, not followed.
FILE* OpenLog(const char* path, char* why, size_t capacity) {
  OwnedHandle file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    Win32ErrorText(GetLastError(), why, capacity);
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    std::snprintf(why, capacity, "%s", "it is a link or not a plain file");
    return nullptr;
  }
  // A hard link would let whoever made it choose what the log writes into.
  if (info.nNumberOfLinks > 1) {
    std::snprintf(why, capacity, "it has %lu links: a log is appended only to a file of one link",
                  static_cast<unsigned long>(info.nNumberOfLinks));
    return nullptr;
  }
  // The runtime's append mode goes to the end before every write.
  return StreamOver(&file, kRuntimeAppend | kRuntimeBinary, "ab", why, capacity);
}

int FinishOutput(void*, FILE* file) {
  OwnedStream stream(file);
  int whole = std::fflush(file) == 0;
  return stream.close() && whole;
}

// ---- the scan ----

void CleanEveryRunKeyPort(void*, const char* path, const RunValueListener* listener) {
  CleanAutorun(path, listener, kAutorunEveryRunKey);
}

int BeginScan(void* context, const ScanOptions* options, ConsoleDriver* driver, ScanPorts* ports) {
  WindowsScanner* s = Of(context);
  s->options = options;
  s->driver = driver;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  if (options->action == kActionQuarantine) {
    char why[kQuarantineReasonCapacity];
    unsigned char key[kQuarantineKeySize];
    int opened = OpenQuarantineFolderWin32(options->quarantineDirectory, 1, &s->folder, why, sizeof why) &&
                 LoadQuarantineKeyWin32(1, key, why, sizeof why) &&
                 OpenQuarantineStore(QuarantineFolderPortWin32(&s->folder), key, &s->store, why, sizeof why);
    SecureZeroKey(key);
    if (!opened) {
      CloseQuarantineStore(&s->store);
      CloseQuarantineFolderWin32(&s->folder);
      ConsoleNotice(driver, "refused", options->quarantineDirectory, why);
      return 0;
    }
    s->quarantineOpen = 1;
  }
  Win32Scan scan = FixedDrivesScan();
  // No estimate over named folders: the position carries no share.
  if (options->pathCount) {
    scan.roots = options->paths;
    scan.rootCount = options->pathCount;
    scan.estimate = 0;
  }
  scan.quarantine = s->quarantineOpen ? &s->store : nullptr;
  scan.skippedFolder = s->quarantineOpen ? &s->folder : nullptr;
  scan.allUsers = options->allUsers;
  s->scan = scan;
  BeginAutorunRestoreSection();
  *ports = Win32ScanPorts(&s->scan);
  // The machine's Run keys too: the dialog cleans only its user's.
  ports->cleanRunValuesOf = CleanEveryRunKeyPort;
  return 1;
}

void BeforeWalk(void* context, ScanSession* session) {
  WindowsScanner* s = Of(context);
  if (s->options->noMemory) return;
  ScanMemory(session, s->options->action != kActionLeave);
  if (session->ledger.removed) Sleep(kAfterMemoryPauseMs);
}

void EndScan(void* context, const ScanTotals* ledger) {
  WindowsScanner* s = Of(context);
  if (ledger->failures && LacksAdministratorRights())
    ConsoleNotice(s->driver, nullptr, "not all detections removed",
                  "this account lacks administrator rights: run it as an administrator");
  if (s->quarantineOpen) {
    CloseQuarantineStore(&s->store);
    CloseQuarantineFolderWin32(&s->folder);
  }
  s->quarantineOpen = 0;
}

// ---- restore ----

// The folder as it is (never made here), the live system as the place
// files go back to, and this host's key where one is kept: without it no
// line is proven, and each goes back only beneath a root the person names.
int BeginRestore(void* context, const ScanOptions* options, QuarantineFolderPort* folder, RestoreTargetPort* target,
                 unsigned char key[kQuarantineKeySize], int* keyed, char* why, size_t capacity) {
  WindowsScanner* s = Of(context);
  if (!OpenQuarantineFolderWin32(options->quarantineDirectory, 0, &s->folder, why, capacity)) return 0;
  char unused[kQuarantineReasonCapacity];
  *keyed = LoadQuarantineKeyWin32(0, key, unused, sizeof unused);
  *folder = QuarantineFolderPortWin32(&s->folder);
  *target = RestoreTargetPortWin32(&s->target);
  return 1;
}

void EndRestore(void* context) {
  WindowsScanner* s = Of(context);
  CloseQuarantineFolderWin32(&s->folder);
}

// Nothing there: the file, or a folder on the way, is missing.
int PathGone(void*, const char* path) {
  // Beyond MAX_PATH the answer would be "not found" whatever is there.
  if (std::strlen(path) >= MAX_PATH) return 0;
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

int main(int argc, char** argv) {
  // Under WOW64 every file is seen under its true path (the JSON, the
  // quarantine and the manifest included); system libraries still load
  // with redirection on.
  FsRedirectionOff trueNames;
  gScanner.outputCodePage = GetConsoleOutputCP();
  if (gScanner.outputCodePage == 0) gScanner.outputCodePage = GetOEMCP();
  if (!QueryPerformanceFrequency(&gScanner.frequency) || gScanner.frequency.QuadPart == 0)
    gScanner.frequency.QuadPart = 1;
  ConsolePlatform platform{kLiveScanProgramName, kLiveScanHelpText, kFlavourLiveSystem, Write, EscapeForConsole,
                           ToUtf8, FromUtf8, TerminalColumns, Now, Interrupted, HostName, CreateOutput, FinishOutput, BeginScan,
                           BeforeWalk, EndScan, BeginRestore, EndRestore, &gScanner, OpenLog, 1,
                           LoadSignatureFile, PathGone};
  int status = RunConsoleScanner(argc, argv, platform);
  if (gStop) {
    std::fflush(stdout);
    std::fflush(stderr);
    return static_cast<int>(STATUS_CONTROL_C_EXIT);
  }
  return status;
}
