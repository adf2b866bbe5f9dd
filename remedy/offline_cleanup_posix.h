// The registry side of a scan of a mounted Windows volume: where the system
// lives and which drive letters the mounted folders stand for, every reason
// not to write to the volumes at all, and the Run values of each profile
// hive and of the SOFTWARE hive that start a removed file. Reports through the Run-value listener and
// a notice callback; prints nothing itself. POSIX.
#pragma once
#include <cstdint>

#include "remedy/offline_windows.h"
#include "remedy/run_value_events.h"

// A message for the person (no program name, no line end). A refusal also
// gives the place and a short reason for a machine-readable record; other
// notices give null for both.
struct OfflineNotice {
  void (*notice)(void* context, const char* text, const char* where, const char* reason);
  void* context;
};

struct OfflineDriveRequest {
  char letter;  // upper case
  const char* directory;
};

struct OfflineRequest {
  const char* windowsRoot;  // --windows-root, or null: looked for among the paths
  const char* const* paths;
  uint32_t pathCount;
  const OfflineDriveRequest* drives;
  uint32_t driveCount;
};

// The mounted Windows system volume, as far as it is known.
struct OfflineSystem {
  int known;
  char root[kMountedPathCapacity];
  char systemFolder[256];
  char systemRoot[kEnvironmentValueCapacity];
  char letter;
  int windows9x;
  OfflineDrives drives;
};

// Finds the system volume and the drive letters. 0 (with a notice) when a
// named folder is unusable.
int SetUpOfflineSystem(const OfflineRequest& request, OfflineSystem* system, const OfflineNotice& notice);

// Before anything is written: 1 (with a notice) when any of `places`, the
// system volume or a mapped drive is on a read-only mount or a hibernated
// volume.
int RefusesToWrite(const OfflineSystem& system, const char* const* places, uint32_t count,
                   const OfflineNotice& notice);

// Deletes the Run and RunOnce values of every profile hive and of the
// SOFTWARE hive that start one of the removed files (their mounted paths),
// after a backup into `backup` (prepared before anything was changed).
// Every value deleted, hive examined and hive not cleaned goes to
// `listener`, and so does a writing run that cannot look at all (no system
// volume known): that is trouble, not a clean. A previewing listener hears
// what would go, the hives read from copies in memory.
struct HiveBackup;
void CleanOfflineRunValues(const OfflineSystem& system, const char* const* removedPaths, uint32_t count,
                           HiveBackup* backup, const RunValueListener& listener);

