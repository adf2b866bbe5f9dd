// One scan run from its start to its exit status, the same for every front
// end: the action asked for, the stop question, one ledger of totals, the
// progress position, what was taken away (for the Run values that start
// it), and the rule that turns the ledger into an exit status. The platform
// reaches files, the registry and its walk through one table of ports; the
// front end hears everything through its ScanReport. Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/candidate_check.h"
#include "engine/file_identity.h"
#include "engine/signature_set.h"
#include "remedy/run_value_events.h"
#include "scan/path_exclusions.h"
#include "scan/scan_report.h"
#include "walker/walk_visitor.h"

enum FoundFileAction : uint32_t {
  kActionLeave = 0,  // detection only: nothing is changed
  kActionRemove = 1,
  kActionQuarantine = 2,
};

struct FoundFile {
  const char* path;      // full path, as rows show it
  uint64_t size;         // as the walk listed it
  const void* location;  // the walk's own record of the entry (WalkEntry::native)
};

// The platform's ports. Any entry may be null: the session then does without.
struct ScanPorts {
  // Walks the run's roots, every file and every unreadable path to `visitor`.
  // 0 when the visitor ended the walk.
  int (*walk)(void* context, const WalkVisitor* visitor);
  // Reads the file once and checks it against the session's `signatures`;
  // fills `nameOut` (kDetectionNameCapacity bytes) on a match and `identity`
  // with the file that was read.
  CandidateOutcome (*check)(void* context, const SignatureSet& signatures, const FoundFile* file, char* nameOut,
                            FileIdentity* identity);
  // Takes the file away only when it still is `identity`: kRowRemoved,
  // kRowScheduledAtRestart or kRowRemovalFailed (with the reason in `why`).
  ScanRowStatus (*remove)(void* context, const FoundFile* file, const FileIdentity* identity, char* why,
                          size_t whyCapacity);
  // kRowQuarantined, kRowScheduledAtRestart (copied; the original goes at
  // restart) or kRowRemovalFailed (with the reason).
  ScanRowStatus (*quarantine)(void* context, const FoundFile* file, const FileIdentity* identity,
                              const char* detectionName, char* why, size_t whyCapacity);
  // The Run values that start `path`, once it is gone (the live registry,
  // cleaned file by file); each deletion and trouble to the listener. A
  // detection-only run calls it for what it found with a previewing
  // listener (RunValueListener::preview): nothing may then change.
  void (*cleanRunValuesOf)(void* context, const char* path, const RunValueListener* listener);
  // The same once after the walk, for everything taken away (offline hives,
  // other users' hives).
  void (*cleanRunValuesAfter)(void* context, const char* const* paths, uint32_t count,
                              const RunValueListener* listener);
  // The share of the run done once `file` is counted (an estimate of the
  // platform's); without it the position carries kUnknownShare.
  uint32_t (*share)(void* context, const FoundFile* file);
  // The system's words for an error code of the walk or of a port.
  void (*errorText)(uint32_t error, char* out, size_t capacity);
  void* context;
};

struct ScanSession {
  // The rows of the run: the size filter and every check use this one set.
  SignatureSet signatures;
  FoundFileAction action;
  ScanPorts ports;
  const ScanReport* report;
  // The current path is reported for every this-many-th file (0: never).
  uint32_t pathInterval;
  // 1: every file is checked whatever its size (the reference the size
  // filter must agree with, and measurements); 0: only a signature's sizes.
  int checkEveryFile;
  // What the walk is not to examine (--exclude); null: everything. Such
  // files and unreadable paths are only counted, in ledger.excluded.
  const PathExclusions* exclusions;
  ScanTotals ledger;
  // What was taken away (what was found, in a detection-only run), for
  // cleanRunValuesAfter: heap copies.
  char** taken;
  uint32_t takenCount;
  uint32_t takenCapacity;
  uint32_t takenLost;  // taken away, but no memory to remember them
};

enum ScanExitStatus : int {
  kExitNothingFound = 0,
  kExitAllHandled = 1,  // detections found, each handled as asked
  kExitTrouble = 2,     // something not examined, not handled, refused or stopped
  kExitUsage = 64,
};

// A session with an empty ledger.
void BeginScanSession(ScanSession* session, const SignatureSet& signatures, FoundFileAction action, const ScanPorts& ports,
                      const ScanReport* report, uint32_t pathInterval);

// Handles one file the walk found: counts it, filters by size, checks it,
// handles a detection as asked, reports the row, and has the Run values of
// what was taken away cleaned. 1 to go on, 0 when the run is to stop.
int SessionFile(ScanSession* session, const FoundFile* file);

// Something that could not be read (a file, a folder, a root): a "not
// examined" row with the system's reason. 1 to go on, 0 to stop.
int SessionUnreadable(ScanSession* session, const char* path, uint32_t error);
int SessionUnreadableBecause(ScanSession* session, const char* path, const char* reason);

// The memory pass's counts and rows: a module examined, a resident process
// found, and a row of what became of its files.
void SessionMemoryModule(ScanSession* session);
void SessionMemoryResident(ScanSession* session);
void SessionMemoryRow(ScanSession* session, const char* path, const char* detectionName, ScanRowStatus status);

// The Run values that start `path`, file by file (cleanRunValuesOf).
void SessionCleanRunValuesOf(ScanSession* session, const char* path);

// A file an earlier run took away, still gone: its Run values are cleaned
// as if this run had taken it (it counts as no detection).
void SessionTakenEarlier(ScanSession* session, const char* path);

// Walks the platform's roots through the session. 0 when stopped.
int SessionWalk(ScanSession* session);

// The visitor that feeds a walk into the session.
WalkVisitor SessionWalkVisitor(ScanSession* session);

// The listener through which the ports report Run values: counted in the
// ledger and reported; a preview in a detection-only run.
RunValueListener SessionRunValueListener(ScanSession* session);

// Has the Run values of everything taken away cleaned (cleanRunValuesAfter).
void SessionCleanRunValues(ScanSession* session);

// Asks the report whether to stop; a yes is remembered in the ledger.
int SessionStopRequested(ScanSession* session);

// 0 when nothing was found and something was examined; 1 when there were
// detections and each was handled as asked; 2 when anything was not
// examined, not handled, refused or stopped, or when no file was examined
// and nothing found (an empty or unmounted folder is no clean disk).
ScanExitStatus ExitStatusOf(const ScanTotals& ledger);

// Ends the run: the report hears the ledger; the session's memory is freed.
void EndScanSession(ScanSession* session);
