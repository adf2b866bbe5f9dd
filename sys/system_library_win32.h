// Loading a system library by its full path in the system directory, and
// binding its entry points at run time (Win32).
// LoadLibraryA of a bare name searches the program's own folder first, so a
// DLL planted beside the program (which runs with debug privilege) would be
// loaded in the system's place.
#pragma once
#include <windows.h>

#include <cstddef>

// "<system directory>\<name>" into `path` (`capacity` bytes, terminator
// included). `name` is a bare file name ("Psapi.dll"): empty, or holding a
// separator or a drive colon, it is refused. 1 on success; 0 when the system
// directory is unknown or the path does not fit, and `path` is then "" (when
// capacity allows).
int SystemLibraryPath(const char* name, char* path, size_t capacity);

// The library `name` from the system directory, or null (not there, or no
// path). The caller hands it to an OwnedModule (sys/handle_win32.h). Loaded
// with WOW64 file system redirection on even where the calling thread has it off.
HMODULE LoadSystemLibrary(const char* name);

// The entry point `name` of `module`, or null when the module lacks it. Fn is
// decltype(&SdkName): the call through the pointer stays checked against the
// SDK's own prototype. For anything Windows 95 or NT 4.0 may lack.
template <typename Fn>
Fn BindEntryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
