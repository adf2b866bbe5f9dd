// A user's registry hive file, offline, through libhivex: the values of
// Software\Microsoft\Windows\CurrentVersion\Run that start a removed file
// are deleted, after the hive file has been copied to a backup folder and
// each deleted value written there as REGEDIT4 text. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/offline_windows.h"

// The backup folder of one run: created at its first use.
struct HiveBackup {
  char folder[kMountedPathCapacity];
  int created;
  uint32_t serial;  // numbers the copies, so that two "alice" hives do not collide
};

// `requested` null: "quellix-backup-YYYYMMDD-HHMMSS" in the current directory.
void InitHiveBackup(HiveBackup* backup, const char* requested);

// Told about every value that is deleted (UTF-8 name, the text it was
// matched as, the removed file's Windows path it refers to).
struct HiveValueListener {
  void (*deleted)(void* context, const char* hivePath, const char* valueName, const char* commandLine,
                  const char* windowsPath);
  void* context;
};

enum HiveCleanOutcome : uint32_t {
  kHiveCleanFailed = 0,      // reason says why; the hive is as it was
  kHiveCleanDone = 1,        // examined; *deleted values were deleted (possibly none)
  kHiveRefusedLog = 2,       // a transaction log is not applied: not written
  kHiveNotNt = 3,            // not an NT registry hive
  kHiveRefusedReadOnly = 4,  // on a read-only mount
};

struct HiveCleanRequest {
  const char* hivePath;
  const char* user;  // the profile folder's name, for the backup's file names
  const char* const* removedWindowsPaths;
  uint32_t removedCount;
  // SystemRoot, windir, SystemDrive, USERPROFILE...: what the volume tells.
  // The hive's own Environment key is added on top.
  const OfflineEnvironment* volumeEnvironment;
  HiveBackup* backup;
};

HiveCleanOutcome CleanHiveRunValues(const HiveCleanRequest& request, const HiveValueListener& listener,
                                    uint32_t* deleted, char* reason, size_t capacity);

// A string value of a hive ("Microsoft\Windows NT\CurrentVersion" with
// `keyPath` as its parts), as UTF-8. 1 when found and it fit.
int ReadHiveString(const char* hivePath, const char* const* keyPath, uint32_t depth, const char* valueName, char* out,
                   size_t capacity);

// Reads the first bytes of a file (no link followed). Returns how many were read, or -1.
long ReadFileHead(const char* path, unsigned char* bytes, size_t length);
