// What the parts of the console driver share while a run goes on: the
// platform, the options, the outputs, the progress line and the held rows.
// Only the driver's own files include it. Platform-neutral.
#pragma once
#include <cstdint>
#include <cstdio>

#include "cli/console_driver.h"
#include "cli/held_rows.h"
#include "cli/json_records.h"

enum : uint32_t {
  kTextCapacity = 16384,
  // The current path is handed to the progress line this often.
  kPathInterval = 64,
};

struct ConsoleDriver {
  const ConsolePlatform* platform;
  const ScanOptions* options;
  FILE* out;  // human output: standard output, or standard error with --json -
  FILE* log;  // --log: the same text, appended, names in UTF-8
  int logHeaded;  // this run's record in the log has begun
  JsonRecords records;
  int progress;
  int progressShown;
  double started;
  double lastDrawn;
  uint32_t detectionsSoFar;
  char currentPath[1024];
  HeldRows held;
  int rowsLost;  // no memory to keep a row: said at once instead
};
