// The Windows quarantine folder (see quarantine_win32.h).
#include "remedy/quarantine_win32.h"

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "remedy/json_lines.h"
#include "remedy/removal_win32.h"
#include "sys/handle_win32.h"
#include "sys/system_library_win32.h"

namespace {

const char kManifestName[] = "manifest.jsonl";
const char kPartialName[] = "incoming.part";
// Marks a folder this tool made: only such a folder's manifest is appended to.
const char kMarkerName[] = "quellix-quarantine.mark";

enum : uint32_t {
  kCopyChunk = 64 * 1024,
  kWideCapacity = 1024,
  kLineCapacity = 4096,
};

// 100-ns intervals between 1601-01-01 and 1970-01-01.
const int64_t kUnixEpochTicks = 116444736000000000LL;

int64_t UnixNanoseconds(const FILETIME& t) {
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  return (ticks - kUnixEpochTicks) * 100;
}

FILETIME FileTimeOf(int64_t nanoseconds) {
  uint64_t ticks = static_cast<uint64_t>(nanoseconds / 100 + kUnixEpochTicks);
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

int JoinPath(char* out, size_t capacity, const char* directory, const char* name) {
  int n = snprintf(out, capacity, "%s%s", directory, name);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

// Copies `from` to `to` (INVALID_HANDLE_VALUE: only hashing) while hashing,
// at most `limit` bytes; `*copied` counts them. 1 when every byte went through.
int CopyHashing(HANDLE from, HANDLE to, Sha256State* sha, uint64_t limit, uint64_t* copied) {
  static unsigned char chunk[kCopyChunk];
  *copied = 0;
  while (*copied < limit) {
    DWORD want = limit - *copied < sizeof chunk ? static_cast<DWORD>(limit - *copied) : static_cast<DWORD>(sizeof chunk);
    DWORD got = 0;
    if (!ReadFile(from, chunk, want, &got, nullptr)) return 0;
    if (got == 0) return 1;
    AddSha256(sha, chunk, got);
    DWORD put = 0;
    if (to != INVALID_HANDLE_VALUE && (!WriteFile(to, chunk, got, &put, nullptr) || put != got)) return 0;
    *copied += got;
  }
  return 1;
}

// Appends a line and flushes it to the disk; a line that did not get there
// whole is cut off again, so that the next one starts on a line of its own.
int AppendLine(HANDLE file, const char* text) {
  LONG high = 0;
  DWORD low = SetFilePointer(file, 0, &high, FILE_END);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
  DWORD length = static_cast<DWORD>(strlen(text)), done = 0;
  if (WriteFile(file, text, length, &done, nullptr) && done == length && FlushFileBuffers(file)) return 1;
  DWORD error = GetLastError();
  LONG backHigh = high;
  if (SetFilePointer(file, static_cast<LONG>(low), &backHigh, FILE_BEGIN) != INVALID_SET_FILE_POINTER) SetEndOfFile(file);
  SetLastError(error ? error : ERROR_HANDLE_DISK_FULL);
  return 0;
}

int IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A plain file's handle: no directory, no reparse point, no device or pipe.
int IsPlainFile(HANDLE file, uint64_t* size) {
  if (GetFileType(file) != FILE_TYPE_DISK) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return 0;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return 1;
}

}  // namespace

int AnsiToUtf8(const char* ansi, char* out, size_t capacity) {
  static wchar_t wide[kWideCapacity];
  int count = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, kWideCapacity);
  if (count <= 0) return 0;
  size_t length = 0;
  for (int i = 0; i < count - 1; ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count - 1 && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    }
    unsigned char bytes[4];
    size_t n;
    if (c < 0x80) {
      bytes[0] = static_cast<unsigned char>(c);
      n = 1;
    } else if (c < 0x800) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 4;
    }
    if (length + n >= capacity) return 0;
    memcpy(out + length, bytes, n);
    length += n;
  }
  if (length >= capacity) return 0;
  out[length] = 0;
  return 1;
}

int Utf8ToAnsi(const char* utf8, char* out, size_t capacity) {
  static wchar_t wide[kWideCapacity];
  size_t count = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
  while (*p) {
    uint32_t c = *p;
    size_t extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= 0x3F >> extra;
    ++p;
    for (size_t k = 0; k < extra; ++k) {
      if ((*p & 0xC0) != 0x80) return 0;
      c = (c << 6) | (*p++ & 0x3F);
    }
    if (count + 2 >= kWideCapacity) return 0;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide[count++] = static_cast<wchar_t>(0xD800 + (c >> 10));
      wide[count++] = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      wide[count++] = static_cast<wchar_t>(c);
    }
  }
  wide[count] = 0;
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(capacity), nullptr, &lossy);
  return n > 0 && !lossy;
}

int OpenQuarantineFolder(const char* directory, QuarantineFolder* folder) {
  folder->manifest = INVALID_HANDLE_VALUE;
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(directory, sizeof folder->directory - 1, folder->directory, &namePart);
  if (length == 0 || length >= sizeof folder->directory - 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (folder->directory[length - 1] != '\\') {
    folder->directory[length++] = '\\';
    folder->directory[length] = 0;
  }
  int created = CreateDirectoryA(folder->directory, nullptr) ? 1 : 0;
  if (!created && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  // No junction on the way: the copies go where the folder is.
  if (PathCrossesReparsePoint(folder->directory) || IsReparsePoint(GetFileAttributesA(folder->directory))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  char manifest[MAX_PATH], marker[MAX_PATH];
  if (!JoinPath(manifest, sizeof manifest, folder->directory, kManifestName) ||
      !JoinPath(marker, sizeof marker, folder->directory, kMarkerName))
    return 0;
  DWORD markerAttributes = GetFileAttributesA(marker);
  int marked = markerAttributes != INVALID_FILE_ATTRIBUTES && !(markerAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !IsReparsePoint(markerAttributes);
  if (!marked) {
    // Someone else's manifest is never appended to.
    if (GetFileAttributesA(manifest) != INVALID_FILE_ATTRIBUTES) {
      SetLastError(ERROR_FILE_EXISTS);
      return 0;
    }
    OwnedHandle mark(CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!mark.valid()) return 0;
  }
  OwnedHandle opened(CreateFileA(manifest, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  uint64_t size = 0;
  if (!opened.valid()) return 0;
  if (!IsPlainFile(opened.get(), &size)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  folder->manifest = opened.release();
  return 1;
}

void CloseQuarantineFolder(QuarantineFolder* folder) {
  OwnedHandle manifest(folder->manifest);
  folder->manifest = INVALID_HANDLE_VALUE;
}

QuarantineResult QuarantineWin32File(QuarantineFolder* folder, const char* path, const FileIdentity& checked,
                                     const char* detectionName, char hexOut[kSha256HexSize]) {
  hexOut[0] = 0;
  BY_HANDLE_FILE_INFORMATION info;
  memset(&info, 0, sizeof info);
  char partial[MAX_PATH], target[MAX_PATH];
  Sha256State sha;
  BeginSha256(&sha);
  int copied = 0;
  {
    OwnedHandle source(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source.valid()) return kQuarantineResultFailed;
    if (checked.known && !SameFileIdentity(IdentifyOpenFile(source.get()), checked)) return kQuarantineResultNotSame;
    if (!GetFileInformationByHandle(source.get(), &info)) return kQuarantineResultFailed;
    if (!JoinPath(partial, sizeof partial, folder->directory, kPartialName)) return kQuarantineResultFailed;
    OwnedHandle copy(CreateFileA(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy.valid()) return kQuarantineResultFailed;
    uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow, done = 0;
    copied = CopyHashing(source.get(), copy.get(), &sha, size, &done) && done == size && FlushFileBuffers(copy.get());
    copied = copy.close() && copied;
  }
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  if (!copied || !JoinPath(target, sizeof target, folder->directory, hex)) {
    DeleteFileA(partial);
    return kQuarantineResultFailed;
  }
  // The same content quarantined before: its copy serves both lines.
  int placedNow = 0;
  if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) {
    DeleteFileA(partial);
  } else if (!MoveFileA(partial, target)) {
    DeleteFileA(partial);
    return kQuarantineResultFailed;
  } else {
    placedNow = 1;
  }
  SetFileAttributesA(target, FILE_ATTRIBUTE_READONLY);

  // Write-ahead: the line is on the disk before the original goes; without
  // it no restore could find the copy, so the original then stays.
  char utf8Path[MAX_PATH * 4];
  if (!AnsiToUtf8(path, utf8Path, sizeof utf8Path)) snprintf(utf8Path, sizeof utf8Path, "%s", path);
  SYSTEMTIME now;
  GetSystemTime(&now);
  char when[32];
  snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond);
  static char buffer[MAX_PATH * 4 * 6 + 1024];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonString(&line, "path", utf8Path);
  AddJsonNumber(&line, "size", (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  AddJsonNumber(&line, "attributes", info.dwFileAttributes);
  AddJsonSigned(&line, "ctime_ns", UnixNanoseconds(info.ftCreationTime));
  AddJsonSigned(&line, "atime_ns", UnixNanoseconds(info.ftLastAccessTime));
  AddJsonSigned(&line, "mtime_ns", UnixNanoseconds(info.ftLastWriteTime));
  AddJsonString(&line, "detection", detectionName);
  AddJsonString(&line, "sha256", hex);
  AddJsonString(&line, "quarantined", when);
  if (!EndJsonLine(&line) || !AppendLine(folder->manifest, buffer)) {
    DWORD error = GetLastError();
    if (placedNow) {
      SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(target);
    }
    SetLastError(error);
    return kQuarantineResultFailed;
  }
  memcpy(hexOut, hex, kSha256HexSize);

  int removal = RemoveIdentifiedFile(path, &checked);
  if (removal == kRemovedNow) return kQuarantineResultDone;
  if (removal == kRemovedAtRestart) return kQuarantineResultAtRestart;
  return kQuarantineResultKeptCopy;
}

namespace {

// A recorded path as "X:\part\...\name": each part plain (not empty, not
// "." or "..", no trailing dot or space, which Windows would strip, no
// stream colon, wildcard or control character). `rest` gets what follows "X:\".
int IsPlainWindowsPath(const char* path, const char** rest) {
  if (!(((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && path[2] == '\\')) return 0;
  const char* p = path + 3;
  *rest = p;
  for (;;) {
    const char* end = p;
    while (*end && *end != '\\') {
      unsigned char c = static_cast<unsigned char>(*end);
      if (c < 0x20 || strchr(":*?\"<>|/", c)) return 0;
      ++end;
    }
    size_t n = static_cast<size_t>(end - p);
    if (n == 0 || end[-1] == '.' || end[-1] == ' ') return 0;
    if (!*end) return 1;
    p = end + 1;
  }
}

// Holds every folder from `root` down to the file's folder open without
// sharing deletion, so that none can be swapped for a junction meanwhile,
// and refuses a reparse point among them. Windows 9x opens no folder and
// has no reparse points: there the attributes alone are looked at.
struct HeldFolders {
  OwnedHandle handles[64];
  uint32_t count;
};

int HoldFolders(const char* folderPath, size_t rootLength, HeldFolders* held) {
  held->count = 0;
  char partial[MAX_PATH];
  size_t length = strlen(folderPath);
  if (length + 1 > sizeof partial) return 0;
  for (size_t i = rootLength; i <= length; ++i) {
    if (i < length && folderPath[i] != '\\') continue;
    memcpy(partial, folderPath, i);
    partial[i] = 0;
    if (i == 0 || (i == 2 && partial[1] == ':')) continue;
    DWORD attributes = GetFileAttributesA(partial);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) || IsReparsePoint(attributes))
      return 0;
    HANDLE h = CreateFileA(partial, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    if (held->count >= 64) {
      OwnedHandle extra(h);
      continue;
    }
    held->handles[held->count++].reset(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) &&
        (IsReparsePoint(info.dwFileAttributes) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
      return 0;
  }
  return 1;
}

typedef BOOL(WINAPI* MoveFileExFunction)(LPCSTR, LPCSTR, DWORD);

// Replaces `to` by `from` in one step where the system can; Windows 9x
// cannot, and there the old file goes just before the new one takes its name.
int ReplaceWith(const char* from, const char* to) {
  SetFileAttributesA(to, FILE_ATTRIBUTE_NORMAL);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto moveFileEx = kernel ? BindEntryPoint<decltype(&MoveFileExA)>(kernel, "MoveFileExA") : nullptr;
  if (moveFileEx && moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
  if (moveFileEx && GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return 0;
  if (!DeleteFileA(to) && GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
  return MoveFileA(from, to) ? 1 : 0;
}

}  // namespace

RestoreResult RestoreWin32ManifestLine(const char* quarantineDirectory, const char* line, const char* toRoot,
                                       int force, char* pathOut) {
  pathOut[0] = 0;
  char utf8Path[MAX_PATH * 4], hex[kSha256HexSize + 1], recorded[MAX_PATH];
  int64_t attributes = 0, ctime = 0, atime = 0, mtime = 0, size = -1;
  if (!FindJsonString(line, "path", utf8Path, sizeof utf8Path) || !FindJsonString(line, "sha256", hex, sizeof hex) ||
      strlen(hex) != 64 || strspn(hex, "0123456789abcdef") != 64 || !FindJsonNumber(line, "mtime_ns", &mtime)) {
    SetLastError(ERROR_INVALID_DATA);
    return kRestoreResultFailed;
  }
  if (!Utf8ToAnsi(utf8Path, recorded, sizeof recorded)) {
    SetLastError(ERROR_INVALID_NAME);
    return kRestoreResultFailed;
  }
  snprintf(pathOut, MAX_PATH, "%s", recorded);
  // Only beneath its drive, or beneath the root the person names.
  const char* rest = nullptr;
  if (!IsPlainWindowsPath(recorded, &rest)) {
    SetLastError(ERROR_INVALID_NAME);
    return kRestoreResultFailed;
  }
  char destination[MAX_PATH];
  size_t rootLength = 3;
  if (toRoot && *toRoot) {
    char root[MAX_PATH];
    char* namePart = nullptr;
    DWORD n = GetFullPathNameA(toRoot, sizeof root, root, &namePart);
    if (n == 0 || n >= sizeof root) return kRestoreResultFailed;
    while (n > 3 && root[n - 1] == '\\') root[--n] = 0;
    int written = snprintf(destination, sizeof destination, "%s%s%s", root, root[n - 1] == '\\' ? "" : "\\", rest);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof destination) return kRestoreResultFailed;
    rootLength = strlen(root);
  } else {
    snprintf(destination, sizeof destination, "%s", recorded);
  }
  snprintf(pathOut, MAX_PATH, "%s", destination);
  FindJsonNumber(line, "attributes", &attributes);
  FindJsonNumber(line, "atime_ns", &atime);
  FindJsonNumber(line, "size", &size);
  if (!FindJsonNumber(line, "ctime_ns", &ctime)) ctime = mtime;

  char folderPath[MAX_PATH];
  snprintf(folderPath, sizeof folderPath, "%s", destination);
  char* slash = strrchr(folderPath, '\\');
  if (!slash) return kRestoreResultFailed;
  *slash = 0;
  HeldFolders held;
  if (!HoldFolders(folderPath, rootLength, &held) || PathCrossesReparsePoint(folderPath)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kRestoreResultFailed;
  }
  if (!force && GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) return kRestoreResultExists;

  // The copy: a plain file of the recorded size and SHA-256, checked before
  // anything at the destination is touched.
  char source[MAX_PATH];
  size_t directoryLength = strlen(quarantineDirectory);
  const char* separator = directoryLength && quarantineDirectory[directoryLength - 1] == '\\' ? "" : "\\";
  int n = snprintf(source, sizeof source, "%s%s%s", quarantineDirectory, separator, hex);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof source) return kRestoreResultFailed;
  OwnedHandle from(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!from.valid()) return kRestoreResultFailed;
  uint64_t copySize = 0, done = 0;
  if (!IsPlainFile(from.get(), &copySize) || (size >= 0 && copySize != static_cast<uint64_t>(size)))
    return kRestoreResultBadCopy;
  char got[kSha256HexSize];
  Sha256State sha;
  BeginSha256(&sha);
  unsigned char digest[kSha256DigestSize];
  if (!CopyHashing(from.get(), INVALID_HANDLE_VALUE, &sha, copySize, &done)) return kRestoreResultFailed;
  EndSha256(&sha, digest);
  Sha256Hex(digest, got);
  if (done != copySize || strcmp(got, hex) != 0) return kRestoreResultBadCopy;

  // A new file beside the destination, moved into place once whole.
  static unsigned counter = 0;
  char temp[MAX_PATH];
  n = snprintf(temp, sizeof temp, "%s\\~qxr%lu-%u.tmp", folderPath, static_cast<unsigned long>(GetCurrentProcessId()),
               ++counter);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof temp) return kRestoreResultFailed;
  int same = 0;
  {
    OwnedHandle to(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!to.valid()) return kRestoreResultFailed;
    LONG high = 0;
    int rewound = SetFilePointer(from.get(), 0, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
    BeginSha256(&sha);
    int copied = rewound && CopyHashing(from.get(), to.get(), &sha, copySize, &done) && done == copySize;
    EndSha256(&sha, digest);
    Sha256Hex(digest, got);
    same = copied && strcmp(got, hex) == 0;
    if (same) {
      FILETIME c = FileTimeOf(ctime), a = FileTimeOf(atime ? atime : mtime), m = FileTimeOf(mtime);
      SetFileTime(to.get(), &c, &a, &m);
      same = FlushFileBuffers(to.get()) ? 1 : 0;
    }
    same = to.close() && same;
  }
  if (!same) {
    DWORD error = GetLastError();
    DeleteFileA(temp);
    SetLastError(error);
    return kRestoreResultFailed;
  }
  int placed = force ? ReplaceWith(temp, destination) : MoveFileA(temp, destination) ? 1 : 0;
  if (!placed) {
    DWORD error = GetLastError();
    DeleteFileA(temp);
    SetLastError(error);
    return !force && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) ? kRestoreResultExists
                                                                                  : kRestoreResultFailed;
  }
  if (attributes) SetFileAttributesA(destination, static_cast<DWORD>(attributes) & ~FILE_ATTRIBUTE_REPARSE_POINT);
  return kRestoreResultDone;
}
