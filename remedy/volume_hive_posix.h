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
