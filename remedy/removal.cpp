// File removal: attribute reset and deletion by the ANSI path, the wide path
// for names outside the code page, delayed deletion as the last resort.
#include "remedy/removal.h"

#include <windows.h>

#include <cstring>

#include "engine/file_check.h"
#include "sys/system_queries.h"

namespace {

// MoveFileEx is missing on Windows 95/98; bind it by name and keep the SDK's
// prototype so every call stays type-checked.
template <typename Function>
Function BindEntry(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// ANSI form of a wide name, as the walker's ANSI directory search reports it.
int NarrowName(const wchar_t* wide, char* narrow, int capacity) {
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, capacity, nullptr, nullptr) > 0;
}

// The full wide path of the file that `path` names. The search pattern's "?"
// matches any character, so the first name it finds may be a neighbour's
// ("held.exe" for "h?ld.exe"): only a name whose ANSI form is the one given
// is taken.
int ResolveWidePath(const char* path, wchar_t* widePath) {
  WIN32_FIND_DATAW found;
  if (!OpenWideFallback(path, &found, widePath)) return 0;

  // The same pattern the fallback searched with; widePath shares its directory part.
  wchar_t pattern[kWidePathCapacity];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, pattern, kWidePathCapacity) <= 0) return 0;
  size_t directoryLength = 0;
  for (size_t i = 0; pattern[i]; ++i)
    if (pattern[i] == L'\\' || pattern[i] == L'/') directoryLength = i + 1;
  char wanted[MAX_PATH * 2];
  char candidate[MAX_PATH * 2];
  if (!NarrowName(pattern + directoryLength, wanted, sizeof wanted)) return 0;
  if (NarrowName(found.cFileName, candidate, sizeof candidate) && lstrcmpiA(candidate, wanted) == 0) return 1;

  int resolved = 0;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!NarrowName(found.cFileName, candidate, sizeof candidate) || lstrcmpiA(candidate, wanted) != 0) continue;
    size_t nameLength = wcslen(found.cFileName);
    if (directoryLength + nameLength + 1 > kWidePathCapacity) break;
    memcpy(widePath + directoryLength, found.cFileName, (nameLength + 1) * sizeof(wchar_t));
    resolved = 1;
    break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return resolved;
}

}  // namespace

int RemoveFile(const char* path) {
  decltype(&MoveFileExA) moveFileExA = nullptr;
  decltype(&MoveFileExW) moveFileExW = nullptr;
  int32_t versionCode = 0;
  if (GetOsVersionCode(&versionCode)) {
    // Already loaded in every process: no reference is taken, none released.
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel) {
      moveFileExA = BindEntry<decltype(&MoveFileExA)>(kernel, "MoveFileExA");
      moveFileExW = BindEntry<decltype(&MoveFileExW)>(kernel, "MoveFileExW");
    }
  }

  if (SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) {
    if (DeleteFileA(path)) return 1;
    return moveFileExA ? moveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) : 0;
  }
  if (GetLastError() != ERROR_INVALID_NAME) return 0;

  // The ANSI name holds "?" for characters the code page lacks. Work on the
  // full wide path of the file's own directory, never on the bare name,
  // which would be resolved against whatever directory is current.
  wchar_t widePath[kWidePathCapacity];
  if (!ResolveWidePath(path, widePath)) return 0;
  if (!SetFileAttributesW(widePath, FILE_ATTRIBUTE_NORMAL)) return 0;
  if (DeleteFileW(widePath)) return 1;
  return moveFileExW ? moveFileExW(widePath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) : 0;
}
