// Per-thread WOW64 file system redirection (see fs_redirection_win32.h).
#include "sys/fs_redirection_win32.h"

#include <windows.h>

#include <cstring>

#include "sys/system_library_win32.h"
#include "sys/wow64_path.h"

namespace {

struct RedirectionEntries {
  decltype(&Wow64DisableWow64FsRedirection) disable;
  decltype(&Wow64RevertWow64FsRedirection) revert;
  decltype(&IsWow64Process) isWow64Process;
  decltype(&GetSystemWow64DirectoryA) getSystemWow64Directory;
};

// Kernel32 is in every process: looked up, never loaded (a load is what
// redirection must not see). XP x64, Server 2003 SP1 and later export these.
RedirectionEntries BindEntries() {
  RedirectionEntries entries = {nullptr, nullptr, nullptr, nullptr};
  HMODULE kernel = GetModuleHandleA("Kernel32.dll");
  if (!kernel) return entries;
  entries.disable = BindEntryPoint<decltype(entries.disable)>(kernel, "Wow64DisableWow64FsRedirection");
  entries.revert = BindEntryPoint<decltype(entries.revert)>(kernel, "Wow64RevertWow64FsRedirection");
  entries.isWow64Process = BindEntryPoint<decltype(entries.isWow64Process)>(kernel, "IsWow64Process");
  entries.getSystemWow64Directory =
      BindEntryPoint<decltype(entries.getSystemWow64Directory)>(kernel, "GetSystemWow64DirectoryA");
  return entries;
}

// Only a WOW64 process has redirection; elsewhere the calls would fail or,
// in a 64-bit process, mark a state that means nothing.
int UnderWow64(const RedirectionEntries& entries) {
  BOOL wow64 = FALSE;
  return entries.isWow64Process && entries.isWow64Process(GetCurrentProcess(), &wow64) && wow64 ? 1 : 0;
}

// The calling thread's state as our owners left it: off or not, and the
// token that turns it on again (what the outermost owner found).
thread_local int tOff = 0;
thread_local void* tOnValue = nullptr;
// Owners alive on the calling thread, whether or not they had anything to
// turn off.
thread_local int tOwners = 0;

}  // namespace

FsRedirectionOff::FsRedirectionOff() : turnedOff(0), previous(nullptr), threadWasOff(tOff), threadOnValue(tOnValue) {
  ++tOwners;
  RedirectionEntries entries = BindEntries();
  if (!entries.disable || !entries.revert || !UnderWow64(entries)) return;
  PVOID found = nullptr;
  if (!entries.disable(&found)) return;
  turnedOff = 1;
  previous = found;
  if (!tOff) tOnValue = found;
  tOff = 1;
}

FsRedirectionOff::~FsRedirectionOff() {
  --tOwners;
  if (!turnedOff) return;
  DWORD error = GetLastError();
  RedirectionEntries entries = BindEntries();
  if (entries.revert) entries.revert(previous);
  tOff = threadWasOff;
  tOnValue = threadOnValue;
  SetLastError(error);
}

FsRedirectionOnForLoad::FsRedirectionOnForLoad() : restored(0) {
  if (!tOff) return;
  RedirectionEntries entries = BindEntries();
  if (!entries.revert || !entries.revert(tOnValue)) return;
  restored = 1;
  tOff = 0;
}

FsRedirectionOnForLoad::~FsRedirectionOnForLoad() {
  if (!restored) return;
  DWORD error = GetLastError();
  RedirectionEntries entries = BindEntries();
  PVOID ignored = nullptr;
  tOff = entries.disable && entries.disable(&ignored) ? 1 : 0;
  SetLastError(error);
}

int FsRedirectionIsOff() { return tOff; }

int ProcessUnderWow64() { return UnderWow64(BindEntries()); }

int FsRedirectionOffOwners() { return tOwners; }

int TrueModulePath(const char* reported, char* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  if (!reported) {
    out[0] = '\0';
    return 0;
  }
  if (!tOff) {
    size_t length = std::strlen(reported);
    if (length + 1 > capacity) {
      out[0] = '\0';
      return 0;
    }
    if (out != reported) std::memcpy(out, reported, length + 1);
    return 1;
  }
  RedirectionEntries entries = BindEntries();
  char system[MAX_PATH], wow64[MAX_PATH], windows[MAX_PATH];
  UINT systemLength = GetSystemDirectoryA(system, sizeof system);
  UINT wow64Length = entries.getSystemWow64Directory ? entries.getSystemWow64Directory(wow64, sizeof wow64) : 0;
  if (systemLength == 0 || systemLength >= sizeof system || wow64Length == 0 || wow64Length >= sizeof wow64) {
    out[0] = '\0';
    return 0;
  }
  // Sysnative and regedit.exe live in the Windows folder, System32's parent.
  std::memcpy(windows, system, systemLength + 1);
  char* slash = std::strrchr(windows, '\\');
  if (slash && slash[1] == '\0') {
    *slash = '\0';
    slash = std::strrchr(windows, '\\');
  }
  if (!slash) {
    out[0] = '\0';
    return 0;
  }
  *slash = '\0';
  const DWORD version = GetVersion();
  const DWORD major = version & 0xFF, minor = (version >> 8) & 0xFF;
  Wow64Directories directories = {system, wow64, windows, major > 6 || (major == 6 && minor >= 1)};
  return MapWow64Path(reported, directories, out, capacity);
}
