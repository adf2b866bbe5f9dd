// Where a 32-bit process on 64-bit Windows really finds a file it names, for
// a reader whose file system redirection is off. The system reports a 32-bit
// process's modules under the names that process used: "...\System32\x.exe"
// for what it loaded from SysWOW64, "...\Sysnative\x.exe" for the real
// System32. Platform-neutral: the directories come from the caller.
#pragma once
#include <cstddef>

struct Wow64Directories {
  const char* system;  // the 32-bit view's system directory, "C:\WINDOWS\system32"
  const char* wow64;   // where redirection leads it, "C:\WINDOWS\SysWOW64"
  const char* windows; // "C:\WINDOWS"
  // Windows 7 and later leave System32\DriverStore to the 64-bit files;
  // XP x64, Server 2003 x64 and Vista redirect it like the rest.
  int driverStoreShared;
};

// The path the file `reported` has with redirection off, into `out`
// (`capacity` bytes, terminator included; `out` may be `reported`):
//   <system>\<rest>          -> <wow64>\<rest>, except the subfolders that
//                               redirection leaves alone (catroot, catroot2,
//                               drivers\etc, logfiles, spool, and DriverStore
//                               where driverStoreShared)
//   <windows>\Sysnative\<rest> -> <system>\<rest>
//   <windows>\regedit.exe    -> <wow64>\regedit.exe
//   anything else            -> unchanged
// Names compare without regard to ASCII case. 1 on success; 0 when a
// directory is missing or empty, or the result does not fit, and `out` is
// then "" (when capacity allows).
int MapWow64Path(const char* reported, const Wow64Directories& directories, char* out, size_t capacity);
