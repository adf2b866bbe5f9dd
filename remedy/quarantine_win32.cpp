// The Windows quarantine folder (see quarantine_win32.h).
#include "remedy/quarantine_win32.h"

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "remedy/json_lines.h"
#include "remedy/removal_win32.h"

namespace {

const char kManifestName[] = "manifest.jsonl";
const char kPartialName[] = "incoming.part";

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

// Copies `from` to `to` while hashing; 1 when every byte went through.
int CopyHashing(HANDLE from, HANDLE to, Sha256State* sha) {
  static unsigned char chunk[kCopyChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, chunk, sizeof chunk, &got, nullptr)) return 0;
    if (got == 0) return 1;
    AddSha256(sha, chunk, got);
    DWORD put = 0;
    if (!WriteFile(to, chunk, got, &put, nullptr) || put != got) return 0;
  }
}

int AppendLine(HANDLE file, const char* text) {
  LONG high = 0;
  if (SetFilePointer(file, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
  DWORD length = static_cast<DWORD>(strlen(text)), done = 0;
  return WriteFile(file, text, length, &done, nullptr) && done == length && FlushFileBuffers(file);
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
  if (!CreateDirectoryA(folder->directory, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  char manifest[MAX_PATH];
  if (!JoinPath(manifest, sizeof manifest, folder->directory, kManifestName)) return 0;
  folder->manifest = CreateFileA(manifest, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  return folder->manifest != INVALID_HANDLE_VALUE;
}

void CloseQuarantineFolder(QuarantineFolder* folder) {
  if (folder->manifest != INVALID_HANDLE_VALUE) CloseHandle(folder->manifest);
  folder->manifest = INVALID_HANDLE_VALUE;
}

QuarantineResult QuarantineWin32File(QuarantineFolder* folder, const char* path, const FileIdentity& checked,
                                     const char* detectionName, char hexOut[kSha256HexSize]) {
  hexOut[0] = 0;
  HANDLE source = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return kQuarantineResultFailed;
  if (checked.known && !SameFileIdentity(IdentifyOpenFile(source), checked)) {
    CloseHandle(source);
    return kQuarantineResultNotSame;
  }
  BY_HANDLE_FILE_INFORMATION info;
  memset(&info, 0, sizeof info);
  if (!GetFileInformationByHandle(source, &info)) {
    CloseHandle(source);
    return kQuarantineResultFailed;
  }
  char partial[MAX_PATH], target[MAX_PATH];
  if (!JoinPath(partial, sizeof partial, folder->directory, kPartialName)) {
    CloseHandle(source);
    return kQuarantineResultFailed;
  }
  HANDLE copy = CreateFileA(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (copy == INVALID_HANDLE_VALUE) {
    CloseHandle(source);
    return kQuarantineResultFailed;
  }
  Sha256State sha;
  BeginSha256(&sha);
  int copied = CopyHashing(source, copy, &sha) && FlushFileBuffers(copy);
  CloseHandle(copy);
  CloseHandle(source);
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  if (!copied || !JoinPath(target, sizeof target, folder->directory, hex)) {
    DeleteFileA(partial);
    return kQuarantineResultFailed;
  }
  // The same content quarantined before: its copy serves both lines.
  if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) {
    DeleteFileA(partial);
  } else if (!MoveFileA(partial, target)) {
    DeleteFileA(partial);
    return kQuarantineResultFailed;
  }
  SetFileAttributesA(target, FILE_ATTRIBUTE_READONLY);
  memcpy(hexOut, hex, kSha256HexSize);

  // The original goes only once its copy is safe; the line records it either way.
  int removal = RemoveIdentifiedFile(path, &checked);

  char utf8Path[MAX_PATH * 4];
  if (!AnsiToUtf8(path, utf8Path, sizeof utf8Path)) snprintf(utf8Path, sizeof utf8Path, "%s", path);
  SYSTEMTIME now;
  GetSystemTime(&now);
  char when[32];
  snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond);
  char buffer[kLineCapacity];
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
  AddJsonString(&line, "original", removal == kRemovedNow ? "removed" : removal ? "removed at restart" : "kept");
  if (EndJsonLine(&line)) AppendLine(folder->manifest, buffer);
  if (removal == kRemovedNow) return kQuarantineResultDone;
  if (removal == kRemovedAtRestart) return kQuarantineResultAtRestart;
  return kQuarantineResultKeptCopy;
}

RestoreResult RestoreWin32ManifestLine(const char* quarantineDirectory, const char* line, int force, char* pathOut) {
  pathOut[0] = 0;
  char utf8Path[MAX_PATH * 4], hex[kSha256HexSize + 1];
  int64_t attributes = 0, ctime = 0, atime = 0, mtime = 0;
  if (!FindJsonString(line, "path", utf8Path, sizeof utf8Path) || !FindJsonString(line, "sha256", hex, sizeof hex) ||
      strlen(hex) != 64 || strspn(hex, "0123456789abcdef") != 64 || !FindJsonNumber(line, "mtime_ns", &mtime))
    return kRestoreResultFailed;
  if (!Utf8ToAnsi(utf8Path, pathOut, MAX_PATH)) {
    pathOut[0] = 0;
    return kRestoreResultFailed;
  }
  FindJsonNumber(line, "attributes", &attributes);
  FindJsonNumber(line, "atime_ns", &atime);
  if (!FindJsonNumber(line, "ctime_ns", &ctime)) ctime = mtime;

  char source[MAX_PATH];
  size_t directoryLength = strlen(quarantineDirectory);
  const char* separator = directoryLength && quarantineDirectory[directoryLength - 1] == '\\' ? "" : "\\";
  int n = snprintf(source, sizeof source, "%s%s%s", quarantineDirectory, separator, hex);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof source) return kRestoreResultFailed;

  if (GetFileAttributesA(pathOut) != INVALID_FILE_ATTRIBUTES) {
    if (!force) return kRestoreResultExists;
    SetFileAttributesA(pathOut, FILE_ATTRIBUTE_NORMAL);
  }
  HANDLE from = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (from == INVALID_HANDLE_VALUE) return kRestoreResultFailed;
  HANDLE to = CreateFileA(pathOut, GENERIC_WRITE, 0, nullptr, force ? CREATE_ALWAYS : CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (to == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CloseHandle(from);
    SetLastError(error);
    return error == ERROR_FILE_EXISTS ? kRestoreResultExists : kRestoreResultFailed;
  }
  Sha256State sha;
  BeginSha256(&sha);
  int copied = CopyHashing(from, to, &sha);
  CloseHandle(from);
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char got[kSha256HexSize];
  Sha256Hex(digest, got);
  int same = copied && strcmp(got, hex) == 0;
  if (same) {
    FILETIME c = FileTimeOf(ctime), a = FileTimeOf(atime ? atime : mtime), m = FileTimeOf(mtime);
    SetFileTime(to, &c, &a, &m);
  }
  CloseHandle(to);
  if (!same) {
    DeleteFileA(pathOut);
    return copied ? kRestoreResultBadCopy : kRestoreResultFailed;
  }
  if (attributes) SetFileAttributesA(pathOut, static_cast<DWORD>(attributes));
  return kRestoreResultDone;
}
