// The quarantine's file calls on Windows (see quarantine_win32.h).
#include "remedy/quarantine_win32.h"

#include <cstdio>
#include <cstring>

#include "engine/file_check_win32.h"
#include "remedy/removal_win32.h"
#include "engine/sha256.h"
#include "sys/system_library_win32.h"
#include "sys/system_queries_win32.h"

namespace {

enum : uint32_t {
  kWideCapacity = 1024,
  kTempAttempts = 16,
};

// 100-ns intervals between 1601-01-01 and 1970-01-01.
const int64_t kUnixEpochTicks = 116444736000000000LL;

// What SetFileAttributes accepts; anything else a line says is dropped.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

const char kKeyVariable[] = "QUELLIX_SCAN_KEY";
const char kKeyFolder[] = "Quellix";
const char kKeyName[] = "quarantine.key";

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

int IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int IsWindows9x() { return (GetVersion() & 0x80000000u) != 0; }

// The file itself, never what a link in its place points to; systems before
// Windows 2000 know no such flag and refuse it.
HANDLE OpenNoLink(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  HANDLE file = CreateFileA(path, access, share, nullptr, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER) return file;
  return CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
}

// A plain file's handle: no directory, no reparse point, no device or pipe.
int IsPlainFile(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (GetFileType(file) != FILE_TYPE_DISK) return 0;
  if (!GetFileInformationByHandle(file, info)) return 0;
  return (info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// A folder's identity through a handle of its own; unknown on 9x, which
// opens no folder.
FileIdentity IdentifyFolder(const char* path) {
  FileIdentity none = {0, 0, 0};
  OwnedHandle folder(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return folder.valid() ? IdentifyOpenFile(folder.get()) : none;
}

int WriteAll(HANDLE file, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length) {
    DWORD chunk = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length), done = 0;
    if (!WriteFile(file, p, chunk, &done, nullptr)) return 0;
    if (done == 0) {
      SetLastError(ERROR_HANDLE_DISK_FULL);
      return 0;
    }
    p += done;
    length -= done;
  }
  return 1;
}

int ReadSome(HANDLE file, void* data, size_t capacity, size_t* got) {
  DWORD want = capacity > 0x10000000u ? 0x10000000u : static_cast<DWORD>(capacity), done = 0;
  if (!ReadFile(file, data, want, &done, nullptr)) return 0;
  *got = done;
  return 1;
}

void SayError(DWORD error, const char* refusal, char* out, size_t capacity) {
  if (!capacity) return;
  if (refusal) {
    snprintf(out, capacity, "%s", refusal);
  } else {
    Win32ErrorText(error ? error : ERROR_GEN_FAILURE, out, capacity);
  }
}

typedef BOOLEAN(WINAPI* GenRandomFunction)(PVOID, ULONG);

// Unpredictable bytes: the system's generator (Windows XP and later), else,
// on Windows 95, what varies between runs mixed through SHA-256.
void RandomBytes(unsigned char* out, size_t count) {
  OwnedModule advapi(LoadSystemLibrary("advapi32.dll"));
  auto generate = advapi.valid() ? BindEntryPoint<GenRandomFunction>(advapi.get(), "SystemFunction036") : nullptr;
  if (generate && generate(out, static_cast<ULONG>(count))) return;
  static uint32_t calls = 0;
  for (size_t done = 0; done < count;) {
    struct {
      DWORD ticks, process, thread;
      LARGE_INTEGER counter;
      SYSTEMTIME now;
      uint32_t call;
      const void* stack;
    } noise;
    memset(&noise, 0, sizeof noise);
    noise.ticks = GetTickCount();
    noise.process = GetCurrentProcessId();
    noise.thread = GetCurrentThreadId();
    QueryPerformanceCounter(&noise.counter);
    GetSystemTime(&noise.now);
    noise.call = ++calls;
    noise.stack = &noise;
    unsigned char digest[kSha256DigestSize];
    Sha256State sha;
    BeginSha256(&sha);
    AddSha256(&sha, &noise, sizeof noise);
    EndSha256(&sha, digest);
    size_t n = count - done < sizeof digest ? count - done : sizeof digest;
    memcpy(out + done, digest, n);
    done += n;
  }
}

}  // namespace

// ---- the folder ----

namespace {

QuarantineFolderWin32* FolderOf(void* context) { return static_cast<QuarantineFolderWin32*>(context); }

int FolderFailed(QuarantineFolderWin32* folder) {
  folder->error = GetLastError();
  folder->refusal = nullptr;
  return 0;
}

int FolderRefuses(QuarantineFolderWin32* folder, const char* text) {
  folder->error = 0;
  folder->refusal = text;
  return 0;
}

HANDLE HandleOf(void* file) { return static_cast<OwnedHandle*>(file)->get(); }

int FolderPath(QuarantineFolderWin32* folder, const char* name, char* path) {
  if (JoinPath(path, MAX_PATH, folder->directory, name)) return 1;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return 0;
}

int FolderOpen(void* context, const char* name, QuarantineOpen how, void** file) {
  QuarantineFolderWin32* folder = FolderOf(context);
  OwnedHandle* slot = nullptr;
  for (OwnedHandle& candidate : folder->files)
    if (!candidate.valid()) {
      slot = &candidate;
      break;
    }
  if (!slot) return FolderRefuses(folder, "too many of the quarantine's files are open");
  char path[MAX_PATH];
  if (!FolderPath(folder, name, path)) return FolderFailed(folder);
  HANDLE opened = INVALID_HANDLE_VALUE;
  if (how == kOpenRead) {
    opened = OpenNoLink(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  } else if (how == kOpenNew) {
    // CREATE_NEW fails on any name there, a link included: nothing is followed.
    opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    opened = OpenNoLink(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  }
  if (opened == INVALID_HANDLE_VALUE) return FolderFailed(folder);
  OwnedHandle held(opened);
  BY_HANDLE_FILE_INFORMATION info;
  if (how != kOpenNew && !IsPlainFile(held.get(), &info))
    return FolderRefuses(folder, "it is a link, a folder or a device, not a plain file");
  // A manifest with a second name could be written through that one too.
  if (how == kOpenAppend && info.nNumberOfLinks > 1)
    return FolderRefuses(folder, "the manifest has more than one name (a hard link)");
  if (how == kOpenAppend) {
    LONG high = 0;
    if (SetFilePointer(held.get(), 0, &high, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
      return FolderFailed(folder);
  }
  slot->reset(held.release());
  memcpy(folder->paths[slot - folder->files], path, sizeof path);
  *file = slot;
  return 1;
}

int FolderRead(void* context, void* file, void* data, size_t capacity, size_t* got) {
  return ReadSome(HandleOf(file), data, capacity, got) ? 1 : FolderFailed(FolderOf(context));
}

int FolderWrite(void* context, void* file, const void* data, size_t length) {
  return WriteAll(HandleOf(file), data, length) ? 1 : FolderFailed(FolderOf(context));
}

int FolderRewind(void* context, void* file) {
  LONG high = 0;
  if (SetFilePointer(HandleOf(file), 0, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
    return FolderFailed(FolderOf(context));
  return 1;
}

int FolderSize(void* context, void* file, uint64_t* size) {
  DWORD high = 0;
  DWORD low = GetFileSize(HandleOf(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return FolderFailed(FolderOf(context));
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return 1;
}

int FolderTruncate(void* context, void* file, uint64_t size) {
  LONG high = static_cast<LONG>(size >> 32);
  if ((SetFilePointer(HandleOf(file), static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
           INVALID_SET_FILE_POINTER &&
       GetLastError() != NO_ERROR) ||
      !SetEndOfFile(HandleOf(file)))
    return FolderFailed(FolderOf(context));
  return 1;
}

int FolderFlush(void* context, void* file) {
  return FlushFileBuffers(HandleOf(file)) ? 1 : FolderFailed(FolderOf(context));
}

// Sealed by name once closed: Windows 95 and NT 4.0 change no attributes
// through a handle.
int FolderClose(void* context, void* file, int seal) {
  QuarantineFolderWin32* folder = FolderOf(context);
  OwnedHandle* slot = static_cast<OwnedHandle*>(file);
  const char* path = folder->paths[slot - folder->files];
  int closed = slot->close();
  if (!closed) return FolderFailed(folder);
  if (seal && !SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY)) return FolderFailed(folder);
  return 1;
}

int FolderExists(void* context, const char* name) {
  char path[MAX_PATH];
  return FolderPath(FolderOf(context), name, path) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// MoveFileA never replaces: 0 when the name is taken.
int FolderRename(void* context, const char* from, const char* to) {
  QuarantineFolderWin32* folder = FolderOf(context);
  char fromPath[MAX_PATH], toPath[MAX_PATH];
  if (!FolderPath(folder, from, fromPath) || !FolderPath(folder, to, toPath) || !MoveFileA(fromPath, toPath))
    return FolderFailed(folder);
  return 1;
}

int FolderRemove(void* context, const char* name) {
  QuarantineFolderWin32* folder = FolderOf(context);
  char path[MAX_PATH];
  if (!FolderPath(folder, name, path)) return FolderFailed(folder);
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path) ? 1 : FolderFailed(folder);
}

void FolderReason(void* context, char* out, size_t capacity) {
  QuarantineFolderWin32* folder = FolderOf(context);
  SayError(folder->error, folder->refusal, out, capacity);
}

void FolderUtcNow(void*, char out[32]) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  snprintf(out, 32, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
}

void FolderRandomBytes(void*, unsigned char* out, size_t count) { RandomBytes(out, count); }

}  // namespace

int OpenQuarantineFolderWin32(const char* directory, int create, QuarantineFolderWin32* folder, char* why,
                              size_t capacity) {
  CloseQuarantineFolderWin32(folder);
  folder->identified = 0;
  folder->error = 0;
  folder->refusal = nullptr;
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(directory, sizeof folder->directory - 1, folder->directory, &namePart);
  if (length == 0 || length >= sizeof folder->directory - 1) {
    SayError(length ? ERROR_FILENAME_EXCED_RANGE : GetLastError(), nullptr, why, capacity);
    return 0;
  }
  if (folder->directory[length - 1] != '\\') {
    folder->directory[length++] = '\\';
    folder->directory[length] = 0;
  }
  // The longest name the core makes inside, with room to spare.
  if (length + 100 >= MAX_PATH) {
    SayError(ERROR_FILENAME_EXCED_RANGE, nullptr, why, capacity);
    return 0;
  }
  if (create && !CreateDirectoryA(folder->directory, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    SayError(GetLastError(), nullptr, why, capacity);
    return 0;
  }
  DWORD attributes = GetFileAttributesA(folder->directory);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    SayError(GetLastError(), nullptr, why, capacity);
    return 0;
  }
  // No junction on the way: the copies go where the folder is.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || IsReparsePoint(attributes) ||
      PathCrossesReparsePoint(folder->directory)) {
    SayError(0, "it is no folder, or is reached through a junction or link", why, capacity);
    return 0;
  }
  FileIdentity identity = IdentifyFolder(folder->directory);
  folder->identified = identity.known ? 1 : 0;
  folder->volume = identity.volume;
  folder->file = identity.file;
  return 1;
}

void CloseQuarantineFolderWin32(QuarantineFolderWin32* folder) {
  for (OwnedHandle& file : folder->files) file.reset();
}

QuarantineFolderPort QuarantineFolderPortWin32(QuarantineFolderWin32* folder) {
  return QuarantineFolderPort{folder,        FolderOpen,   FolderRead,   FolderWrite,  FolderRewind,
                              FolderSize,    FolderTruncate, FolderFlush, FolderClose, FolderExists,
                              FolderRename,  FolderRemove, FolderReason, FolderUtcNow, FolderRandomBytes};
}

// ---- the file taken away ----

namespace {

QuarantineOriginalWin32* OriginalOf(void* context) { return static_cast<QuarantineOriginalWin32*>(context); }

int OriginalRead(void* context, void* data, size_t capacity, size_t* got) {
  QuarantineOriginalWin32* original = OriginalOf(context);
  if (ReadSome(original->file.get(), data, capacity, got)) return 1;
  original->error = GetLastError();
  return 0;
}

QuarantineOutcome OriginalRemove(void* context, char* why, size_t capacity) {
  QuarantineOriginalWin32* original = OriginalOf(context);
  // The reading handle shares no deletion: it goes first.
  original->file.reset();
  SetLastError(NO_ERROR);
  int removed = RemoveIdentifiedFile(original->path, &original->checked);
  if (removed == kRemovedNow) return kQuarantineDone;
  if (removed == kRemovedAtRestart) return kQuarantineAtRestart;
  DWORD error = GetLastError();
  if (original->checked.known) {
    OwnedHandle now(OpenNoLink(original->path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    if (now.valid() && !SameFileIdentity(IdentifyOpenFile(now.get()), original->checked)) return kQuarantineNotSame;
  }
  SayError(error, error ? nullptr : "it could not be deleted, nor its deletion scheduled for the restart", why,
           capacity);
  return kQuarantineFailed;
}

void OriginalReason(void* context, char* out, size_t capacity) { SayError(OriginalOf(context)->error, nullptr, out, capacity); }

// `path` after `root` (compared without case, as Windows does), or null.
const char* BeneathRoot(const char* path, const char* root) {
  for (; *root; ++path, ++root) {
    char a = *path, b = *root;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return nullptr;
  }
  return path;
}

}  // namespace

QuarantineOutcome OpenQuarantineOriginalWin32(const char* path, const FileIdentity& checked,
                                              QuarantineOriginalWin32* original, char* why, size_t capacity) {
  original->path = path;
  original->checked = checked;
  original->error = 0;
  original->file.reset(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!original->file.valid() || !GetFileInformationByHandle(original->file.get(), &original->info)) {
    SayError(GetLastError(), nullptr, why, capacity);
    original->file.reset();
    return kQuarantineFailed;
  }
  if (checked.known && !SameFileIdentity(IdentifyOpenFile(original->file.get()), checked)) {
    original->file.reset();
    SayError(0, "it is not the file that was checked any more", why, capacity);
    return kQuarantineNotSame;
  }
  return kQuarantineDone;
}

QuarantineOriginal QuarantineOriginalPortWin32(QuarantineOriginalWin32* original) {
  return QuarantineOriginal{original, OriginalRead, OriginalRemove, OriginalReason};
}

int DescribeQuarantineRootWin32(const char* root, QuarantineRootWin32* out) {
  char full[MAX_PATH];
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(root, sizeof full - 1, full, &namePart);
  if (length == 0 || length >= sizeof full - 1) return 0;
  DWORD attributes = GetFileAttributesA(full);
  // A file named alone: its folder is the root.
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) && namePart) {
    *namePart = 0;
    length = static_cast<DWORD>(namePart - full);
  }
  if (length && full[length - 1] != '\\') {
    full[length++] = '\\';
    full[length] = 0;
  }
  memcpy(out->path, full, length + 1);
  FileIdentity identity = IdentifyFolder(full);
  out->identified = identity.known ? 1 : 0;
  out->volume = identity.volume;
  out->file = identity.file;
  return 1;
}

int DescribeQuarantinedFileWin32(const QuarantineOriginalWin32& original, const QuarantineRootWin32& root,
                                 const char* detection, QuarantineRecord* record) {
  ClearQuarantineRecord(record);
  const char* rest = BeneathRoot(original.path, root.path);
  if (!rest || !*rest) return 0;
  if (!AnsiToUtf8(original.path, record->path, sizeof record->path) ||
      !AnsiToUtf8(root.path, record->root, sizeof record->root) ||
      !AnsiToUtf8(rest, record->relative, sizeof record->relative))
    return 0;
  // Turned in UTF-8, where no byte of a longer character is a backslash (in
  // the double-byte code pages a trail byte can be).
  for (char* c = record->relative; *c; ++c)
    if (*c == '\\') *c = '/';
  record->rootIdentified = root.identified;
  record->rootDevice = root.volume;
  record->rootInode = root.file;
  const BY_HANDLE_FILE_INFORMATION& info = original.info;
  record->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  record->attributes = info.dwFileAttributes;
  record->ctimeNs = UnixNanoseconds(info.ftCreationTime);
  record->atimeNs = UnixNanoseconds(info.ftLastAccessTime);
  record->mtimeNs = UnixNanoseconds(info.ftLastWriteTime);
  record->meta = kMetaAttributes | kMetaCtime | kMetaAtime | kMetaMtime;
  snprintf(record->detection, sizeof record->detection, "%s", detection);
  return 1;
}

// ---- the way back ----

namespace {

RestoreTargetWin32* TargetOf(void* context) { return static_cast<RestoreTargetWin32*>(context); }

RestoreOutcome TargetFailed(RestoreTargetWin32* target) {
  target->error = GetLastError();
  target->refusal = nullptr;
  return kRestoreFailed;
}

RestoreOutcome TargetRefuses(RestoreTargetWin32* target, const char* text) {
  target->error = 0;
  target->refusal = text;
  return kRestoreFailed;
}

void ReleaseTarget(RestoreTargetWin32* target) {
  target->file.reset();
  for (uint32_t i = 0; i < target->heldCount; ++i) target->held[i].reset();
  target->heldCount = 0;
}

// One part of a path as Windows would keep it: not empty, not "." or "..",
// no trailing dot or space (which Windows strips), no stream colon,
// wildcard, separator or control character, and no device name.
int IsPlainWindowsName(const char* name, size_t length) {
  if (length == 0 || name[length - 1] == '.' || name[length - 1] == ' ') return 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || strchr(":*?\"<>|\\/", c)) return 0;
  }
  size_t stem = 0;
  while (stem < length && name[stem] != '.') ++stem;
  char upper[8] = "";
  if (stem > 7) return 1;
  for (size_t i = 0; i < stem; ++i) upper[i] = name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 32) : name[i];
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices)
    if (strcmp(upper, device) == 0) return 0;
  if (stem == 4 && (memcmp(upper, "COM", 3) == 0 || memcmp(upper, "LPT", 3) == 0) && upper[3] >= '1' && upper[3] <= '9')
    return 0;
  return 1;
}

int IsPlainRelativeWindows(const char* relative) {
  for (const char* p = relative;;) {
    const char* end = strchr(p, '/');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (!IsPlainWindowsName(p, n)) return 0;
    if (!end) return 1;
    p = end + 1;
  }
}

// Holds every folder from the root down to the file's folder open without
// sharing deletion, so that none can be swapped for a junction meanwhile,
// and refuses a reparse point among them. Windows 9x opens no folder and
// has no reparse points: there the attributes alone are looked at.
int HoldFolders(RestoreTargetWin32* target, const char* folderPath, size_t rootLength) {
  char partial[MAX_PATH];
  size_t length = strlen(folderPath);
  if (length + 1 > sizeof partial) return 0;
  for (size_t i = rootLength; i <= length; ++i) {
    if (i < length && folderPath[i] != '\\') continue;
    memcpy(partial, folderPath, i);
    partial[i] = 0;
    if (i == 0 || (i == 2 && partial[1] == ':')) continue;
    DWORD attributes = GetFileAttributesA(partial);
    if (attributes == INVALID_FILE_ATTRIBUTES) return TargetFailed(target);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || IsReparsePoint(attributes))
      return TargetRefuses(target, "a folder on its way is a junction or link, or no folder");
    HANDLE h = CreateFileA(partial, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    if (target->heldCount >= kHeldFolderCapacity) {
      OwnedHandle extra(h);
      continue;
    }
    target->held[target->heldCount++].reset(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) &&
        (IsReparsePoint(info.dwFileAttributes) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
      return TargetRefuses(target, "a folder on its way is a junction or link, or no folder");
  }
  return 1;
}

// Replaces `to` by `from` in one step where the system can; Windows 9x
// cannot, and there the old file goes just before the new one takes its
// name. A read-only file is not replaced, so its attributes go first; they
// come back when it stays.
int ReplaceWith(const char* from, const char* to) {
  DWORD kept = GetFileAttributesA(to);
  SetFileAttributesA(to, FILE_ATTRIBUTE_NORMAL);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto moveFileEx = kernel ? BindEntryPoint<decltype(&MoveFileExA)>(kernel, "MoveFileExA") : nullptr;
  int replaced = 0;
  if (moveFileEx && moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    replaced = 1;
  } else if (!moveFileEx || GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
    replaced = (DeleteFileA(to) || GetLastError() == ERROR_FILE_NOT_FOUND) && MoveFileA(from, to);
  }
  if (!replaced && kept != INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    SetFileAttributesA(to, kept & kSettableAttributes ? kept & kSettableAttributes : FILE_ATTRIBUTE_NORMAL);
    SetLastError(error);
  }
  return replaced;
}

RestoreOutcome TargetBegin(void* context, const QuarantineRecord& record, const RestorePlace& place, int force,
                           char* shown, size_t shownCapacity) {
  RestoreTargetWin32* target = TargetOf(context);
  ReleaseTarget(target);
  target->destination[0] = target->temp[0] = 0;
  target->error = 0;
  target->refusal = nullptr;
  if (place.image) return TargetRefuses(target, "a disk image's files go back with the Linux scanner");
  // A root the person named is in the ANSI code page already; the line's is UTF-8.
  char rootAnsi[MAX_PATH], root[MAX_PATH], relative[MAX_PATH];
  if (place.named) {
    if (snprintf(rootAnsi, sizeof rootAnsi, "%s", place.root) >= static_cast<int>(sizeof rootAnsi))
      return TargetRefuses(target, "its root is longer than Windows allows");
  } else if (!Utf8ToAnsi(place.root, rootAnsi, sizeof rootAnsi)) {
    return TargetRefuses(target, "its root cannot be written in this system's code page");
  }
  // A line's root is a full "X:\..." path; only the person names others.
  if (!place.named && !(((rootAnsi[0] | 0x20) >= 'a' && (rootAnsi[0] | 0x20) <= 'z') && rootAnsi[1] == ':' &&
                        rootAnsi[2] == '\\'))
    return TargetRefuses(target, "its recorded root is no full Windows path");
  if (!IsPlainRelativeWindows(record.relative))
    return TargetRefuses(target, "its path holds a part Windows would not keep as written");
  if (!Utf8ToAnsi(record.relative, relative, sizeof relative))
    return TargetRefuses(target, "its path cannot be written in this system's code page");
  for (char* c = relative; *c; c = CharNextA(c))
    if (*c == '/') *c = '\\';
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(rootAnsi, sizeof root, root, &namePart);
  if (length == 0) return TargetFailed(target);
  if (length >= sizeof root) return TargetRefuses(target, "its path is longer than Windows allows (MAX_PATH)");
  while (length > 3 && root[length - 1] == '\\') root[--length] = 0;
  int n = snprintf(target->destination, sizeof target->destination, "%s%s%s", root,
                   root[length - 1] == '\\' ? "" : "\\", relative);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target->destination) {
    target->destination[0] = 0;
    return TargetRefuses(target, "its path is longer than Windows allows (MAX_PATH)");
  }
  // Shown as the lines are written: UTF-8.
  char shownUtf8[MAX_PATH * 4];
  if (shownCapacity && AnsiToUtf8(target->destination, shownUtf8, sizeof shownUtf8))
    snprintf(shown, shownCapacity, "%s", shownUtf8);

  // The folder the line was taken from, not another one put in its place.
  if (!place.named && record.rootIdentified) {
    FileIdentity now = IdentifyFolder(root);
    if (!now.known || now.volume != record.rootDevice || now.file != record.rootInode)
      return TargetRefuses(target, "the folder at its root is not the one it was taken from: name a root with --to");
  }
  char folderPath[MAX_PATH];
  snprintf(folderPath, sizeof folderPath, "%s", target->destination);
  char* slash = strrchr(folderPath, '\\');
  *slash = 0;
  if (!HoldFolders(target, folderPath, length > 3 ? length : 3)) {
    ReleaseTarget(target);
    return kRestoreFailed;
  }
  if (PathCrossesReparsePoint(folderPath)) {
    ReleaseTarget(target);
    return TargetRefuses(target, "a folder on its way is a junction or link");
  }
  if (!force && GetFileAttributesA(target->destination) != INVALID_FILE_ATTRIBUTES) {
    ReleaseTarget(target);
    return kRestoreExists;
  }
  // A new file beside the destination, moved into place once whole.
  static unsigned counter = 0;
  for (uint32_t attempt = 0; attempt < kTempAttempts && !target->file.valid(); ++attempt) {
    n = snprintf(target->temp, sizeof target->temp, "%s\\~qxr%lu-%u.tmp", folderPath,
                 static_cast<unsigned long>(GetCurrentProcessId()), ++counter);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target->temp) {
      ReleaseTarget(target);
      target->temp[0] = 0;
      return TargetRefuses(target, "its path is longer than Windows allows (MAX_PATH)");
    }
    target->file.reset(
        CreateFileA(target->temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target->file.valid() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  if (!target->file.valid()) {
    RestoreOutcome failed = TargetFailed(target);
    ReleaseTarget(target);
    target->temp[0] = 0;
    return failed;
  }
  return kRestoreDone;
}

int TargetWrite(void* context, const void* data, size_t length) {
  RestoreTargetWin32* target = TargetOf(context);
  if (WriteAll(target->file.get(), data, length)) return 1;
  TargetFailed(target);
  return 0;
}

void TargetAbandon(void* context) {
  RestoreTargetWin32* target = TargetOf(context);
  ReleaseTarget(target);
  if (target->temp[0]) DeleteFileA(target->temp);
  target->temp[0] = 0;
}

RestoreOutcome TargetFinish(void* context, const QuarantineRecord& record, int force) {
  RestoreTargetWin32* target = TargetOf(context);
  FILETIME created, accessed, written;
  if (record.meta & kMetaCtime) created = FileTimeOf(record.ctimeNs);
  if (record.meta & kMetaAtime) accessed = FileTimeOf(record.atimeNs);
  if (record.meta & kMetaMtime) written = FileTimeOf(record.mtimeNs);
  int whole = SetFileTime(target->file.get(), record.meta & kMetaCtime ? &created : nullptr,
                          record.meta & kMetaAtime ? &accessed : nullptr,
                          record.meta & kMetaMtime ? &written : nullptr) &&
              FlushFileBuffers(target->file.get());
  DWORD error = GetLastError();
  whole = target->file.close() && whole;
  if (!whole) {
    DeleteFileA(target->temp);
    SetLastError(error);
    RestoreOutcome failed = TargetFailed(target);
    ReleaseTarget(target);
    return failed;
  }
  int placed = force ? ReplaceWith(target->temp, target->destination)
                     : MoveFileA(target->temp, target->destination) ? 1 : 0;
  if (!placed) {
    error = GetLastError();
    DeleteFileA(target->temp);
    SetLastError(error);
    RestoreOutcome failed = TargetFailed(target);
    ReleaseTarget(target);
    if (!force && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) return kRestoreExists;
    return failed;
  }
  target->temp[0] = 0;
  if (record.meta & kMetaAttributes) {
    DWORD attributes = static_cast<DWORD>(record.attributes) & kSettableAttributes;
    SetFileAttributesA(target->destination, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
  }
  ReleaseTarget(target);
  return kRestoreDone;
}

void TargetReason(void* context, char* out, size_t capacity) {
  RestoreTargetWin32* target = TargetOf(context);
  SayError(target->error, target->refusal, out, capacity);
}

}  // namespace

RestoreTargetPort RestoreTargetPortWin32(RestoreTargetWin32* target) {
  target->heldCount = 0;
  target->temp[0] = 0;
  target->error = 0;
  target->refusal = nullptr;
  return RestoreTargetPort{target, TargetBegin, TargetWrite, TargetFinish, TargetAbandon, TargetReason};
}

// ---- this host's key ----

namespace {

// "<Windows directory>\Quellix\quarantine.key", or the file the environment
// names; `folder` gets the folder to make ("" for a named file).
int KeyPath(char* path, char* folder) {
  folder[0] = 0;
  // Only a Windows path counts: under Wine the variable may be the Linux
  // scanner's, a POSIX path that would land on whatever drive is current.
  DWORD n = GetEnvironmentVariableA(kKeyVariable, path, MAX_PATH);
  int absolute = n >= 3 && (((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z' && path[1] == ':' && path[2] == '\\') ||
                            (path[0] == '\\' && path[1] == '\\'));
  if (n > 0 && n < MAX_PATH && absolute) return 1;
  UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  int m = snprintf(folder + length, MAX_PATH - length, "%s%s", folder[length - 1] == '\\' ? "" : "\\", kKeyFolder);
  if (m <= 0 || static_cast<size_t>(m) >= MAX_PATH - length) return 0;
  m = snprintf(path, MAX_PATH, "%s\\%s", folder, kKeyName);
  return m > 0 && m < MAX_PATH;
}

// The key file's bytes: a plain file of exactly the key's size. 1 when read;
// 0 with GetLastError (ERROR_FILE_NOT_FOUND: there is none).
int ReadKey(const char* path, unsigned char key[kQuarantineKeySize]) {
  OwnedHandle file(OpenNoLink(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
  if (!file.valid()) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  unsigned char bytes[kQuarantineKeySize + 1];
  size_t have = 0, got = 0;
  if (!IsPlainFile(file.get(), &info) || info.nFileSizeHigh || info.nFileSizeLow != kQuarantineKeySize) {
    SetLastError(ERROR_INVALID_DATA);
    return 0;
  }
  while (have < sizeof bytes && ReadSome(file.get(), bytes + have, sizeof bytes - have, &got) && got) have += got;
  if (have != kQuarantineKeySize) {
    SetLastError(ERROR_INVALID_DATA);
    return 0;
  }
  memcpy(key, bytes, kQuarantineKeySize);
  return 1;
}

// A security descriptor whose DACL grants Administrators and SYSTEM alone,
// inheriting nothing from the parent folder (whose users may read). The
// functions are bound at run time: Windows 95 has only stubs of them.
struct AdminOnlySecurity {
  SECURITY_ATTRIBUTES attributes;
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[128];
};

int BuildAdminOnlySecurity(AdminOnlySecurity* security) {
  OwnedModule advapi(LoadSystemLibrary("advapi32.dll"));
  if (!advapi.valid()) return 0;
  HMODULE m = advapi.get();
  auto initializeDescriptor =
      BindEntryPoint<decltype(&InitializeSecurityDescriptor)>(m, "InitializeSecurityDescriptor");
  auto setDacl = BindEntryPoint<decltype(&SetSecurityDescriptorDacl)>(m, "SetSecurityDescriptorDacl");
  auto allocateSid = BindEntryPoint<decltype(&AllocateAndInitializeSid)>(m, "AllocateAndInitializeSid");
  auto freeSid = BindEntryPoint<decltype(&FreeSid)>(m, "FreeSid");
  auto initializeAcl = BindEntryPoint<decltype(&InitializeAcl)>(m, "InitializeAcl");
  auto addAllowed = BindEntryPoint<decltype(&AddAccessAllowedAce)>(m, "AddAccessAllowedAce");
  // Windows 2000 and later merge the parent's inheritable entries unless
  // told not to; NT 4.0 knows neither the call nor the merging.
  auto setControl = BindEntryPoint<decltype(&SetSecurityDescriptorControl)>(m, "SetSecurityDescriptorControl");
  if (!initializeDescriptor || !setDacl || !allocateSid || !freeSid || !initializeAcl || !addAllowed) return 0;
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr, system = nullptr;
  int built = 0;
  PACL acl = reinterpret_cast<PACL>(security->acl);
  if (allocateSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                  &administrators) &&
      allocateSid(&authority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system) &&
      initializeAcl(acl, sizeof security->acl, ACL_REVISION) &&
      addAllowed(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators) &&
      addAllowed(acl, ACL_REVISION, FILE_ALL_ACCESS, system) &&
      initializeDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      setDacl(&security->descriptor, TRUE, acl, FALSE) &&
      (!setControl || setControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)))
    built = 1;
  if (administrators) freeSid(administrators);
  if (system) freeSid(system);
  security->attributes.nLength = sizeof security->attributes;
  security->attributes.lpSecurityDescriptor = &security->descriptor;
  security->attributes.bInheritHandle = FALSE;
  return built;
}

}  // namespace

int LoadQuarantineKeyWin32(int create, unsigned char key[kQuarantineKeySize], char* why, size_t capacity) {
  char path[MAX_PATH], folder[MAX_PATH];
  if (!KeyPath(path, folder)) {
    SayError(0, "the key's place is unknown (no Windows folder, or too long)", why, capacity);
    return 0;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (ReadKey(path, key)) return 1;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      SayError(error, nullptr, why, capacity);
      return 0;
    }
    if (!create) {
      SayError(0, "no quarantine key is kept on this host", why, capacity);
      return 0;
    }
    // Windows 95, 98 and Me have no accounts: there the key is an ordinary
    // file, as readable as any other.
    AdminOnlySecurity security;
    SECURITY_ATTRIBUTES* protection = nullptr;
    if (!IsWindows9x()) {
      if (!BuildAdminOnlySecurity(&security)) {
        SayError(0, "the key's protection cannot be set up", why, capacity);
        return 0;
      }
      protection = &security.attributes;
    }
    if (folder[0] && !CreateDirectoryA(folder, protection) && GetLastError() != ERROR_ALREADY_EXISTS) {
      SayError(GetLastError(), nullptr, why, capacity);
      return 0;
    }
    unsigned char made[kQuarantineKeySize];
    RandomBytes(made, sizeof made);
    OwnedHandle file(CreateFileA(path, GENERIC_WRITE, 0, protection, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      error = GetLastError();
      // Made meanwhile by another run: read that one.
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      SayError(error, nullptr, why, capacity);
      return 0;
    }
    int written = WriteAll(file.get(), made, sizeof made) && FlushFileBuffers(file.get());
    error = GetLastError();
    written = file.close() && written;
    // Read back: the key in use is the one on the disk.
    unsigned char back[kQuarantineKeySize];
    if (!written || !ReadKey(path, back) || memcmp(back, made, sizeof made) != 0) {
      if (written) error = GetLastError();
      DeleteFileA(path);
      SayError(error, error ? nullptr : "the key read back is not the one written", why, capacity);
      memset(made, 0, sizeof made);
      return 0;
    }
    memcpy(key, made, sizeof made);
    memset(made, 0, sizeof made);
    return 1;
  }
  SayError(0, "the key cannot be read", why, capacity);
  return 0;
}

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

