// The per-file decision (see found_file.h).
#include "scan/found_file.h"

FoundFileRun BeginFoundFileRun(SignatureTable table, FoundFileAction action, const FoundFilePorts& ports,
                               const ScanReport* report, uint32_t pathInterval) {
  FoundFileRun run{};
  run.table = table;
  run.action = action;
  run.ports = ports;
  run.report = report;
  run.pathInterval = pathInterval;
  return run;
}

namespace {

ScanRowStatus Handle(FoundFileRun* run, const FoundFile* file, const FileIdentity* identity, const char* name) {
  const FoundFilePorts& ports = run->ports;
  switch (run->action) {
    case kActionRemove:
      return ports.remove ? ports.remove(ports.context, file, identity) : kRowRemovalFailed;
    case kActionQuarantine:
      return ports.quarantine ? ports.quarantine(ports.context, file, identity, name) : kRowRemovalFailed;
    case kActionLeave:
    default:
      return kRowLeftInPlace;
  }
}

}  // namespace

int DecideFoundFile(FoundFileRun* run, const FoundFile* file) {
  ScanTotals& totals = run->totals;
  totals.filesExamined += 1;
  totals.bytesExamined += file->size;
  uint32_t share = run->share ? run->share(run->ports.context, file) : kUnknownShare;
  ReportProgress(run->report, ScanPosition{totals.filesExamined, totals.bytesExamined, share});
  if (run->pathInterval && totals.filesExamined % run->pathInterval == 0) ReportCurrentPath(run->report, file->path);

  if ((run->checkEveryFile || IsCandidateSize(run->table, file->size)) && run->ports.check) {
    char name[kDetectionNameCapacity] = "";
    FileIdentity identity{0, 0, 0};
    CandidateOutcome outcome = run->ports.check(run->ports.context, file, name, &identity);
    if (outcome == kCandidateUnreadable) {
      totals.notExamined += 1;
      ReportResultRow(run->report, file->path, "", kRowNotExamined);
    } else if (outcome == kCandidateMatched) {
      totals.detections += 1;
      ScanRowStatus status = Handle(run, file, &identity, name);
      switch (status) {
        case kRowRemoved:
        case kRowScheduledAtRestart: totals.removed += 1; break;
        case kRowQuarantined: totals.quarantined += 1; break;
        case kRowLeftInPlace: totals.leftInPlace += 1; break;
        default: totals.failures += 1; break;
      }
      ReportResultRow(run->report, file->path, name, status);
      // Only what is gone may lose its Run values: a value that starts a
      // file still on disk is left for the next run to find again.
      if ((status == kRowRemoved || status == kRowScheduledAtRestart || status == kRowQuarantined) &&
          run->ports.cleanAutorun)
        run->ports.cleanAutorun(run->ports.context, file->path);
    }
  }
  return ReportStopRequested(run->report) ? 0 : 1;
}

int NoteNotExamined(FoundFileRun* run, const char* path) {
  run->totals.notExamined += 1;
  ReportResultRow(run->report, path, "", kRowNotExamined);
  return ReportStopRequested(run->report) ? 0 : 1;
}

void EndFoundFileRun(FoundFileRun* run) { ReportRunEnded(run->report, run->totals); }
