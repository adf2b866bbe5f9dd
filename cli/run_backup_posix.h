// The backup folder of a writing run of quellix-scan (a volume or disk
// images): proven usable before anything changes, and named to the person.
// POSIX.
#pragma once
#include "cli/console_driver.h"
#include "remedy/hive_posix.h"

// Sets up `backup` (--backup, or a new default folder that is on none of
// the run's PATHs), proves a file can be made there and says where it is.
// 0, after telling why through the driver, to refuse the run.
int OpenRunBackup(HiveBackup* backup, const ScanOptions& options, ConsoleDriver* driver);
