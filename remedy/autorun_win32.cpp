// Run-key cleanup: one sweep over the key's values, deleting each whose
// command line starts the removed file.
#include "remedy/autorun_win32.h"

#include <cstdio>
#include <cstring>

#include "remedy/reg_export.h"
#include "sys/fs_redirection_win32.h"
#include "sys/handle_win32.h"
#include "sys/system_queries_win32.h"

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunOnceKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Windows 9x starts these before anyone logs on.
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kRunServicesOnceKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce";
const char kSoftwarePrefix[] = "Software\\";
const char kRestoreFileName[] = "QuellixRemover-restore.reg";

// Whether this run's section (date and key line) is in the restore file yet.
int gRestoreSectionWritten = 0;
// The key of the section written last: a value of another key starts its own.
char gRestoreSectionKey[600];

// Names and data of the common size fit without asking the key.
const DWORD kInitialCapacity = 260;
// Registry limits: 16383 characters of name (two bytes each in a double-byte
// code page); data beyond a megabyte is no command line worth reading.
const DWORD kMaxNameCapacity = 2 * 16383 + 1;
const DWORD kMaxDataCapacity = 1024 * 1024;

uint32_t LookupVariable(void*, const char* name, char* value, uint32_t capacity, uint32_t* lastError) {
  // A successful lookup leaves the last-error code alone; without this a
  // "not found" left by an earlier value would hide a variable that exists.
  SetLastError(ERROR_SUCCESS);
  DWORD got = GetEnvironmentVariableA(name, value, capacity);
  *lastError = GetLastError();
  return got;
}

int LeadByte(void*, unsigned char byte) { return IsDBCSLeadByte(byte) ? 1 : 0; }

struct ValueBuffers {
  char* name;
  DWORD nameCapacity;
  // One byte more than dataCapacity, for the terminator after the returned bytes.
  char* data;
  DWORD dataCapacity;
};

void FreeBuffers(ValueBuffers* buffers) {
  if (buffers->name) HeapFree(GetProcessHeap(), 0, buffers->name);
  if (buffers->data) HeapFree(GetProcessHeap(), 0, buffers->data);
  buffers->name = nullptr;
  buffers->data = nullptr;
}

// Replaces the buffers by ones of at least the given capacities. 0 when the
// memory is not there; the old buffers are then kept.
int SizeBuffers(ValueBuffers* buffers, DWORD nameCapacity, DWORD dataCapacity) {
  if (buffers->name && nameCapacity <= buffers->nameCapacity && dataCapacity <= buffers->dataCapacity) return 1;
  if (nameCapacity < buffers->nameCapacity) nameCapacity = buffers->nameCapacity;
  if (dataCapacity < buffers->dataCapacity) dataCapacity = buffers->dataCapacity;
  char* name = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, nameCapacity));
  char* data = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, dataCapacity + 1));
  if (!name || !data) {
    if (name) HeapFree(GetProcessHeap(), 0, name);
    if (data) HeapFree(GetProcessHeap(), 0, data);
    return 0;
  }
  FreeBuffers(buffers);
  *buffers = {name, nameCapacity, data, dataCapacity};
  return 1;
}

// Larger buffers after ERROR_MORE_DATA: what the key now reports, at least
// double the old size, within the registry's limits. 0 when they cannot grow.
int GrowBuffers(HKEY key, ValueBuffers* buffers, DWORD dataNeeded) {
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  DWORD nameCapacity = buffers->nameCapacity < kMaxNameCapacity / 2 ? buffers->nameCapacity * 2 : kMaxNameCapacity;
  if (maxName < kMaxNameCapacity / 2 && 2 * maxName + 1 > nameCapacity) nameCapacity = 2 * maxName + 1;
  DWORD dataCapacity = buffers->dataCapacity < kMaxDataCapacity / 2 ? buffers->dataCapacity * 2 : kMaxDataCapacity;
  if (maxData > dataCapacity) dataCapacity = maxData;
  if (dataNeeded > dataCapacity) dataCapacity = dataNeeded;
  if (dataCapacity > kMaxDataCapacity) dataCapacity = kMaxDataCapacity;
  if (nameCapacity <= buffers->nameCapacity && dataCapacity <= buffers->dataCapacity) return 0;
  return SizeBuffers(buffers, nameCapacity, dataCapacity);
}

// The restore file's path: the folder %TEMP% names. 0 when it is not set or
// the path would not fit.
int RestoreFilePath(char* path, DWORD capacity) {
  DWORD length = GetEnvironmentVariableA("TEMP", path, capacity);
  if (length == 0 || length >= capacity) return 0;
  if (path[length - 1] != '\\') {
    if (length + 1 >= capacity) return 0;
    path[length++] = '\\';
    path[length] = 0;
  }
  if (length + sizeof kRestoreFileName > capacity) return 0;
  memcpy(path + length, kRestoreFileName, sizeof kRestoreFileName);
  return 1;
}

// Appends one value of the key `keyPath` (as regedit names it) to the
// restore file, with the file's header when the file is new and the run's
// section when it is the run's first value. 1 only when every byte was
// written: a value that cannot be kept is not deleted.
int AppendToRestoreFile(const char* keyPath, const char* name, DWORD type, const BYTE* data, DWORD size) {
  char path[MAX_PATH];
  if (!RestoreFilePath(path, sizeof path)) return 0;
  if (strlen(keyPath) >= sizeof gRestoreSectionKey) return 0;
  char section[800];
  SYSTEMTIME now;
  GetLocalTime(&now);
  int sectionLength = snprintf(section, sizeof section, "\r\n; %04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth,
                               now.wDay, now.wHour, now.wMinute, now.wSecond);
  if (sectionLength <= 0) return 0;
  size_t keyLineLength = FormatRegKeyLine(section + sectionLength, sizeof section - sectionLength, keyPath);
  if (keyLineLength >= sizeof section - sectionLength) return 0;
  sectionLength += static_cast<int>(keyLineLength);

  size_t valueLength = FormatRegValueLine(nullptr, 0, name, type, data, size);
  size_t capacity = strlen(kRegeditFileHeader) + sectionLength + valueLength + 1;
  char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
  if (!text) return 0;

  int written = 0;
  OwnedHandle file(
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.valid()) {
    DWORD high = 0;
    DWORD low = GetFileSize(file.get(), &high);
    bool sized = low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
    size_t length = 0;
    if (low == 0 && high == 0) {
      memcpy(text, kRegeditFileHeader, strlen(kRegeditFileHeader));
      length += strlen(kRegeditFileHeader);
    }
    // A new file starts a new section even within a run.
    int startSection = !gRestoreSectionWritten || length > 0 || strcmp(keyPath, gRestoreSectionKey) != 0;
    if (startSection) {
      memcpy(text + length, section, sectionLength);
      length += sectionLength;
    }
    FormatRegValueLine(text + length, capacity - length, name, type, data, size);
    length += valueLength;
    DWORD done = 0;
    LONG zero = 0;
    if (sized &&
        (SetFilePointer(file.get(), 0, &zero, FILE_END) != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) &&
        WriteFile(file.get(), text, static_cast<DWORD>(length), &done, nullptr) && done == length) {
      written = FlushFileBuffers(file.get()) ? 1 : 0;
    }
    file.reset();
    if (written && startSection) {
      gRestoreSectionWritten = 1;
      memcpy(gRestoreSectionKey, keyPath, strlen(keyPath) + 1);
    }
  }
  HeapFree(GetProcessHeap(), 0, text);
  return written;
}

}  // namespace

void BeginAutorunRestoreSection() { gRestoreSectionWritten = 0; }

CommandLineHost ProcessCommandLineHost() { return CommandLineHost{LookupVariable, LeadByte, nullptr}; }

int DeleteRegistryValue(HKEY root, const char* subkey, const char* valueName, REGSAM view) {
  OwnedKey key;
  if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS | view, key.receive()) != ERROR_SUCCESS) return 0;
  return RegDeleteValueA(key.get(), valueName) == ERROR_SUCCESS ? 1 : 0;
}

namespace {

// 1 when `view` of HKEY_LOCAL_MACHINE\Software is the 32-bit one of a 64-bit
// system, which regedit names Software\Wow6432Node.
int IsWow6432View(REGSAM view) {
#ifdef _WIN64
  return view == KEY_WOW64_32KEY;
#else
  return view == 0 && ProcessUnderWow64();
#endif
}

// ASCII case ignored; msvcrt's _strnicmp is no import of Windows 95's.
int StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char x = *text >= 'a' && *text <= 'z' ? static_cast<char>(*text - 'a' + 'A') : *text;
    char y = *prefix >= 'a' && *prefix <= 'z' ? static_cast<char>(*prefix - 'a' + 'A') : *prefix;
    if (x != y) return 0;
  }
  return 1;
}

// How rows, records and the restore file name the key: its root (below
// HKEY_USERS, the hive) and the key below it as the system stores it.
int NameKey(HKEY root, const char* subkey, REGSAM view, char* hive, size_t hiveCapacity, char* below,
            size_t belowCapacity) {
  const char* rootName = root == HKEY_USERS           ? "HKEY_USERS"
                         : root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE"
                         : root == HKEY_CURRENT_USER  ? "HKEY_CURRENT_USER"
                                                      : nullptr;
  if (!rootName) return 0;
  const char* slash = root == HKEY_USERS ? strchr(subkey, '\\') : nullptr;
  int h = snprintf(hive, hiveCapacity, "%s%s%.*s", rootName, slash ? "\\" : "",
                   slash ? static_cast<int>(slash - subkey) : 0, subkey);
  const char* rest = slash ? slash + 1 : subkey;
  size_t prefix = sizeof kSoftwarePrefix - 1;
  int b = root == HKEY_LOCAL_MACHINE && IsWow6432View(view) && StartsWithIgnoringCase(rest, kSoftwarePrefix)
              ? snprintf(below, belowCapacity, "%.*sWow6432Node\\%s", static_cast<int>(prefix), rest, rest + prefix)
              : snprintf(below, belowCapacity, "%s", rest);
  return h > 0 && static_cast<size_t>(h) < hiveCapacity && b > 0 && static_cast<size_t>(b) < belowCapacity;
}

}  // namespace

int DeleteReferringValues(HKEY root, const char* subkey, const char* path, const RunValueListener* listener,
                          REGSAM view) {
  int preview = RunValuesPreviewed(listener);
  char hive[300], below[300], keyPath[600];
  if (!NameKey(root, subkey, view, hive, sizeof hive, below, sizeof below)) return 1;
  snprintf(keyPath, sizeof keyPath, "%s\\%s", hive, below);
  OwnedKey owner;
  // A preview asks for nothing it could change with.
  LONG opened = RegOpenKeyExA(root, subkey, 0, (preview ? KEY_QUERY_VALUE : MAXIMUM_ALLOWED) | view, owner.receive());
  if (opened != ERROR_SUCCESS) {
    if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND)
      TellRunValueTrouble(listener, kRunValuesFailed, keyPath, "the key cannot be opened");
    return 1;
  }
  HKEY key = owner.get();
  char restorePath[MAX_PATH];
  if (preview || !RestoreFilePath(restorePath, sizeof restorePath)) restorePath[0] = 0;
  uint32_t deleted = 0;
  CommandLineHost host = ProcessCommandLineHost();
  ValueBuffers buffers = {nullptr, 0, nullptr, 0};
  // Buffers of the size the key reports, so a long value is read like any other.
  DWORD maxName = 0, maxData = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                   nullptr);
  DWORD nameCapacity = maxName < kMaxNameCapacity / 2 ? 2 * maxName + 1 : kMaxNameCapacity;
  DWORD dataCapacity = maxData < kMaxDataCapacity ? maxData : kMaxDataCapacity;
  if (nameCapacity < kInitialCapacity) nameCapacity = kInitialCapacity;
  if (dataCapacity < kInitialCapacity) dataCapacity = kInitialCapacity;

  if (SizeBuffers(&buffers, nameCapacity, dataCapacity)) {
    DWORD index = 0;
    for (;;) {
      DWORD nameSize = buffers.nameCapacity;
      DWORD dataSize = buffers.dataCapacity;
      DWORD type = 0;
      LONG status = RegEnumValueA(key, index, buffers.name, &nameSize, nullptr, &type,
                                  reinterpret_cast<BYTE*>(buffers.data), &dataSize);
      if (status == ERROR_MORE_DATA) {
        // A value beyond what can be held is passed over; it must not end
        // the sweep and shield the values after it.
        if (!GrowBuffers(key, &buffers, dataSize)) ++index;
        continue;
      }
      if (status != ERROR_SUCCESS) break;
      // Data of any type, stored with or without its terminator, ends within
      // the bytes returned for this value.
      buffers.data[dataSize <= buffers.dataCapacity ? dataSize : buffers.dataCapacity] = 0;
      // Kept in the restore file first: a clean program's entry that only
      // looks like the worm's can be brought back. After a deletion the next
      // value has moved into this index.
      if (CommandLineRefersTo(buffers.data, path, &host)) {
        if (preview) {
          deleted += 1;
          TellRunValueDeleted(listener, RunValueDeletion{hive, below, buffers.name, buffers.data, path, "", 1});
        } else if (!AppendToRestoreFile(keyPath, buffers.name, type, reinterpret_cast<const BYTE*>(buffers.data),
                                        dataSize)) {
          TellRunValueTrouble(listener, kRunValuesFailed, keyPath,
                              "a Run value could not be saved first, so it stays");
        } else if (!DeleteRegistryValue(root, subkey, buffers.name, view)) {
          TellRunValueTrouble(listener, kRunValuesFailed, keyPath, "a Run value could not be deleted");
        } else {
          deleted += 1;
          TellRunValueDeleted(listener,
                              RunValueDeletion{hive, below, buffers.name, buffers.data, path, restorePath, 0});
          continue;
        }
      }
      ++index;
    }
  }
  FreeBuffers(&buffers);
  TellRunValuesExamined(listener, hive, deleted);
  return 1;
}

namespace {

// The registry views of HKEY_LOCAL_MACHINE\Software: the process's own and,
// on 64-bit Windows, the other one.
uint32_t MachineViews(REGSAM views[2]) {
  views[0] = 0;
#ifdef _WIN64
  views[1] = KEY_WOW64_32KEY;
  return 2;
#else
  // KEY_WOW64_64KEY means nothing to Windows before XP x64; an NT 4.0 or
  // 2000 key may even refuse the unknown access bit.
  if (!ProcessUnderWow64()) return 1;
  views[1] = KEY_WOW64_64KEY;
  return 2;
#endif
}

int IsWindows9x() {
  int32_t code = 0;
  return GetOsVersionCode(&code) && (code == 95 || code == 98 || code == 99);
}

}  // namespace

int CleanAutorun(const char* path, const RunValueListener* listener, AutorunScope scope) {
  if (!ReferredPathFits(path)) {
    TellRunValueTrouble(listener, kRunValuesNotCleaned, path, kReferredPathTooLong);
    return 1;
  }
  DeleteReferringValues(HKEY_CURRENT_USER, kRunKey, path, listener);
  if (scope != kAutorunEveryRunKey) return 1;
  DeleteReferringValues(HKEY_CURRENT_USER, kRunOnceKey, path, listener);
  const char* machineKeys[] = {kRunKey, kRunOnceKey, kRunServicesKey, kRunServicesOnceKey};
  uint32_t keyCount = IsWindows9x() ? 4 : 2;
  REGSAM views[2];
  uint32_t viewCount = MachineViews(views);
  for (uint32_t v = 0; v < viewCount; ++v)
    for (uint32_t k = 0; k < keyCount; ++k)
      DeleteReferringValues(HKEY_LOCAL_MACHINE, machineKeys[k], path, listener, views[v]);
  return 1;
}

namespace {

int EndsWithIgnoringCase(const char* text, size_t length, const char* suffix) {
  size_t n = strlen(suffix);
  if (length < n) return 0;
  for (const char* a = text + length - n; *suffix; ++a, ++suffix) {
    char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 'a' + 'A') : *a;
    char y = *suffix >= 'a' && *suffix <= 'z' ? static_cast<char>(*suffix - 'a' + 'A') : *suffix;
    if (x != y) return 0;
  }
  return 1;
}

}  // namespace

void CleanAllUsersAutorun(const char* const* paths, uint32_t count, const RunValueListener* listener) {
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    FILETIME written;
    LONG status = RegEnumKeyExA(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, &written);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    // A user's classes hive has no Run key.
    if (EndsWithIgnoringCase(name, length, "_Classes")) continue;
    char subkey[512], onceKey[512];
    snprintf(subkey, sizeof subkey, "%s\\%s", name, kRunKey);
    snprintf(onceKey, sizeof onceKey, "%s\\%s", name, kRunOnceKey);
    // Where the account may not write, the hive is said to be passed over;
    // a preview only reads.
    OwnedKey key;
    REGSAM access = RunValuesPreviewed(listener) ? KEY_QUERY_VALUE : KEY_QUERY_VALUE | KEY_SET_VALUE;
    LONG opened = RegOpenKeyExA(HKEY_USERS, subkey, 0, access, key.receive());
    key.reset();
    if (opened != ERROR_SUCCESS) {
      if (opened != ERROR_FILE_NOT_FOUND) {
        char where[300];
        snprintf(where, sizeof where, "HKEY_USERS\\%s", name);
        TellRunValueTrouble(listener, kRunValuesRefused, where, "this account may not change it");
      }
      continue;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (!ReferredPathFits(paths[i])) {
        TellRunValueTrouble(listener, kRunValuesNotCleaned, paths[i], kReferredPathTooLong);
        continue;
      }
      DeleteReferringValues(HKEY_USERS, subkey, paths[i], listener);
      DeleteReferringValues(HKEY_USERS, onceKey, paths[i], listener);
    }
  }
}
