// The hive cleaner the offline rules call, for every volume table: the hive
// is fetched into a private host folder, cleaned and verified there by the
// hive code (hive_posix: its backup and .reg land in the run's backup
// folder), and put back whole through the table, only while the volume's
// hive still is the file that was fetched. A preview fetches and writes
// nothing back. POSIX.
#pragma once
#include "remedy/hive_posix.h"
#include "remedy/offline_rules.h"

// Cleans through `backup` (prepared before anything was changed; unused
// in a preview).
VolumeHiveCleaner HostHiveCleaner(HiveBackup* backup);

// A detection-only run's preview over any table, a read-only one included
// (an image read in this process): each Run value of the profile hives and
// of the SOFTWARE hive that a writing run would delete, told to `listener`
// as would-delete. `system` is the system drive's table, `systemRoot` what
// the system calls its folder ("C:\WINDOWS"), and hives are named
// `rowPrefix` + their path with '\' ("IMAGE:C:\"). Nothing is written.
void PreviewVolumeRunValues(const OfflineVolumePort& system, const char* rowPrefix, const char* systemRoot,
                            const char* const* windowsPaths, uint32_t count, const RunValueListener& listener);
