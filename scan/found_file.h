// What to do with one file the walk found: count it, filter by size, check
// it, remove, quarantine or leave a detection as the run was asked, report
// the row, and clean the Run values of what was taken away. Platform-neutral:
// the platform reaches the file through small ports.
#pragma once
#include <cstdint>

#include "engine/candidate_check.h"
#include "engine/file_identity.h"
#include "engine/signature_table.h"
#include "scan/scan_report.h"

enum FoundFileAction : uint32_t {
  kActionLeave = 0,  // detection only: nothing is changed
  kActionRemove = 1,
  kActionQuarantine = 2,
};

struct FoundFile {
  const char* path;      // full path, as rows show it
  uint64_t size;         // as the walk listed it
  const void* location;  // the platform's way back to the entry (e.g. directory handle and name)
};

struct FoundFilePorts {
  // Reads the file once; fills `nameOut` (kDetectionNameCapacity bytes) on a
  // match and `identity` with the file that was read.
  CandidateOutcome (*check)(void* context, const FoundFile* file, char* nameOut, FileIdentity* identity);
  // Takes the file away only when it still is `identity`: kRowRemoved,
  // kRowScheduledAtRestart or kRowRemovalFailed.
  ScanRowStatus (*remove)(void* context, const FoundFile* file, const FileIdentity* identity);
  // kRowQuarantined or kRowRemovalFailed.
  ScanRowStatus (*quarantine)(void* context, const FoundFile* file, const FileIdentity* identity,
                              const char* detectionName);
  // The Run values that start `path` go too; called only once the file is gone.
  void (*cleanAutorun)(void* context, const char* path);
  void* context;
};

struct FoundFileRun {
  SignatureTable table;
  FoundFileAction action;
  FoundFilePorts ports;
  const ScanReport* report;
  // The current path is reported for every this-many-th file (0: never).
  uint32_t pathInterval;
  ScanTotals totals;
  // Optional, set after BeginFoundFileRun (null / 0 there):
  // The platform's estimate: the share of the whole run done once `file` is
  // counted (called once per file, with the ports' context); without it the
  // position carries kUnknownShare.
  uint32_t (*share)(void* context, const FoundFile* file);
  // 1: every file is checked whatever its size (a reference for the size
  // filter, and measurements); 0: only files of a signature's size.
  int checkEveryFile;
};

// A run with zero totals.
FoundFileRun BeginFoundFileRun(SignatureTable table, FoundFileAction action, const FoundFilePorts& ports,
                               const ScanReport* report, uint32_t pathInterval);

// Handles one file. 1 to go on, 0 when the report asks the run to stop.
int DecideFoundFile(FoundFileRun* run, const FoundFile* file);

// Something the walk could not read (a directory, a file it could not
// list): counted, and reported as a row. 1 to go on, 0 to stop.
int NoteNotExamined(FoundFileRun* run, const char* path);

// Ends the run: the report hears the totals.
void EndFoundFileRun(FoundFileRun* run);
