// WOW64 file system redirection, per thread (Win32). A 32-bit program on
// 64-bit Windows sees %SystemRoot%\SysWOW64 under the name System32 and
// cannot see the real System32 at all; the thread that walks, checks and
// removes turns that off for its own work, so that every file is seen once
// under its true path. Code is still loaded with redirection on (a 32-bit
// process needs the 32-bit libraries): LoadSystemLibrary turns it back on
// around its load through FsRedirectionOnForLoad.
// Where the entry points are missing (9x, NT 4.0, 2000, 32-bit XP) or the
// process is not under WOW64, nothing changes.
#pragma once
#include <cstddef>

// Redirection off on the calling thread from construction to destruction.
// Owners may nest on one thread; each puts back what it found.
struct FsRedirectionOff {
  FsRedirectionOff();
  ~FsRedirectionOff();
  FsRedirectionOff(const FsRedirectionOff&) = delete;
  FsRedirectionOff& operator=(const FsRedirectionOff&) = delete;

  int turnedOff;   // 1 when this owner turned it off
  void* previous;  // the system's token for the state found
  int threadWasOff;
  void* threadOnValue;
};

// Redirection on again while it lives, if an FsRedirectionOff of this
// thread turned it off; otherwise nothing. The last-error code set inside
// the scope survives its end.
struct FsRedirectionOnForLoad {
  FsRedirectionOnForLoad();
  ~FsRedirectionOnForLoad();
  FsRedirectionOnForLoad(const FsRedirectionOnForLoad&) = delete;
  FsRedirectionOnForLoad& operator=(const FsRedirectionOnForLoad&) = delete;

  int restored;  // 1 when this scope turned redirection back on
};

// 1 when this is a 32-bit process on 64-bit Windows (WOW64).
int ProcessUnderWow64();

// 1 when an FsRedirectionOff of the calling thread has redirection off now.
int FsRedirectionIsOff();

// How many FsRedirectionOff owners of the calling thread are alive, whether
// or not the system let them turn anything off: where no WOW64 is, it still
// tells what runs inside their scope and what after it.
int FsRedirectionOffOwners();

// The file a 32-bit process's module path `reported` names for this thread:
// with redirection off, MapWow64Path over this system's directories (a module
// reported under System32 is read from SysWOW64); otherwise `reported`
// unchanged. Into `out` (`capacity` bytes; may be `reported`). 1 on
// success; 0 when it does not fit or the directories are unknown, `out`
// then "" (when capacity allows).
int TrueModulePath(const char* reported, char* out, size_t capacity);
