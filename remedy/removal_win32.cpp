// File removal: attribute reset and deletion by the ANSI path, the wide path
// for names outside the code page, delayed deletion as the last resort.
#include "remedy/removal_win32.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

#include "engine/file_check_win32.h"
#include "sys/handle_win32.h"
#include "sys/system_library_win32.h"
#include "sys/system_queries_win32.h"

namespace {

// The full wide path of the file that `path` names: the engine's one
// resolution of a name with "?" for characters outside the code page.
int ResolveWidePath(const char* path, wchar_t* widePath) {
  WIN32_FIND_DATAW found;
  return OpenWideFallback(path, &found, widePath);
}

const FILE_INFORMATION_CLASS kFileBasicInformation = static_cast<FILE_INFORMATION_CLASS>(4);
const FILE_INFORMATION_CLASS kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);

struct DispositionInformation {
  BOOLEAN deleteFile;
};

struct RemovalEntries {
  decltype(&MoveFileExA) moveFileExA;
  decltype(&MoveFileExW) moveFileExW;
  decltype(&NtSetInformationFile) setInformationFile;
};

RemovalEntries BindRemovalEntries() {
  RemovalEntries entries = {nullptr, nullptr, nullptr};
  int32_t versionCode = 0;
  if (GetOsVersionCode(&versionCode)) {
    // Already loaded in every process: no reference is taken, none released.
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    // MoveFileEx is missing on Windows 95/98.
    if (kernel) {
      entries.moveFileExA = BindEntryPoint<decltype(&MoveFileExA)>(kernel, "MoveFileExA");
      entries.moveFileExW = BindEntryPoint<decltype(&MoveFileExW)>(kernel, "MoveFileExW");
    }
  }
  // Mapped into every NT process from the system directory before any code
  // runs; asking for the loaded module searches nothing. Missing on 9x.
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll) entries.setInformationFile = BindEntryPoint<decltype(&NtSetInformationFile)>(ntdll, "NtSetInformationFile");
  return entries;
}

// The file itself, not what a link at its place points to; systems before
// Windows 2000 know no such flag and refuse it.
HANDLE OpenForRemoval(const char* ansi, const wchar_t* wide, DWORD access) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
  for (int attempt = 0; attempt < 2; ++attempt) {
    HANDLE file = wide ? CreateFileW(wide, access, share, nullptr, OPEN_EXISTING, flags, nullptr)
                       : CreateFileA(ansi, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER) return file;
    flags = 0;
  }
  return INVALID_HANDLE_VALUE;
}

// Attributes cleared and deletion asked through the handle: the file checked
// is the file deleted, whatever happens to the path meanwhile. 1 when done.
int DeleteThroughHandle(const RemovalEntries& entries, HANDLE file) {
  if (!entries.setInformationFile) return 0;
  IO_STATUS_BLOCK status;
  FILE_BASIC_INFORMATION basic;
  memset(&basic, 0, sizeof basic);  // zero times are left as they are
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  entries.setInformationFile(file, &status, &basic, sizeof basic, kFileBasicInformation);
  DispositionInformation disposition = {TRUE};
  return entries.setInformationFile(file, &status, &disposition, sizeof disposition, kFileDispositionInformation) >= 0
             ? 1
             : 0;
}

// The removal by name: attributes cleared, deleted, or registered for
// deletion at the next restart.
int RemoveByName(const RemovalEntries& entries, const char* ansi, const wchar_t* wide) {
  if (wide) {
    if (!SetFileAttributesW(wide, FILE_ATTRIBUTE_NORMAL)) return 0;
    if (DeleteFileW(wide)) return 1;
    return entries.moveFileExW && entries.moveFileExW(wide, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? kRemovedAtRestart
                                                                                                 : 0;
  }
  if (!SetFileAttributesA(ansi, FILE_ATTRIBUTE_NORMAL)) return 0;
  if (DeleteFileA(ansi)) return 1;
  return entries.moveFileExA && entries.moveFileExA(ansi, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? kRemovedAtRestart : 0;
}

enum : size_t {
  // "\\?\UNC\" and the rest: far more than any path the walk builds.
  kLongPathCapacity = 2048,
};

// 1 when a directory's attributes say it is a reparse point, or cannot be
// read for any reason but its absence (nothing there is no link either).
int UnreadableOrReparsePoint(DWORD attributes) {
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
}

// The check of a path of MAX_PATH characters or more, which only the wide
// "\\?\" form reaches. That form takes the path as it stands, so a path
// it would read otherwise than the ANSI calls do (relative, "/", ".", "..",
// an empty part) counts as crossing; so does every directory whose
// attributes cannot be read, as on Windows 9x, whose wide calls all fail.
int LongPathCrossesReparsePoint(const char* path) {
  wchar_t wide[kLongPathCapacity];
  const wchar_t* prefix;
  const char* rest;
  size_t uncheckedParts;
  if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':' &&
      path[2] == '\\') {
    prefix = L"\\\\?\\";
    rest = path;
    uncheckedParts = 1;  // "C:"
  } else if (path[0] == '\\' && path[1] == '\\' && path[2] != '?' && path[2] != '.' && path[2] != '\\') {
    prefix = L"\\\\?\\UNC\\";
    rest = path + 2;
    uncheckedParts = 2;  // server and share
  } else {
    return 1;
  }
  size_t prefixLength = wcslen(prefix);
  memcpy(wide, prefix, prefixLength * sizeof(wchar_t));
  int converted = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, rest, -1, wide + prefixLength,
                                      static_cast<int>(kLongPathCapacity - prefixLength));
  if (converted <= 0) return 1;

  wchar_t* partStart = wide + prefixLength;
  size_t part = 0;
  for (wchar_t* p = partStart;; ++p) {
    if (*p == L'/') return 1;
    if (*p != L'\\' && *p != 0) continue;
    size_t partLength = static_cast<size_t>(p - partStart);
    // A trailing backslash ends the path; anywhere else an empty part is no name.
    if (partLength == 0 && *p != 0) return 1;
    if ((partLength == 1 && partStart[0] == L'.') || (partLength == 2 && partStart[0] == L'.' && partStart[1] == L'.'))
      return 1;
    if (partLength > 0 && part++ >= uncheckedParts) {
      wchar_t kept = *p;
      *p = 0;
      int crosses = UnreadableOrReparsePoint(GetFileAttributesW(wide));
      *p = kept;
      if (crosses) return 1;
    }
    if (*p == 0) break;
    partStart = p + 1;
  }
  return 0;
}

}  // namespace

int PathCrossesReparsePoint(const char* path) {
  char prefix[MAX_PATH];
  size_t length = strnlen(path, MAX_PATH);
  if (length >= MAX_PATH) return LongPathCrossesReparsePoint(path);
  // Each directory after the root, then the path itself.
  for (const char* p = path; ; p = CharNextA(p)) {
    if (*p != '\\' && *p != '/' && *p != 0) continue;
    size_t end = static_cast<size_t>(p - path);
    // "C:" itself is no directory that can be a link.
    if (end > 2) {
      memcpy(prefix, path, end);
      prefix[end] = 0;
      DWORD attributes = GetFileAttributesA(prefix);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 1;
    }
    if (*p == 0) break;
  }
  return 0;
}

int RemoveIdentifiedFile(const char* path, const FileIdentity* identity) {
  RemovalEntries entries = BindRemovalEntries();
  // A junction on the way may lead anywhere, a system folder included.
  if (PathCrossesReparsePoint(path)) return 0;

  // The ANSI name holds "?" for characters the code page lacks. Work on the
  // full wide path of the file's own directory, never on the bare name,
  // which would be resolved against whatever directory is current.
  wchar_t widePath[kWidePathCapacity];
  const wchar_t* wide = nullptr;
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_INVALID_NAME) return 0;
    if (!ResolveWidePath(path, widePath)) return 0;
    wide = widePath;
  }
  if (!identity || !identity->known) return RemoveByName(entries, path, wide);

  OwnedHandle file(OpenForRemoval(path, wide, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
  if (file.valid()) {
    int same = SameFileIdentity(IdentifyOpenFile(file.get()), *identity);
    int deleted = same && DeleteThroughHandle(entries, file.get());
    // The deletion takes effect when the handle closes.
    file.reset();
    if (!same) return 0;
    if (deleted) return 1;
  }
  // Held open without delete sharing, or no NT entry point: by name, while a
  // handle that only reads attributes (which no sharing mode refuses) shows
  // that the name still stands for the file that was checked.
  OwnedHandle pin(OpenForRemoval(path, wide, FILE_READ_ATTRIBUTES));
  if (!pin.valid()) return 0;
  return SameFileIdentity(IdentifyOpenFile(pin.get()), *identity) ? RemoveByName(entries, path, wide) : 0;
}

int RemoveFile(const char* path) { return RemoveIdentifiedFile(path, nullptr); }
