// The rules of an offline Windows, written once over its volume's table
// (offline_volume_port.h): which profile hives there are and which cannot
// be cleaned, whether a hibernated system forbids writing, which Run values
// of the profile hives and of the SOFTWARE hive go and how each hive's
// outcome is told, and where a quarantined file may be put back. A mounted
// folder and a disk image reach them alike. Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/offline_volume_port.h"
#include "remedy/offline_windows.h"
#include "remedy/quarantine.h"
#include "remedy/run_value_events.h"

// Whether a volume holds a hibernated Windows, which must not be written to.
// What cannot be read is no answer: the check fails closed.
enum HibernationState : uint32_t {
  kNotHibernated = 0,
  kHibernated = 1,
  kHibernationUnknown = 2,  // the root could not be listed or a hiberfil.sys read
};

// The hiberfil.sys files at the volume's root, in any spelling (none is
// kNotHibernated). kHibernated: `hiberfil` names the file saying so.
// kHibernationUnknown: `hiberfil` is what could not be read ("" for the root
// itself) and `why` says why; one file saying hibernated still wins.
HibernationState VolumeHibernation(const OfflineVolumePort& volume, char* hiberfil, size_t capacity, char* why,
                                   size_t whyCapacity);

// One profile's hive, as ForEachVolumeProfileHive finds it (volume paths).
struct VolumeProfileHive {
  const char* hive;     // ".../NTUSER.DAT" as spelt there
  const char* profile;  // the profile folder
  const char* user;     // the profile folder's name
  const char* trouble;  // null; or why this hive is not cleaned
};

// Every profile hive: "Documents and Settings/*/NTUSER.DAT" and
// "Users/*/NTUSER.DAT", names ignoring case. Nothing that may hold a hive
// is passed over in silence: a hive or profile folder that is a link, one
// that cannot be listed or looked at (or is neither folder nor file), a
// path too long, two hives whose
// names differ only in case, and a "Documents and Settings" that is a link
// where no "Users" folder stands beside it come with `trouble` set (hive
// and profile then name the place). The system's own junctions ("All
// Users", "Default User", and "Documents and Settings" beside "Users")
// lead to folders walked in their own right or without a hive, and are
// left. `found` returns 0 to stop. Returns how many were told.
uint32_t ForEachVolumeProfileHive(const OfflineVolumePort& volume,
                                  int (*found)(void* context, const VolumeProfileHive& hive), void* context);

enum HiveCleanOutcome : uint32_t {
  kHiveCleanFailed = 0,      // reason says why; the hive is as it was
  kHiveCleanDone = 1,        // examined; *deleted values were deleted (possibly none)
  kHiveRefusedLog = 2,       // a transaction log is not applied: not written
  kHiveNotNt = 3,            // not an NT registry hive
  kHiveRefusedReadOnly = 4,  // on a read-only mount
  kHiveRefusedShape = 5,     // hard-linked, sparse, too large, or its header disagrees with its length
};

// What a hive's outcome is to the person: the trouble kind of one that was
// not cleaned (0 for done).
RunValueTrouble RunValueTroubleOf(HiveCleanOutcome outcome);

// One hive the rules hand to the cleaner.
struct VolumeHive {
  const char* path;   // below the volume's root
  const char* shown;  // what the listener is told
  const char* user;   // the profile folder's name; "system" for SOFTWARE
  int machineHive;    // 1: the SOFTWARE hive
  const OfflineEnvironment* environment;  // the volume's variables and the profile's
  const char* const* removedWindowsPaths;
  uint32_t removedCount;
};

// Cleans one hive of the volume on the host: fetched, cleaned and checked
// there, and put back whole (nothing written in a preview). Each value that
// went, or would go, is told to `listener` once the hive is back.
struct VolumeHiveCleaner {
  HiveCleanOutcome (*clean)(void* context, const OfflineVolumePort& volume, const VolumeHive& hive,
                            const RunValueListener& listener, uint32_t* deleted, uint32_t* kept, char* reason,
                            size_t capacity);
  void* context;
};

// One volume whose Run values are cleaned.
struct VolumeRunValueRequest {
  // Hives are shown as `shownPrefix` + their path, '/' turned to '\' when
  // `backslashes` ("IMAGE:C:\" + "Users\alice\NTUSER.DAT").
  const char* shownPrefix;
  int backslashes;
  char letter;               // the volume's drive letter; 0 when it has none
  const char* systemRoot;    // "C:\WINDOWS"; "" when not known
  const char* systemFolder;  // its folder at this volume's root ("WINDOWS"); null when the system is elsewhere
  const char* const* removedWindowsPaths;  // "C:\x\y.exe"
  uint32_t removedCount;
};

// Cleans (or, with a previewing listener, previews) the Run and RunOnce
// values of every profile hive and of the SOFTWARE hive that start one of
// the removed files; every hive examined and every one not cleaned goes to
// `listener`, each trouble with its kind.
void CleanVolumeRunValues(const OfflineVolumePort& volume, const VolumeRunValueRequest& request,
                          const VolumeHiveCleaner& cleaner, const RunValueListener& listener);

// Puts the `size` bytes of `hostFd` back at `belowRoot` ("x\y.exe", the
// Windows path below its drive's root): never through a link or a "." or
// ".." part, every folder on the way already there; what is in its place
// stays unless `force`. `why` gets a fixed reason for a refusal (null when
// the table's writer failed: its words are then in `words`).
RestoreOutcome RestoreVolumeFile(const OfflineVolumePort& volume, const char* belowRoot, int hostFd, uint64_t size,
                                 int force, const char** why, char* words, size_t wordsCapacity);
