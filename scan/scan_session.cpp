// One scan run (see scan_session.h).
#include "scan/scan_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void BeginScanSession(ScanSession* session, const SignatureSet& signatures, FoundFileAction action, const ScanPorts& ports,
                      const ScanReport* report, uint32_t pathInterval) {
  std::memset(session, 0, sizeof *session);
  session->signatures = signatures;
  session->action = action;
  session->ports = ports;
  session->report = report;
  session->pathInterval = pathInterval;
}

int SessionStopRequested(ScanSession* session) {
  if (session->ledger.stopped) return 1;
  if (ReportStopRequested(session->report)) session->ledger.stopped = 1;
  return session->ledger.stopped ? 1 : 0;
}

namespace {

// Remembers a path that was taken away; a path that cannot be remembered is
// counted, so that the cleaning after the walk knows it missed something.
void RememberTaken(ScanSession* session, const char* path) {
  if (!session->ports.cleanRunValuesAfter) return;
  if (session->takenCount == session->takenCapacity) {
    uint32_t capacity = session->takenCapacity ? session->takenCapacity * 2 : 16;
    void* grown = std::realloc(session->taken, capacity * sizeof(char*));
    if (!grown) {
      session->takenLost += 1;
      return;
    }
    session->taken = static_cast<char**>(grown);
    session->takenCapacity = capacity;
  }
  size_t length = std::strlen(path) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (!copy) {
    session->takenLost += 1;
    return;
  }
  std::memcpy(copy, path, length);
  session->taken[session->takenCount++] = copy;
}

int IsGone(ScanRowStatus status) {
  return status == kRowRemoved || status == kRowScheduledAtRestart || status == kRowQuarantined;
}

// Counts one handled detection of either pass.
void CountOutcome(ScanTotals* ledger, ScanRowStatus status) {
  ledger->detections += 1;
  switch (status) {
    case kRowRemoved: ledger->removed += 1; break;
    case kRowScheduledAtRestart:
      ledger->removed += 1;
      ledger->restartNeeded += 1;
      break;
    case kRowQuarantined: ledger->quarantined += 1; break;
    case kRowLeftInPlace: ledger->leftInPlace += 1; break;
    default: ledger->failures += 1; break;
  }
}

// Only what is gone may lose its Run values: a value that starts a file
// still on disk is left for the next run to find again. A detection-only
// run hands what it found to the same ports as a preview.
void AfterGone(ScanSession* session, const char* path) {
  SessionCleanRunValuesOf(session, path);
  RememberTaken(session, path);
}

int Previews(const ScanSession* session) { return session->action == kActionLeave; }

ScanRowStatus Handle(ScanSession* session, const FoundFile* file, const FileIdentity* identity, const char* name,
                     char* why, size_t capacity) {
  const ScanPorts& ports = session->ports;
  if (session->action != kActionLeave) ReportChangeAhead(session->report, file->path, name, session->action);
  switch (session->action) {
    case kActionRemove:
      if (ports.remove) return ports.remove(ports.context, file, identity, why, capacity);
      break;
    case kActionQuarantine:
      if (ports.quarantine) return ports.quarantine(ports.context, file, identity, name, why, capacity);
      break;
    case kActionLeave:
    default:
      return kRowLeftInPlace;
  }
  std::snprintf(why, capacity, "%s", "this system cannot do that");
  return kRowRemovalFailed;
}

// 1 when the path is left out as asked (and counted).
int Excluded(ScanSession* session, const char* path) {
  if (!session->exclusions || !IsExcludedPath(*session->exclusions, path)) return 0;
  session->ledger.excluded += 1;
  return 1;
}

int OnWalkFile(void* context, const WalkEntry* entry) {
  ScanSession* session = static_cast<ScanSession*>(context);
  if (Excluded(session, entry->path)) return SessionStopRequested(session) ? 0 : 1;
  FoundFile file{entry->path, entry->size, entry->native};
  return SessionFile(session, &file);
}

int OnWalkUnreadable(void* context, const char* path, uint32_t error) {
  ScanSession* session = static_cast<ScanSession*>(context);
  if (Excluded(session, path)) return SessionStopRequested(session) ? 0 : 1;
  return SessionUnreadable(session, path, error);
}

void OnValueDeleted(void* context, const RunValueDeletion* deletion) {
  ScanSession* session = static_cast<ScanSession*>(context);
  if (deletion->wouldDelete) {
    session->ledger.runValuesWouldDelete += 1;
  } else {
    session->ledger.runValuesDeleted += 1;
  }
  const ScanReport* r = session->report;
  if (r && r->runValueDeleted) r->runValueDeleted(r->context, deletion);
}

void OnValuesExamined(void* context, const char*, uint32_t deleted) {
  ScanSession* session = static_cast<ScanSession*>(context);
  if (deleted && !Previews(session)) session->ledger.hivesCleaned += 1;
}

void OnRegistryTrouble(void* context, RunValueTrouble kind, const char* where, const char* reason) {
  ScanSession* session = static_cast<ScanSession*>(context);
  session->ledger.registryTroubles += 1;
  const ScanReport* r = session->report;
  if (r && r->registryTrouble) r->registryTrouble(r->context, kind, where, reason);
}

}  // namespace

int SessionFile(ScanSession* session, const FoundFile* file) {
  ScanTotals& ledger = session->ledger;
  int candidate = (session->checkEveryFile || IsCandidateSize(session->signatures, file->size)) && session->ports.check;
  char name[kDetectionNameCapacity] = "";
  FileIdentity identity{0, 0, 0};
  CandidateOutcome outcome = candidate
                                 ? session->ports.check(session->ports.context, session->signatures, file, name,
                                                        &identity)
                                 : kCandidateClean;
  if (outcome == kCandidateUnreadable) {
    ledger.notExamined += 1;
    ReportRow(session->report, ScanRow{file->path, "", kRowNotExamined, "it could not be read", kPassFile});
  } else {
    ledger.filesExamined += 1;
    ledger.bytesExamined += file->size;
  }
  uint32_t share = session->ports.share ? session->ports.share(session->ports.context, file) : kUnknownShare;
  ReportProgress(session->report, ScanPosition{ledger.filesExamined, ledger.bytesExamined, share});
  if (session->pathInterval && (ledger.filesExamined + ledger.notExamined) % session->pathInterval == 0)
    ReportCurrentPath(session->report, file->path);

  if (outcome == kCandidateMatched) {
    char why[256] = "";
    ScanRowStatus status = Handle(session, file, &identity, name, why, sizeof why);
    CountOutcome(&ledger, status);
    ledger.fileDetections += 1;
    if (status == kRowRemovalFailed) ledger.fileFailures += 1;
    ReportRow(session->report, ScanRow{file->path, name, status, why, kPassFile});
    // The memory pass's rows of a detection-only run are not previewed: the
    // walk meets the same files, and each value is told once.
    if (IsGone(status) || (status == kRowLeftInPlace && Previews(session))) AfterGone(session, file->path);
  }
  return SessionStopRequested(session) ? 0 : 1;
}

int SessionUnreadableBecause(ScanSession* session, const char* path, const char* reason) {
  session->ledger.notExamined += 1;
  ReportRow(session->report, ScanRow{path, "", kRowNotExamined, reason ? reason : "", kPassFile});
  return SessionStopRequested(session) ? 0 : 1;
}

int SessionUnreadable(ScanSession* session, const char* path, uint32_t error) {
  char reason[256] = "";
  if (session->ports.errorText) {
    session->ports.errorText(error, reason, sizeof reason);
  } else {
    std::snprintf(reason, sizeof reason, "error %u", error);
  }
  return SessionUnreadableBecause(session, path, reason);
}

void SessionMemoryModule(ScanSession* session) { session->ledger.memoryModulesExamined += 1; }

void SessionMemoryResident(ScanSession* session) { session->ledger.memoryDetections += 1; }

void SessionMemoryRow(ScanSession* session, const char* path, const char* detectionName, ScanRowStatus status) {
  CountOutcome(&session->ledger, status);
  ReportRow(session->report, ScanRow{path, detectionName, status, "", kPassMemory});
  if (IsGone(status)) AfterGone(session, path);
}

void SessionCleanRunValuesOf(ScanSession* session, const char* path) {
  if (!session->ports.cleanRunValuesOf) return;
  RunValueListener listener = SessionRunValueListener(session);
  session->ports.cleanRunValuesOf(session->ports.context, path, &listener);
}

int SessionWalk(ScanSession* session) {
  if (!session->ports.walk || SessionStopRequested(session)) return 0;
  WalkVisitor visitor = SessionWalkVisitor(session);
  return session->ports.walk(session->ports.context, &visitor);
}

WalkVisitor SessionWalkVisitor(ScanSession* session) { return WalkVisitor{OnWalkFile, OnWalkUnreadable, session}; }

RunValueListener SessionRunValueListener(ScanSession* session) {
  return RunValueListener{OnValueDeleted, OnValuesExamined, OnRegistryTrouble, session, Previews(session)};
}

void SessionTakenEarlier(ScanSession* session, const char* path) { AfterGone(session, path); }

void SessionCleanRunValues(ScanSession* session) {
  if (!session->ports.cleanRunValuesAfter) return;
  RunValueListener listener = SessionRunValueListener(session);
  if (session->takenCount)
    session->ports.cleanRunValuesAfter(session->ports.context, session->taken, session->takenCount, &listener);
  if (session->takenLost)
    OnRegistryTrouble(session, kRunValuesNotCleaned, "Run values",
                      "out of memory: some removed files' Run values were not looked for");
}

ScanExitStatus ExitStatusOf(const ScanTotals& t) {
  if (t.failures || t.notExamined || t.registryTroubles || t.stopped) return kExitTrouble;
  // No file read and nothing found: a disk never read is no clean disk.
  if (t.filesExamined == 0 && t.detections == 0) return kExitTrouble;
  return t.detections ? kExitAllHandled : kExitNothingFound;
}

void EndScanSession(ScanSession* session) {
  ReportRunEnded(session->report, session->ledger);
  for (uint32_t i = 0; i < session->takenCount; ++i) std::free(session->taken[i]);
  std::free(session->taken);
  session->taken = nullptr;
  session->takenCount = session->takenCapacity = 0;
}
