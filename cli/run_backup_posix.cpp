// The backup folder of a writing run (see run_backup_posix.h).
#include "cli/run_backup_posix.h"

#include <cstdio>

int OpenRunBackup(HiveBackup* backup, const ScanOptions& options, ConsoleDriver* driver) {
  char why[kMountedPathCapacity + 512];
  InitHiveBackup(backup, options.backupDirectory);
  if (!PrepareHiveBackup(backup, options.paths, options.pathCount, why, sizeof why)) {
    ConsoleNotice(driver, "refused", backup->folder[0] ? backup->folder : "--backup", why);
    CloseHiveBackup(backup);
    return 0;
  }
  char said[kMountedPathCapacity + 64];
  std::snprintf(said, sizeof said, "hives are backed up to %s before they change", backup->folder);
  ConsoleSay(driver, said, "backup_folder", backup->folder, "hives are backed up here before they change");
  return 1;
}
