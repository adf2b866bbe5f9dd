// A registry hive file, offline, through libhivex: the values of a user
// hive's Software\Microsoft\Windows\CurrentVersion\Run and RunOnce (of the
// SOFTWARE hive's Microsoft\Windows\CurrentVersion\Run and RunOnce) that
// start a removed file are deleted, all or nothing. The hive is opened once, through its folder's
// descriptor and without following a link; the new hive is written to a
// temporary file beside it, flushed, read back and checked, and only then,
// after a copy of the old one and a .reg of what goes are in the backup
// folder, renamed over it. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/offline_rules.h"
#include "remedy/offline_windows.h"

enum : uint64_t {
  // Larger than any user hive a system writes; refused rather than read.
  kMaxHiveSize = 256ull * 1024 * 1024,
};

// The backup folder of one run: created (or, when named, checked as
// trusted) at its first use.
struct HiveBackup {
  char folder[kMountedPathCapacity];
  int requested;  // named by the person; else a new folder among this host's backups
  int folderFd;   // open once used
  int created;    // this run made the folder (removed again when left empty)
  uint32_t serial;  // numbers the copies, so that two "alice" hives do not collide
  // The .reg file of the latest hive cleaned: what a deleted value's record
  // names, since regedit imports it to bring the value back.
  char regFile[kMountedPathCapacity];
};

// `requested` null: "quellix-backup-YYYYMMDD-HHMMSS-PID-N", N the first
// number not taken, in the "backups" folder of this host's state folder
// (HostStateFolder), never in a folder the scan looks at.
void InitHiveBackup(HiveBackup* backup, const char* requested);
// Before anything is changed: opens (or makes) the folder and proves a file
// can be made in it. The default folder must not be on the file system of
// any of `scanned` (the run's PATHs). 1, or 0 with the reason.
int PrepareHiveBackup(HiveBackup* backup, const char* const* scanned, uint32_t count, char* why, size_t capacity);
// Closes the folder; one this run made and left empty goes again.
void CloseHiveBackup(HiveBackup* backup);

// Told about every value that is deleted, or in a preview would be (the key
// below the hive's root, UTF-8 name, the text it was matched as, the removed
// file's Windows path it refers to).
struct HiveValueListener {
  void (*deleted)(void* context, const char* hivePath, const char* key, const char* valueName,
                  const char* commandLine, const char* windowsPath);
  void* context;
};

struct HiveCleanRequest {
  int folderFd;         // the profile folder
  const char* name;     // the hive's name in it, as spelt there
  const char* hivePath; // for messages and the .reg comment
  const char* user;     // the profile folder's name, for the backup's file names
  const char* const* removedWindowsPaths;
  uint32_t removedCount;
  // SystemRoot, windir, SystemDrive, USERPROFILE...: what the volume tells.
  // The hive's own Environment key is added on top.
  const OfflineEnvironment* volumeEnvironment;
  HiveBackup* backup;
  // 1: the system's SOFTWARE hive (its Run keys, no Environment key of its
  // own, "<serial>-<user>-SOFTWARE" as its copy); 0: a user's NTUSER.DAT.
  int machineHive;
  // 1: opened read-only, nothing written, no backup made; each value that
  // would go is told and counted in *deleted.
  int preview;
};

// `kept` counts values that start a removed file but were left: a name that
// cannot be written to a .reg file as it is (control characters). Each is
// named in `reason` when the outcome is otherwise done.
HiveCleanOutcome CleanHiveRunValues(const HiveCleanRequest& request, const HiveValueListener& listener,
                                    uint32_t* deleted, uint32_t* kept, char* reason, size_t capacity);

// A string value of a hive ("Microsoft\Windows NT\CurrentVersion" with
// `keyPath` as its parts), as UTF-8. 1 when found and it fit.
int ReadHiveString(const char* hivePath, const char* const* keyPath, uint32_t depth, const char* valueName, char* out,
                   size_t capacity);

// Reads the first bytes of a file (no link followed, never blocking on a
// FIFO). Returns how many were read, or -1.
long ReadFileHead(const char* path, unsigned char* bytes, size_t length);

// Tests only: called once the hive has been read and before anything is
// written, so that a test can swap the file meanwhile.
extern void (*gAfterHiveReadForTests)(const char* hivePath);
